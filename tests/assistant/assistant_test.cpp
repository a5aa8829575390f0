#include <gtest/gtest.h>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/data_context.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

// A minimal valid dataset whose cell names are numbers with duplicates.
std::shared_ptr<AnnData> numbered_dataset() {
  auto ad = std::make_shared<AnnData>();
  ad->obs.set_index({"1", "2", "1", "1"});
  ad->obs.set("condition", Column::categorical({"Normal", "Tumor", "Tumor", "Normal"}));
  for (const char* level : {"celltype_major", "celltype_minor", "celltype_subset"}) {
    ad->obs.set(level, Column::categorical({"T cells", "B cells", "T cells", "Myeloid"}));
  }
  ad->var.set_index({"CD3E", "MS4A1", "CD3E"});
  UnsDict usr;
  usr.set("species", Array::scalar("Homo sapiens"));
  usr.set("tissue", Array::scalar("blood"));
  usr.set("tumor_id", Array::scalar(false));
  ad->uns.set("usr_param", std::move(usr));
  UnsDict params;
  params.set("CCI_DEG_BASE", Array::scalar("celltype_minor"));
  params.set("DEG_REF_GROUP", Array::scalar("Normal"));
  ad->uns.set("analysis_parameters", std::move(params));
  return ad;
}

std::vector<std::string> unique_cell_names() {
  return {"1", "2", "1-1", "1-2"};
}

class AssistantTest : public ::testing::Test {
 protected:
  RecordingHost host;
  ScopedHost scope{host};
};

TEST_F(AssistantTest, PathConstructionUsesOpenAIAndNormalisesNames) {
  testing::TempDir dir;
  const std::string path = (dir / "d.h5ad").string();
  numbered_dataset()->write_h5ad(path);

  Assistant a(AssistantOptions{.api_key = "sk-test", .adata = path});
  EXPECT_EQ(a.model_name, "gpt-5");
  ASSERT_TRUE(a.config->client);
  EXPECT_STREQ(a.config->client->provider(), "openai");
  EXPECT_EQ(a.config->client->api_key(), std::optional<std::string>("sk-test"));
  EXPECT_EQ(a.file_h5ad, std::optional<std::string>(path));
  EXPECT_EQ(a.config->adata->obs.index(), unique_cell_names());
  EXPECT_EQ(a.config->adata->var.index(), (std::vector<std::string>{"CD3E", "MS4A1", "CD3E-1"}));
  EXPECT_EQ(a.config->data_context, get_data_context(*a.config->adata));
  EXPECT_EQ(a.config->max_retries, 1);
  EXPECT_EQ(a.config->rem_router, true);
  EXPECT_EQ(a.t_hist.len(), 0u);
  EXPECT_TRUE(a.last_tx.is_null());
  EXPECT_EQ(a.config->tools.funcs.size(), 12u);
  EXPECT_TRUE(host.console().empty());
}

TEST_F(AssistantTest, ObjectIsAdoptedAndGeminiChosenByPrefix) {
  auto ad = numbered_dataset();
  Assistant a(AssistantOptions{.api_key = "k", .model_to_use = "gemini-2.5-flash", .adata = ad});
  EXPECT_STREQ(a.config->client->provider(), "gemini");
  EXPECT_EQ(a.file_h5ad, std::optional<std::string>("norvex_processed_anndata.h5ad"));
  EXPECT_EQ(a.config->adata.get(), ad.get());
  EXPECT_EQ(ad->obs.index(), unique_cell_names());

  // The prefix test is case-sensitive.
  Assistant b(AssistantOptions{
      .api_key = "k", .model_to_use = "Gemini-2.5-pro", .adata = numbered_dataset()});
  EXPECT_STREQ(b.config->client->provider(), "openai");
}

TEST_F(AssistantTest, KeyOnlyGivesHalfConfiguredObject) {
  Assistant a(AssistantOptions{.api_key = "k", .host = &host});
  EXPECT_EQ(host.console(),
            "❌ ERROR: adata must be a valid path to a H5AD file or AnnData object.\n");
  EXPECT_EQ(a.api_key, std::optional<std::string>("k"));
  EXPECT_EQ(a.model_name, "gpt-5");
  EXPECT_FALSE(a.config);
  EXPECT_EQ(a.t_hist.len(), 0u);
  EXPECT_TRUE(a.last_tx.is_null());
  EXPECT_THROW(a.configured("adata"), AttributeError);
  EXPECT_THROW(a.write_h5ad("never.h5ad"), AttributeError);
  try {
    a.configured("data_context");
  } catch (const AttributeError& e) {
    EXPECT_STREQ(e.what(), "'norvex' object has no attribute 'data_context'");
  }
  // Requests on a half-configured object fail before reaching any model or dataset.
  EXPECT_THROW(a.ask("q"), AttributeError);
  try {
    a.ask_inner("q");
    ADD_FAILURE() << "ask_inner without a client";
  } catch (const AttributeError& e) {
    EXPECT_STREQ(e.what(), "'norvex' object has no attribute 'client'");
  }
}

