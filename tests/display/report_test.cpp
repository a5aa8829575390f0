#include "norvex/display/report.hpp"

#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/document_oracle.hpp"

namespace norvex {
namespace {

using testing::kDocxOracle;
using testing::make_png_b64;
using testing::oracle_json;

// The document the host was offered, the only thing it was shown.
std::string downloaded(const RecordingHost& host, std::string* name = nullptr) {
  auto files = host.of_kind(HostEvent::Kind::Download);
  EXPECT_EQ(files.size(), 1u);
  EXPECT_TRUE(host.of_kind(HostEvent::Kind::Html).empty());
  if (files.empty()) return "";
  EXPECT_EQ(files[0].mime,
            "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
  EXPECT_EQ(files[0].label, "report");
  if (name) *name = files[0].name;
  return files[0].text;
}

json transaction(const std::string& query, const json& plot_result, const json& explanation) {
  json tx = {{"query", query}, {"plot_func", "plot_umap"}};
  if (!plot_result.is_discarded()) tx["plot_result"] = plot_result;
  if (!explanation.is_discarded()) tx["explanation"] = explanation;
  return tx;
}

void set_store(AnnData& adata, const json& store) {
  adata.uns.set("norvex_tx", UnsNode::from_json(store));
}

TEST(GenerateNorvexReport, NoStoreOrEmptyStoreSaysSo) {
  RecordingHost host;
  ScopedHost scoped(host);
  AnnData adata;
  generate_norvex_report(host, adata);
  EXPECT_EQ(host.console(), "ℹ️ INFO: No transaction(s) found.\n");
  EXPECT_TRUE(host.of_kind(HostEvent::Kind::Download).empty());

  host.clear();
  adata.uns.set("norvex_tx", UnsNode(UnsDict{}));
  generate_norvex_report(host, adata);
  EXPECT_EQ(host.console(), "ℹ️ INFO: No transaction(s) found.\n");
  EXPECT_TRUE(host.of_kind(HostEvent::Kind::Download).empty());
}

TEST(GenerateNorvexReport, SectionsNumberedByPositionWithPageBreaks) {
  REQUIRE_ORACLE();
  RecordingHost host;
  ScopedHost scoped(host);
  AnnData adata;
  json discarded = json::value_t::discarded;
  json store;
  store["show umap"] = transaction("show umap", {{"img_base64", make_png_b64(400, 300)}},
                                   "## UMAP\n\n- clusters separate well\n");
  store["what is CD8?"] = transaction("what is CD8?", discarded, "CD8 is a co-receptor.");
  store["T 세포 비율"] =
      transaction("T 세포 비율",
                  {{"img_base64", json::array({make_png_b64(200, 200), make_png_b64(300, 150)})},
                   {"data", "celltype"}},
                  "## 세포 비율\n\n1. 종양에서 증가\n2. 정상에서 감소\n");
  set_store(adata, store);

  generate_norvex_report(host, adata);
  EXPECT_EQ(host.console(), "");
  std::string name;
  std::string docx = downloaded(host, &name);
  EXPECT_EQ(name, "norvex_report.docx");
  json d = oracle_json(kDocxOracle, docx, ".docx");
  ASSERT_TRUE(d.is_object());

  std::vector<json> titles;
  for (auto& p : d["paragraphs"])
    if (p["style"] == "Title") titles.push_back(p);
  ASSERT_EQ(titles.size(), 2u);
  EXPECT_EQ(titles[0]["text"], "Section 1");
  EXPECT_EQ(titles[1]["text"], "Section 3");  // the second transaction left a gap
  EXPECT_FALSE(titles[0]["page_break"].get<bool>());
  EXPECT_TRUE(titles[1]["page_break"].get<bool>());
  EXPECT_EQ(d["images"].size(), 3u);

  // Explanations follow their own section's title.
  std::vector<std::string> order;
  for (auto& p : d["paragraphs"])
    if (p["style"] == "Title" || p["style"].get<std::string>().starts_with("Heading"))
      order.push_back(p["text"]);
  EXPECT_EQ(order, (std::vector<std::string>{"Section 1", "UMAP", "Section 3", "세포 비율"}));
}

TEST(GenerateNorvexReport, SectionWithoutImagesOrExplanationText) {
  REQUIRE_ORACLE();
  RecordingHost host;
  ScopedHost scoped(host);
  AnnData adata;
  json store;
  store["table only"] = transaction("table only", {{"data", "gene"}}, "Only a table.");
  store["no text"] = transaction("no text", {{"img_base64", make_png_b64(50, 50)}}, nullptr);
  set_store(adata, store);
  generate_norvex_report(host, adata);
  json d = oracle_json(kDocxOracle, downloaded(host), ".docx");
  ASSERT_TRUE(d.is_object());
  EXPECT_EQ(d["images"].size(), 1u);
  EXPECT_EQ(d["paragraphs"][0]["text"], "Section 1");
  EXPECT_EQ(d["paragraphs"][1]["text"], "Only a table.");
}

TEST(GenerateNorvexReport, BrokenStores) {
  RecordingHost host;
  ScopedHost scoped(host);
  AnnData adata;
  json discarded = json::value_t::discarded;

  // A plot result without an explanation entry is a damaged entry: named and passed over,
  // the others still reported under their own numbers.
  json store;
  store["q"] = transaction("q", {{"img_base64", make_png_b64(10, 10)}}, discarded);
  store["r"] = transaction("r", {{"img_base64", make_png_b64(10, 10)}}, "The second one.");
  set_store(adata, store);
  generate_norvex_report(host, adata);
  EXPECT_EQ(host.console(),
            "⚠️ WARNING: Saved query 'q' has a plot result but no explanation and is left out "
            "of the report.\n");
  REQUIRE_ORACLE();
  json d = oracle_json(kDocxOracle, downloaded(host), ".docx");
  EXPECT_EQ(d["paragraphs"][0]["text"], "Section 2");
  EXPECT_NE(dump_json(d["paragraphs"]).find("The second one."), std::string::npos);
  EXPECT_EQ(dump_json(d["paragraphs"]).find("Section 1"), std::string::npos);
  EXPECT_EQ(d["images"].size(), 1u);

  // Only damaged entries: nothing to offer.
  host.clear();
  json damaged;
  damaged["q"] = transaction("q", {{"img_base64", make_png_b64(10, 10)}}, discarded);
  set_store(adata, damaged);
  generate_norvex_report(host, adata);
  EXPECT_TRUE(host.of_kind(HostEvent::Kind::Download).empty());
  EXPECT_NE(host.console().find("ℹ️ INFO: No transaction(s) with a plot result found."),
            std::string::npos);

  // Nothing with a plot result: no empty report is offered.
  host.clear();
  json none;
  none["a"] = transaction("a", discarded, "text");
  set_store(adata, none);
  generate_norvex_report(host, adata);
  EXPECT_EQ(host.console(), "ℹ️ INFO: No transaction(s) with a plot result found.\n");
  EXPECT_TRUE(host.of_kind(HostEvent::Kind::Download).empty());

  // A store that is not a mapping at all.
  adata.uns.set("norvex_tx", UnsNode::from_json("text"));
  EXPECT_THROW(generate_norvex_report(host, adata), TypeError);
}

TEST(GenerateNorvexReport, StoreReadBackFromAnH5adFile) {
  REQUIRE_ORACLE();
  RecordingHost host;
  ScopedHost scoped(host);
  testing::TempDir dir;
  AnnData adata;
  adata.obs.set_index({"c1", "c2"});
  adata.var.set_index({"g1"});
  json store;
  store["umap"] = transaction(
      "umap", {{"img_base64", json::array({make_png_b64(120, 90), make_png_b64(90, 120)})}},
      "# Result\n\nTwo **figures**.");
  set_store(adata, store);
  adata.write_h5ad(dir / "saved.h5ad");
  auto back = AnnData::read_h5ad(dir / "saved.h5ad");
  generate_norvex_report(host, *back);
  json d = oracle_json(kDocxOracle, downloaded(host), ".docx");
  ASSERT_TRUE(d.is_object());
  EXPECT_EQ(d["images"].size(), 2u);
  EXPECT_EQ(d["paragraphs"][0]["text"], "Section 1");
}

}  // namespace
}  // namespace norvex
