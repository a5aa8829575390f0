#include <gtest/gtest.h>

#include <set>

#include "norvex/common/errors.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/documents/ooxml.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/document_oracle.hpp"

namespace norvex {
namespace {

using testing::kDocxOracle;
using testing::make_png_b64;
using testing::oracle_json;

std::vector<json> paragraphs_styled(const json& doc, const std::string& style) {
  std::vector<json> out;
  for (auto& p : doc["paragraphs"])
    if (p["style"] == style) out.push_back(p);
  return out;
}

TEST(MergeDocx, PartsInOrderWithPageBreaksImagesLinksAndNumbering) {
  REQUIRE_ORACLE();
  RecordingHost host;
  ScopedHost scoped(host);
  std::vector<std::string> parts{
      create_doc_with_style("## One\n\n- a\n- b\n\n[link one](https://example.org/1)\n",
                            make_png_b64(300, 200), "Section 1"),
      create_doc_with_style("## Two\n\n1. first\n2. second\n", nullptr, "Section 2"),
      create_doc_with_style(
          "## Three\n\n- c\n\n[link three](https://example.org/3)\n",
          json::array({make_png_b64(100, 100, 1, 0, 0), make_png_b64(80, 60, 0, 1, 0)}),
          "Section 3")};
  std::string merged = merge_docx_buffers_docxcompose(parts, true);
  json d = oracle_json(kDocxOracle, merged, ".docx");
  ASSERT_TRUE(d.is_object());

  auto titles = paragraphs_styled(d, "Title");
  ASSERT_EQ(titles.size(), 3u);
  EXPECT_EQ(titles[0]["text"], "Section 1");
  EXPECT_EQ(titles[1]["text"], "Section 2");
  EXPECT_EQ(titles[2]["text"], "Section 3");
  EXPECT_FALSE(titles[0]["page_break"].get<bool>());
  EXPECT_TRUE(titles[1]["page_break"].get<bool>());
  EXPECT_TRUE(titles[2]["page_break"].get<bool>());

  // Three pictures in three distinct media parts, drawing ids unique.
  EXPECT_EQ(d["images"].size(), 3u);
  EXPECT_EQ(d["media"].size(), 3u);
  std::set<int> ids(d["docpr_ids"].begin(), d["docpr_ids"].end());
  EXPECT_EQ(ids.size(), 3u);
  EXPECT_EQ(d["links"], json::array({"https://example.org/1", "https://example.org/3"}));

  // Each list keeps its own numbering and its kind: bullets stay bullets, numbers numbers.
  json a, first, c;
  for (auto& p : d["paragraphs"]) {
    if (p["text"] == "a") a = p;
    if (p["text"] == "first") first = p;
    if (p["text"] == "c") c = p;
  }
  ASSERT_FALSE(a.is_null() || first.is_null() || c.is_null());
  EXPECT_EQ(d["num_format"][a["num"][1].dump()], "bullet");
  EXPECT_EQ(d["num_format"][first["num"][1].dump()], "decimal");
  EXPECT_EQ(d["num_format"][c["num"][1].dump()], "bullet");
  EXPECT_NE(a["num"][1], c["num"][1]);

  // The pictures in the merged file are the original bytes, section 3's in its order.
  auto entries = ooxml::zip_read(merged);
  size_t media_bytes = 0;
  for (auto& e : entries)
    if (e.name.starts_with("word/media/")) media_bytes += e.data.size();
  EXPECT_EQ(media_bytes, testing::make_png(300, 200).size() +
                             testing::make_png(100, 100, 1, 0, 0).size() +
                             testing::make_png(80, 60, 0, 1, 0).size());
}

TEST(MergeDocx, WithoutPageBreaksAndSingleDocument) {
  REQUIRE_ORACLE();
  std::vector<std::string> parts{create_doc_with_style("x", nullptr, "A"),
                                 create_doc_with_style("y", nullptr, "B")};
  json d = oracle_json(kDocxOracle, merge_docx_buffers_docxcompose(parts, false), ".docx");
  ASSERT_TRUE(d.is_object());
  for (auto& p : d["paragraphs"]) EXPECT_FALSE(p["page_break"].get<bool>());
  EXPECT_EQ(paragraphs_styled(d, "Title").size(), 2u);

  json one = oracle_json(kDocxOracle, merge_docx_buffers_docxcompose({parts[0]}), ".docx");
  EXPECT_EQ(paragraphs_styled(one, "Title").size(), 1u);
}

TEST(MergeDocx, BadInputIsAClearError) {
  EXPECT_THROW(merge_docx_buffers_docxcompose({}), ValueError);
  std::string good = create_doc_with_style("x", nullptr, "A");
  try {
    merge_docx_buffers_docxcompose({good, "not a zip"});
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("document 2 of 2 is not a Word document"),
              std::string::npos)
        << e.what();
  }
  std::string zip_without_doc = ooxml::zip_write({{"hello.txt", "hi"}});
  EXPECT_THROW(merge_docx_buffers_docxcompose({zip_without_doc}), ValueError);
  EXPECT_THROW(merge_docx_buffers_docxcompose({good, good.substr(0, good.size() / 2)}), ValueError);
}

// A base from another writer may declare no picture types; the pictures merged into it
// must still get theirs, or Word refuses the file.
TEST(MergeDocx, PictureTypesTheBaseLacksAreDeclared) {
  RecordingHost host;
  ScopedHost scoped(host);
  const std::string png_default = "<Default Extension=\"png\" ContentType=\"image/png\"/>";
  auto base_entries = ooxml::zip_read(create_doc_with_style("x", nullptr, "A"));
  for (auto& e : base_entries) {
    if (e.name != "[Content_Types].xml") continue;
    const size_t at = e.data.find(png_default);
    ASSERT_NE(at, std::string::npos);
    e.data.erase(at, png_default.size());
  }
  const std::string merged = merge_docx_buffers_docxcompose(
      {ooxml::zip_write(base_entries), create_doc_with_style("y", make_png_b64(20, 10), "B")});
  bool has_media = false;
  std::string types;
  for (auto& e : ooxml::zip_read(merged)) {
    has_media |= e.name.starts_with("word/media/") && e.name.ends_with(".png");
    if (e.name == "[Content_Types].xml") types = e.data;
  }
  ASSERT_TRUE(has_media);
  const size_t first = types.find(png_default);
  ASSERT_NE(first, std::string::npos) << types;
  EXPECT_EQ(types.find(png_default, first + 1), std::string::npos) << "declared twice";
}

}  // namespace
}  // namespace norvex