TEST_F(AssistantTest, ToolMapsNullVersusEmpty) {
  Assistant kept(AssistantOptions{
      .api_key = "k", .adata = numbered_dataset(), .tool_defaults = json::object()});
  EXPECT_TRUE(kept.config->tools.defaults.is_object());
  EXPECT_TRUE(kept.config->tools.defaults.empty());

  Assistant computed(AssistantOptions{.api_key = "k", .adata = numbered_dataset()});
  EXPECT_EQ(computed.config->tools.defaults,
            build_tool_defaults_v3(builtin_tool_funcs(), builtin_tool_config_map()));

  // Caller's own (empty) tool maps feed the computed defaults.
  Assistant own(AssistantOptions{.api_key = "k",
                                 .adata = numbered_dataset(),
                                 .tool_funcs = ToolFuncs{},
                                 .tool_config_map = ToolConfigMap{}});
  EXPECT_TRUE(own.config->tools.funcs.empty());
  EXPECT_EQ(own.config->tools.defaults, build_tool_defaults_v3(ToolFuncs{}, ToolConfigMap{}));
}

TEST_F(AssistantTest, ArgumentTypesCheckedBeforeAnyField) {
  Assistant a(AssistantOptions{.api_key = "first", .adata = numbered_dataset()});
  EXPECT_THROW(a.set_api_key("second", "gpt-5", numbered_dataset(), std::nullopt, json::array()),
               TypeError);
  EXPECT_THROW(a.set_api_key("second", "gpt-5", numbered_dataset(), std::nullopt, std::nullopt,
                             std::nullopt, "three"),
               TypeError);
  EXPECT_EQ(a.api_key, std::optional<std::string>("first"));

  a.set_api_key("second", "gpt-5", numbered_dataset(), std::nullopt, std::nullopt, std::nullopt,
                3.9, false);
  EXPECT_EQ(a.config->max_retries, 3);
  EXPECT_EQ(a.config->rem_router, false);
}

TEST_F(AssistantTest, ReconfigurationKeepsHistoryAndUnreadablePathPropagates) {
  Assistant a(AssistantOptions{.api_key = "k", .adata = numbered_dataset()});
  a.t_hist.add(json{{"query", "q1"}});
  a.last_tx = json{{"kind", "x"}};
  auto other = numbered_dataset();
  a.set_api_key("k2", "gemini-2.5-flash", other);
  EXPECT_EQ(a.t_hist.len(), 1u);
  EXPECT_EQ(a.last_tx, (json{{"kind", "x"}}));
  EXPECT_EQ(a.config->adata.get(), other.get());

  // An unusable dataset on a configured object keeps the earlier dataset and client.
  a.set_api_key("k3", "gpt-5");
  EXPECT_EQ(a.model_name, "gpt-5");
  EXPECT_STREQ(a.config->client->provider(), "gemini");
  EXPECT_EQ(a.config->adata.get(), other.get());

  EXPECT_THROW(a.set_api_key("k4", "gpt-5", std::string("/nonexistent/none.h5ad")), FileError);
  EXPECT_EQ(a.file_h5ad, std::optional<std::string>("/nonexistent/none.h5ad"));
  // The failed reconfiguration left the working one whole.
  EXPECT_EQ(a.config->adata.get(), other.get());
  EXPECT_STREQ(a.config->client->provider(), "gemini");
  EXPECT_EQ(a.t_hist.len(), 1u);
}

TEST_F(AssistantTest, WriteH5adRoundTrips) {
  testing::TempDir dir;
  Assistant a(AssistantOptions{.api_key = "secret-key-123", .adata = numbered_dataset()});
  a.config->adata->uns.set("added_by_tool", Array::scalar("yes"));
  const std::string out = (dir / "out.h5ad").string();
  a.write_h5ad(out);
  auto back = AnnData::read_h5ad(out);
  EXPECT_EQ(back->obs.index(), unique_cell_names());
  EXPECT_EQ(back->uns.at("added_by_tool").text(), "yes");
  EXPECT_EQ(testing::read_file(out).find("secret-key-123"), std::string::npos);
}

}  // namespace
}  // namespace norvex
