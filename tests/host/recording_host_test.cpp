// The test double records each typed call as its own kind of event, in order.
#include "norvex/host/recording_host.hpp"

#include <gtest/gtest.h>

#include "norvex/host/download_links.hpp"

namespace norvex {
namespace {

using Kind = HostEvent::Kind;

TEST(RecordingHost, KeepsTablesAndDownloadsApartFromHtml) {
  RecordingHost host;
  host.print("✅ Analyzing query .. ", false);
  host.display_table("<table></table>");
  host.offer_download({"deg.xlsx", "application/x", "PK bytes", "table"});
  host.offer_download({"notes.docx", "application/y", "doc"});
  host.print("done");
  NotebookHost& base = host;
  base.display_html("<p>x</p>");

  std::vector<Kind> kinds;
  for (auto& e : host.events) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Print, Kind::Table, Kind::Download, Kind::Download,
                                      Kind::Print, Kind::Html}));
  const HostEvent& file = host.events[2];
  EXPECT_EQ(file.name, "deg.xlsx");
  EXPECT_EQ(file.mime, "application/x");
  EXPECT_EQ(file.text, "PK bytes");
  EXPECT_EQ(file.label, "table");
  EXPECT_EQ(host.events[3].label, "document");  // the default
  EXPECT_EQ(host.console(), "✅ Analyzing query .. done\n");
}

TEST(DownloadLink, CarriesTheFileOrPointsToACopy) {
  const Download xlsx{"R&D 'x'.xlsx",
                      "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "ab",
                      "table"};
  EXPECT_EQ(download_link_text(xlsx, "N"), "📊 Download table: N");
  EXPECT_EQ(download_link_text({"a", "application/vnd.ms-wordprocessingml", "", ""}, "a"),
            "📄 Download file: a");
  EXPECT_EQ(download_link_text({"a", "text/csv", "", "<b>"}, "a"), "📥 Download &lt;b&gt;: a");
  const std::string style =
      "display:inline-block;margin:4px 0;padding:4px 10px;border:1px solid "
      "#9bb3d4;border-radius:4px;background:#eef3fa;color:#1f3864;text-decoration:none";
  EXPECT_EQ(data_download_link(xlsx),
            "<a class=\"norvex-download\" download=\"R&amp;D 'x'.xlsx\" "
            "href=\"data:application/vnd.openxmlformats-officedocument.spreadsheetml.sheet;base64,"
            "YWI=\" style=\"" +
                style + "\">📊 Download table: R&amp;D 'x'.xlsx</a>");
  EXPECT_EQ(download_link_html("n", "files/1/n", "t"),
            "<a class=\"norvex-download\" download=\"n\" href=\"files/1/n\" style=\"" + style +
                "\">t</a>");
}

TEST(DownloadLink, PlainFileNames) {
  EXPECT_EQ(plain_file_name("../../etc/passwd"), "passwd");
  EXPECT_EQ(plain_file_name("a\\b\x01.txt"), "b_.txt");
  EXPECT_EQ(plain_file_name(".hidden"), "download.hidden");
  EXPECT_EQ(plain_file_name(".."), "download");
  EXPECT_EQ(plain_file_name(""), "download");
}

}  // namespace
}  // namespace norvex
