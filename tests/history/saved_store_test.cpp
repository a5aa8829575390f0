#include <gtest/gtest.h>

#include "norvex/assistant/norvex.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/test_support.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

json transaction(const std::string& query, const std::string& tool) {
  return json{{"query", query},
              {"router_res", {{"kind", "fresh"}}},
              {"plot_func", tool},
              {"plot_params", {{"color_by", "condition"}}},
              {"plot_result", {{"img_base64", "AAAA"}}},
              {"plot_code", "result = norvex.plot_umap(adata_t)"},
              {"explanation", "An explanation."},
              {"report", nullptr},
              {"total_usage", 42}};
}

class SavedStoreTest : public ::testing::Test {
 protected:
  RecordingHost host;
  ScopedHost scope{host};
  Assistant a{AssistantOptions{.api_key = "k", .adata = testing::tiny_dataset(), .host = &host}};
};

TEST_F(SavedStoreTest, EmptyHistoryAndEmptyStore) {
  json res = {{"query", "q"}};
  a.save_transaction(json::object(), res, false, 0);
  EXPECT_EQ(host.console(), "ℹ️ INFO: No transaction(s) to store.\n");
  EXPECT_FALSE(a.config->adata->uns.contains("norvex_tx"));

  host.clear();
  a.check_saved();
  EXPECT_EQ(host.console(), "ℹ️ INFO: No saved queries found\n");

  host.clear();
  a.config->adata->uns.set("norvex_tx", UnsDict{});
  a.check_saved_queries();
  EXPECT_EQ(host.console(), "ℹ️ INFO: saved queries\n");
}

TEST_F(SavedStoreTest, SavesByPositionReplacesSameQueryAndLists) {
  std::string korean;
  for (int i = 0; i < 60; ++i) korean += "가";
  a.t_hist.add(transaction("first question", "plot_umap"));
  a.t_hist.add(transaction(korean, "plot_celltype_population"));
  a.t_hist.add(transaction("first question", "plot_degs_gene_ranking"));
  json res = {{"query", "now"}};

  a.save_transaction(json::object(), res, false, 2);    // oldest: "first question" by plot_umap
  a.save_transaction(json::object(), res, false, 1.7);  // truncated to 1: the Korean question
  host.clear();
  a.save_transaction(json::object(), res, false, 0);  // same query as the first: replaces it

  std::string first50;
  for (int i = 0; i < 50; ++i) first50 += "가";
  EXPECT_EQ(host.console(),
            "ℹ️ INFO: saved queries\n"
            "   1: plot_degs_gene_ranking, first question .. \n"
            "   2: plot_celltype_population, " +
                first50 + " .. \n");
  const UnsDict& store = a.config->adata->uns.at("norvex_tx").dict();
  ASSERT_EQ(store.size(), 2u);
  json saved = store.at("first question").to_json();
  EXPECT_EQ(saved["plot_func"], "plot_degs_gene_ranking");
  EXPECT_EQ(saved["plot_params"], (json{{"color_by", "condition"}}));
  EXPECT_EQ(saved["total_usage"], 42);
  // The quiet default leaves the routing record out of the store, not out of the history.
  EXPECT_FALSE(saved.contains("router_res"));
  EXPECT_TRUE(a.t_hist.buf[0].contains("router_res"));
}

TEST_F(SavedStoreTest, InvalidPositionsAndFailedSelection) {
  a.t_hist.add(transaction("q", "plot_umap"));
  json res = {{"query", "q"}, {"router_res", json::object()}};
  EXPECT_THROW(a.save_transaction(json::object(), res, false, "x"), TypeError);
  for (json id : {json(1), json(-1), json("0")}) {
    host.clear();
    a.save_transaction(json::object(), res, false, id);
    if (id == json("0")) {
      EXPECT_EQ(host.console().rfind("ℹ️ INFO: saved queries\n", 0), 0u);
    } else {
      EXPECT_EQ(host.console(), "❌ ERROR: Failed to produce valid response while saving.\n");
    }
  }
  EXPECT_THROW(a.save_transaction(json::object(), res, false, json::array()), TypeError);

  // Without an id the model selects; when selection fails nothing is saved.
  a.config->adata->uns.erase("norvex_tx");
  host.clear();
  a.save_transaction(json::object(), res);
  EXPECT_EQ(host.console(),
            "❌ ERROR: Failed to produce valid response while saving. Please try again.\n");
  EXPECT_FALSE(a.config->adata->uns.contains("norvex_tx"));
}

TEST_F(SavedStoreTest, ADamagedStoredEntryIsNamedAndDoesNotBlockSaving) {
  // A store read from a file, with one entry that lacks its tool.
  UnsDict store;
  store.set("broken entry", UnsNode::from_json(json{{"query", "broken entry"}}));
  a.config->adata->uns.set("norvex_tx", UnsNode(std::move(store)));
  a.t_hist.add(transaction("a new question", "plot_umap"));
  json res = {{"query", "a new question"}};
  EXPECT_NO_THROW(a.save_transaction(json::object(), res, false, 0));
  EXPECT_NE(host.console().find("⚠️ WARNING: Saved query 'broken entry' lacks its tool or "
                                "question and is left out."),
            std::string::npos)
      << host.console();
  EXPECT_NE(host.console().find("   1: plot_umap, a new question .. "), std::string::npos);
  EXPECT_TRUE(a.config->adata->uns.at("norvex_tx").dict().contains("a new question"));
  EXPECT_EQ(a.t_hist.len(), 1u);
}

TEST_F(SavedStoreTest, RouterRecordKeptWhenNotQuiet) {
  a.config->rem_router = false;
  a.t_hist.add(transaction("q", "plot_umap"));
  json res = {{"query", "q"}};
  a.save_transaction(json::object(), res, false, 0);
  EXPECT_TRUE(a.config->adata->uns.at("norvex_tx").dict().at("q").to_json().contains("router_res"));
}

}  // namespace
}  // namespace norvex

namespace norvex {
namespace {

TEST_F(SavedStoreTest, QuestionWithSlashSurvivesWritingTheDataset) {
  a.t_hist.add(transaction("CD4/CD8 ratio by condition?", "plot_celltype_population"));
  json res = {{"query", "now"}};
  a.save_transaction(json::object(), res, false, 0);
  EXPECT_NE(host.console().find("CD4/CD8 ratio by condition? .. "), std::string::npos);

  testing::TempDir dir;
  a.write_h5ad((dir / "saved.h5ad").string());
  auto back = AnnData::read_h5ad(dir / "saved.h5ad");
  const UnsDict& store = back->uns.at("norvex_tx").dict();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store.at(store.keys()[0]).to_json()["query"], "CD4/CD8 ratio by condition?");
}

}  // namespace
}  // namespace norvex
