// The terminal front end: downloads saved from large links, secrets kept out of every
// output, displays in order in the transcript.
#include <gtest/gtest.h>

#include <sstream>

#include "norvex/common/base64.hpp"
#include "norvex/host/console_host.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

TEST(ConsoleHost, SavesLargeDownloadsAndRedactsSecrets) {
  testing::TempDir dir;
  std::ostringstream out, err;
  {
    ConsoleHost host(out, err, dir.path());
    host.add_secret("sk-very-secret");
    host.print("✅ Analyzing query .. ", false);
    host.print_error("failed with key sk-very-secret");
    std::string payload(3 * 1024 * 1024, 'x');  // megabytes in one attribute
    host.display_html("<a download=\"report &amp; notes.docx\" href=\"data:application/x;base64," +
                      base64_encode(payload) + "\">Download</a>");
    host.display_html("<a download=\"../escape.docx\" href=\"data:a/b;base64,eHg=\">x</a>");
    host.display_json({{"note", "sk-very-secret"}});
  }
  EXPECT_EQ(testing::read_file(dir / "report & notes.docx").size(), 3u * 1024 * 1024);
  EXPECT_FALSE(std::filesystem::exists(dir.path().parent_path() / "escape.docx"));
  const std::string transcript = testing::read_file(dir / "transcript.html");
  for (const std::string& text : {out.str(), err.str(), transcript}) {
    EXPECT_EQ(text.find("sk-very-secret"), std::string::npos);
  }
  EXPECT_NE(err.str().find("failed with key [redacted]"), std::string::npos);
  // The open status line is closed before the error report.
  EXPECT_EQ(out.str().rfind("✅ Analyzing query .. \n", 0), 0u);
  EXPECT_LT(transcript.find("Analyzing query"), transcript.find("Download</a>"));
}

TEST(ConsoleHost, HtmlToTextKeepsTheWords) {
  EXPECT_EQ(html_to_text("<h3>Title</h3>\n<p>A &amp; <b>B</b></p>\n<ul>\n<li>one</li>\n</ul>"
                         "<script>x()</script><img src=x>"),
            "Title\nA & B\n• one\n\n[image]");
  EXPECT_EQ(html_to_text("<table><tr><td>a</td>\n<td>b</td></tr></table>"), "a | b");
}

}  // namespace
}  // namespace norvex
