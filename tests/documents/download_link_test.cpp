#include <gtest/gtest.h>

#include <regex>

#include "norvex/common/base64.hpp"
#include "norvex/documents/documents.hpp"

namespace norvex {
namespace {

// The pattern the console host uses to save downloads from a transcript.
const std::regex kHostPattern(
    R"(download=\"([^\"]*)\"[^>]*href=\"data:([^;\"]*);base64,([A-Za-z0-9+/=]*)\")");

TEST(CreatDownloadLink, LinkCarriesTheBytesUnderASafeName) {
  std::string bytes("PK\x03\x04 binary \x00\xff", 14);
  std::string html = creat_download_link(bytes, "T 세포의 UMAP을 보여줘?.docx");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(html, m, kHostPattern)) << html;
  EXPECT_EQ(m[1].str(), "T 세포의 UMAP을 보여줘.docx");
  EXPECT_EQ(m[2].str(), "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
  EXPECT_EQ(base64_decode(m[3].str()), bytes);
  EXPECT_NE(html.find("Download document"), std::string::npos);

  html = creat_download_link("x", "table.xlsx", "table");
  ASSERT_TRUE(std::regex_search(html, m, kHostPattern));
  EXPECT_EQ(m[1].str(), "table.xlsx");
  EXPECT_EQ(m[2].str(), "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
  EXPECT_NE(html.find("Download table: table.xlsx"), std::string::npos);

  html = creat_download_link("x", "notes");
  ASSERT_TRUE(std::regex_search(html, m, kHostPattern));
  EXPECT_EQ(m[2].str(), "application/octet-stream");
}

TEST(CreatDownloadLink, MarkupInTheQuestionIsEscaped) {
  std::string html =
      creat_download_link("x", "<img src=x onerror=alert(1)> \"R&D\" <b>.docx", "<i>doc</i>");
  EXPECT_EQ(html.find("<img"), std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(html.find("<i>"), std::string::npos);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(html, m, kHostPattern));
  EXPECT_EQ(m[1].str(), "img src=x onerror=alert(1)_R&amp;D_b.docx");
}

TEST(SafeFileName, RemovesWhatFileSystemsRefuse) {
  EXPECT_EQ(safe_file_name("../../etc/passwd"), "etc_passwd");
  EXPECT_EQ(safe_file_name("a\\b/c.xlsx"), "a_b_c.xlsx");
  EXPECT_EQ(safe_file_name("line\nbreak\ttab\x7f.docx"), "line break tab.docx");
  EXPECT_EQ(safe_file_name("What is CD8?.docx"), "What is CD8.docx");
  EXPECT_EQ(safe_file_name("  ...hidden. .docx"), "hidden.docx");
  EXPECT_EQ(safe_file_name("CON.docx"), "_CON.docx");
  EXPECT_EQ(safe_file_name("lpt1"), "_lpt1");
  EXPECT_EQ(safe_file_name("???.docx"), "download.docx");
  EXPECT_EQ(safe_file_name(""), "download");
  EXPECT_EQ(safe_file_name("bad\xff.docx"), "bad\xEF\xBF\xBD.docx");
  EXPECT_EQ(safe_file_name("c1\xC2\x85"
                           "ctl"),
            "c1 ctl");
  EXPECT_EQ(safe_file_name("v1.2 results"), "v1.2 results");
}

TEST(SafeFileName, LongNamesAreCutBetweenCharactersKeepingTheExtension) {
  std::string question;
  for (int i = 0; i < 100; ++i) question += "세포";  // 3 bytes each
  std::string name = safe_file_name(question + ".docx", 100);
  EXPECT_LE(name.size(), 100u);
  EXPECT_TRUE(name.ends_with("세포.docx") || name.ends_with("세.docx"));
  EXPECT_EQ((name.size() - 5) % 3, 0u);  // whole characters only
  EXPECT_EQ(safe_file_name(std::string(400, 'a') + ".xlsx").size(), 180u);
}

TEST(MimeTypeFor, FollowsTheExtension) {
  EXPECT_EQ(mime_type_for("a.XLSX"),
            "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
  EXPECT_EQ(mime_type_for("a.png"), "image/png");
  EXPECT_EQ(mime_type_for("a.docx.exe"), "application/octet-stream");
  EXPECT_EQ(mime_type_for("noext"), "application/octet-stream");
}

}  // namespace
}  // namespace norvex
