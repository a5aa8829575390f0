#include <gtest/gtest.h>

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

const char* kExplanation = R"MD(# **T cell activation in the tumour**

## Analysis Overview 
CD8 T cells show *strong* activation with **high** `GZMB` expression
([GeneCards](https://www.genecards.org/cgi-bin/carddisp.pl?gene=GZMB)).

- first finding
- second finding
  1. nested one
  2. nested two

3. step three
4. step four

| Gene | log2FC | padj |
|:-----|-------:|-----:|
| CD8A | 2.5 | 0.001 |
| GZMB | 1.9 | 0.02 |

```python
import scanpy as sc
sc.pl.umap(adata)
```

> Quoted remark.

### Caveats
Plain closing text.
)MD";

json paragraph_with(const json& doc, const std::string& needle) {
  for (auto& p : doc["paragraphs"])
    if (p["text"].get<std::string>().find(needle) != std::string::npos) return p;
  return nullptr;
}

TEST(CreateDocWithStyle, MarkdownBecomesWordFormatting) {
  REQUIRE_ORACLE();
  RecordingHost host;
  ScopedHost scoped(host);
  std::string doc = create_doc_with_style(kExplanation, make_png_b64(1600, 900), "UMAP of T cells");
  json d = oracle_json(kDocxOracle, doc, ".docx");
  ASSERT_TRUE(d.is_object());
  EXPECT_EQ(d["title"], "UMAP of T cells");
  EXPECT_EQ(d["paragraphs"][0]["style"], "Title");
  EXPECT_EQ(d["paragraphs"][0]["text"], "UMAP of T cells");

  EXPECT_EQ(paragraph_with(d, "T cell activation in")["style"], "Heading 1");
  EXPECT_EQ(paragraph_with(d, "Analysis Overview")["style"], "Heading 2");
  EXPECT_EQ(paragraph_with(d, "Caveats")["style"], "Heading 3");

  json body = paragraph_with(d, "CD8 T cells show");
  EXPECT_EQ(body["style"], "Normal");
  EXPECT_EQ(body["text"],
            "CD8 T cells show strong activation with high GZMB expression (GeneCards).");
  EXPECT_EQ(body["italic"], json::array({"strong"}));
  EXPECT_EQ(body["bold"], json::array({"high"}));
  EXPECT_EQ(body["code"], json::array({"GZMB"}));
  EXPECT_EQ(d["links"], json::array({"https://www.genecards.org/cgi-bin/carddisp.pl?gene=GZMB"}));

  // Lists: bullets and numbers as real numbering, nesting as levels, each list its own.
  json b1 = paragraph_with(d, "first finding"), b2 = paragraph_with(d, "second finding");
  json n1 = paragraph_with(d, "nested one"), s3 = paragraph_with(d, "step three");
  EXPECT_EQ(b1["style"], "List Bullet");
  EXPECT_EQ(b1["num"], b2["num"]);
  EXPECT_EQ(n1["style"], "List Number");
  EXPECT_EQ(n1["num"][0], 1);
  EXPECT_EQ(s3["num"][0], 0);
  EXPECT_NE(n1["num"][1], s3["num"][1]);
  EXPECT_EQ(d["num_format"][b1["num"][1].dump()], "bullet");
  EXPECT_EQ(d["num_format"][s3["num"][1].dump()], "decimal");

  ASSERT_EQ(d["tables"].size(), 1u);
  EXPECT_EQ(d["tables"][0], json::parse(R"([["Gene","log2FC","padj"],["CD8A","2.5","0.001"],
                                            ["GZMB","1.9","0.02"]])"));
  EXPECT_EQ(paragraph_with(d, "import scanpy")["style"], "Code Block");
  EXPECT_EQ(paragraph_with(d, "Quoted remark")["style"], "Quote");

  // The image comes right after the title, scaled to the text width, aspect kept.
  ASSERT_EQ(d["images"].size(), 1u);
  EXPECT_EQ(d["paragraphs"][1]["drawing"], 1);
  long long w = d["images"][0]["width"], h = d["images"][0]["height"];
  EXPECT_LE(w, d["text_width"].get<long long>());
  EXPECT_GE(w, d["text_width"].get<long long>() - 1000);
  EXPECT_NEAR(static_cast<double>(w) / h, 1600.0 / 900.0, 0.01);
  EXPECT_TRUE(host.events.empty());
}

TEST(CreateDocWithStyle, ImagesAsListOrMappingAndKoreanText) {
  REQUIRE_ORACLE();
  RecordingHost host;
  ScopedHost scoped(host);
  json imgs = {{"UMAP", make_png_b64(200, 150)},
               {"바이올린", make_png_b64(120, 300, 0.8, 0.2, 0.2)}};
  std::string doc = create_doc_with_style(
      "# 분석 개요\n\n**CD8** T 세포가 활성화되어 있습니다 "
      "([검색](<https://pubmed.ncbi.nlm.nih.gov/?term=CD8 탈진>)).\n\n- 첫째\n- 둘째\n",
      imgs, "T 세포 UMAP을 보여줘");
  json d = oracle_json(kDocxOracle, doc, ".docx");
  ASSERT_TRUE(d.is_object());
  EXPECT_EQ(d["paragraphs"][0]["text"], "T 세포 UMAP을 보여줘");
  EXPECT_EQ(paragraph_with(d, "분석 개요")["style"], "Heading 1");
  EXPECT_EQ(paragraph_with(d, "둘째")["style"], "List Bullet");
  // Link targets are valid URIs (Word refuses raw blanks and non-ASCII bytes in them).
  EXPECT_EQ(d["links"],
            json::array({"https://pubmed.ncbi.nlm.nih.gov/?term=CD8%20%ED%83%88%EC%A7%84"}));
  ASSERT_EQ(d["images"].size(), 2u);
  EXPECT_EQ(d["media"].size(), 2u);
  EXPECT_EQ(paragraph_with(d, "Figure 2. 바이올린")["style"], "Caption");
  // Small images keep their natural size (96 dpi) instead of being blown up.
  EXPECT_EQ(d["images"][0]["width"], 200 * 9525);

  // The East Asian font is set, so Hangul is not left to a font without it.
  auto parts = ooxml::zip_read(doc);
  for (auto& p : parts) {
    if (p.name == "word/styles.xml") {
      EXPECT_NE(p.data.find("w:eastAsia=\"Noto Sans CJK KR\""), std::string::npos);
    }
  }

  std::string list_doc = create_doc_with_style(
      nullptr, json::array({make_png_b64(50, 50), make_png_b64(60, 40)}), "Two");
  json l = oracle_json(kDocxOracle, list_doc, ".docx");
  EXPECT_EQ(l["images"].size(), 2u);
  EXPECT_EQ(paragraph_with(l, "Figure 1")["style"], "Caption");
}

TEST(CreateDocWithStyle, BrokenPartsAreLeftOutNotCorrupting) {
  REQUIRE_ORACLE();
  RecordingHost host;
  ScopedHost scoped(host);
  json imgs = json::array({"not base64 at all!!", base64_encode("GIF? no, plain text"),
                           make_png_b64(40, 40),
                           base64_encode(testing::make_png(40, 40).substr(0, 60)), nullptr, 42});
  std::string md =
      "Intro <b>bold by html</b> and<br>next line.\n\n<div align=\"center\">\n<script>alert(1)"
      "</script><p>Kept words &amp; more</p>\n</div>\n\n[bad](javascript:alert(1)) and "
      "control\x01"
      "char.\n";
  std::vector<std::string> left_out;
  std::string doc = create_doc_with_style(md, imgs, "Robust", &left_out);
  json d = oracle_json(kDocxOracle, doc, ".docx");
  ASSERT_TRUE(d.is_object());
  EXPECT_EQ(d["images"].size(), 1u);  // only the valid PNG
  json intro = paragraph_with(d, "Intro");
  EXPECT_EQ(intro["bold"], json::array({"bold by html"}));
  json kept = paragraph_with(d, "Kept words");
  EXPECT_EQ(kept["text"], "Kept words & more");
  EXPECT_TRUE(paragraph_with(d, "alert(1)").is_null());  // script content is dropped
  EXPECT_TRUE(d["links"].empty());                       // javascript: is not made a link
  EXPECT_EQ(paragraph_with(d, "bad and")["text"], "bad and controlchar.");

  // Left-out images are reported to the caller, never printed here.
  EXPECT_EQ(host.console(), "");
  std::string console;
  for (const auto& why : left_out) console += "⚠️ WARNING: " + why + "\n";
  EXPECT_NE(
      console.find("⚠️ WARNING: Image 1 was left out of the document: it is not valid base64"),
      std::string::npos);
  EXPECT_NE(console.find("Image 2 was left out of the document: it is not a PNG, JPEG or GIF"),
            std::string::npos);
  EXPECT_NE(console.find("Image 4 was left out"), std::string::npos);  // truncated PNG
  EXPECT_NE(console.find("Image 6 was left out of the document: it is not base64 text"),
            std::string::npos);
  EXPECT_EQ(console.find("Image 5"), std::string::npos);  // null entries are just absent

  EXPECT_THROW(create_doc_with_style(json::array({"x"}), nullptr, "t"), TypeError);
  EXPECT_THROW(create_doc_with_style("x", 5, "t"), TypeError);
}

TEST(CreateDocWithStyle, EmptyInputsStillMakeAValidDocument) {
  REQUIRE_ORACLE();
  std::string doc = create_doc_with_style(nullptr, nullptr, "");
  json d = oracle_json(kDocxOracle, doc, ".docx");
  ASSERT_TRUE(d.is_object());
  EXPECT_TRUE(d["images"].empty());
  // A data URL is accepted as well as bare base64.
  std::string data_url = "data:image/png;base64," + make_png_b64(30, 30);
  json e = oracle_json(kDocxOracle, create_doc_with_style("", data_url, "x"), ".docx");
  EXPECT_EQ(e["images"].size(), 1u);
}

TEST(ProbeImage, ReadsSizesAndRejectsDamage) {
  auto png = ooxml::probe_image(testing::make_png(321, 123));
  ASSERT_TRUE(png);
  EXPECT_EQ(png->extension, "png");
  EXPECT_EQ(png->width, 321u);
  EXPECT_EQ(png->height, 123u);
  // A minimal baseline JPEG header: SOI, APP0 JFIF at 300 dpi, SOF0 640x480.
  std::string jpeg(
      "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x01\x01\x2C\x01\x2C\x00\x00"
      "\xFF\xC0\x00\x11\x08\x01\xE0\x02\x80\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01",
      39);
  auto j = ooxml::probe_image(jpeg);
  ASSERT_TRUE(j);
  EXPECT_EQ(j->width, 640u);
  EXPECT_EQ(j->height, 480u);
  EXPECT_DOUBLE_EQ(j->dpi_x, 300);
  EXPECT_FALSE(ooxml::probe_image(jpeg.substr(0, 24)));
  EXPECT_FALSE(ooxml::probe_image(""));
  EXPECT_FALSE(ooxml::probe_image(testing::make_png(10, 10).substr(0, 40)));
}

TEST(Utf16Text, CountsAndCutsAsExcelDoes) {
  EXPECT_EQ(ooxml::utf16_prefix("가나다", 2), "가나");
  EXPECT_EQ(ooxml::utf8_prefix("가나다", 7), "가나");
  EXPECT_EQ(ooxml::utf16_length("a😀"), 3u);
}

}  // namespace
}  // namespace norvex
