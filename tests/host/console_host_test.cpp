// The terminal front end: large downloads saved as files, secrets kept out of every
// output, displays in order in the transcript, terminal text made inert, files in the
// output folder never overwritten and links there never followed, failed writes reported.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sstream>

#include "norvex/host/console_host.hpp"
#include "norvex/host/redactor.hpp"
#include "norvex/host/terminal_text.hpp"
#include "support/fixtures.hpp"
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
    host.offer_download({"report & notes.docx", "application/x", payload});
    host.offer_download({"../escape.docx", "a/b", "xx"});
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
  EXPECT_LT(transcript.find("Analyzing query"), transcript.find("norvex-download"));
  EXPECT_EQ(testing::read_file(dir / "escape.docx"), "xx");
}

TEST(ConsoleHost, HtmlToTextKeepsTheWords) {
  EXPECT_EQ(html_to_text("<h3>Title</h3>\n<p>A &amp; <b>B</b></p>\n<ul>\n<li>one</li>\n</ul>"
                         "<script>x()</script><img src=x>"),
            "Title\nA & B\n• one\n\n[image]");
  EXPECT_EQ(html_to_text("<table><tr><td>a</td>\n<td>b</td></tr></table>"), "a | b");
}

Download file(const std::string& name, const std::string& bytes) {
  return {name, "application/octet-stream", bytes};
}

TEST(ConsoleHost, ASecretTwiceInOneMessageIsRedactedEverywhere) {
  testing::TempDir dir;
  std::ostringstream out, err;
  const std::string key = "sk-twice-secret-0042";
  const std::string twice = "key " + key + " and again " + key + ".";
  {
    ConsoleHost host(out, err, dir.path());
    host.add_secret("  " + key + "\n");  // as pasted, with whitespace around it
    host.begin_cell(twice);
    host.print(twice);
    host.print(twice, false);
    host.print_error(twice);
    host.display_html("<p>" + twice + "</p>");
    host.display_json({{"a", twice}});
    host.set_next_input(twice);
    host.offer_download(file(key + "-" + key + ".txt", twice));
  }
  const std::string transcript = testing::read_file(dir / "transcript.html");
  for (const std::string& text : {out.str(), err.str(), transcript}) {
    EXPECT_EQ(text.find(key), std::string::npos) << text;
  }
  EXPECT_EQ(testing::count_occurrences(out.str(), "key [redacted] and again [redacted]."), 5u)
      << out.str();
  EXPECT_NE(err.str().find("key [redacted] and again [redacted]."), std::string::npos);
  EXPECT_GE(testing::count_occurrences(transcript, "key [redacted] and again [redacted]."), 6u);
  // The download's name and its bytes too.
  size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(entry.path().filename().string().find(key), std::string::npos);
    ++files;
  }
  EXPECT_EQ(files, 2u);  // the transcript and the download
  const auto saved = dir / "[redacted]-[redacted].txt";
  EXPECT_EQ(testing::read_file(saved), "key [redacted] and again [redacted].");

  Redactor r;
  r.add("a&b-secret");
  EXPECT_EQ(r.text("a&b-secret a&amp;b-secret a&b-secret"), "[redacted] [redacted] [redacted]");
  r.add(" \t ");  // blank: nothing to redact, and ordinary spaces survive
  EXPECT_EQ(r.text("a b"), "a b");
}

TEST(ConsoleHost, ControlCharactersNeverReachTheTerminal) {
  std::ostringstream out, err;
  ConsoleHost host(out, err);
  host.print("title \x1b]0;pwned\x07 clear \x1b[2J\x1b[H bell\r\x7f done");
  host.print_error("err \x1b[31mred\x1b[0m");
  host.display_html("<p>CD8\x1b]8;;http://evil/\x1b\\ T</p>");
  host.display_json({{"cat", "B\u009b2Jcell"}});
  host.set_next_input("x = '\x1b[?1049h'");
  host.display_image("\x1b[2J", "image/png\x1b]0;t\x07");
  for (const std::string& text : {out.str(), err.str()}) {
    for (char c : text) {
      const auto u = static_cast<unsigned char>(c);
      EXPECT_TRUE(u >= 0x20 || c == '\n' || c == '\t') << "byte " << int(u) << " in " << text;
      EXPECT_NE(u, 0x7F);
    }
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos);
  }
  EXPECT_NE(out.str().find("title ^[]0;pwned^G clear ^[[2J^[[H bell^M^? done\n"), std::string::npos)
      << out.str();
  EXPECT_NE(err.str().find("err ^[[31mred^[[0m"), std::string::npos);
  EXPECT_NE(out.str().find("B<U+009B>2Jcell"), std::string::npos);

  EXPECT_EQ(terminal_safe("한국어 ✅\tline\n"), "한국어 ✅\tline\n");
  EXPECT_EQ(terminal_safe(std::string("a\0b\xff\xc3", 5)), "a^@b\\xFF\\xC3");
}

TEST(ConsoleHost, DownloadsAndImagesGetFilesOfTheirOwn) {
  testing::TempDir dir;
  std::ostringstream out, err;
  const std::string png = testing::make_png(20, 10);
  {
    ConsoleHost host(out, err, dir.path());
    host.offer_download(file("table.xlsx", "first"));
    host.offer_download(file("table.xlsx", "second"));
    host.offer_download(file("notes", "third"));
    host.offer_download(file(".hidden", "fourth"));
    host.display_image(png, "image/png");
    host.display_image(png, "image/png");
    EXPECT_EQ(host.downloads().size(), 4u);
    EXPECT_EQ(host.images().size(), 2u);
  }
  {
    // A later conversation in the same folder adds files beside the earlier ones.
    ConsoleHost host(out, err, dir.path());
    host.offer_download({"table.xlsx", "a/b", "fifth", "table"});
    host.display_image(png, "image/png");
  }
  EXPECT_EQ(testing::read_file(dir / "table.xlsx"), "first");
  EXPECT_EQ(testing::read_file(dir / "table-2.xlsx"), "second");
  EXPECT_EQ(testing::read_file(dir / "notes"), "third");
  EXPECT_EQ(testing::read_file(dir / "download.hidden"), "fourth");
  EXPECT_EQ(testing::read_file(dir / "table-3.xlsx"), "fifth");
  EXPECT_EQ(testing::read_file(dir / "figure-1.png"), png);
  EXPECT_EQ(testing::read_file(dir / "figure-2.png"), png);
  EXPECT_EQ(testing::read_file(dir / "figure-3.png"), png);
  // Each link of the transcript points to its own file; the images stay in the page too.
  const std::string t = testing::read_file(dir / "transcript.html");
  for (const char* name : {"table.xlsx", "table-2.xlsx", "table-3.xlsx", "notes"}) {
    EXPECT_NE(t.find(std::string("download=\"") + name + "\" href=\"" + name + "\""),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(t.find("data:application/octet-stream"), std::string::npos);
  // The link's text names the file it leads to, on the terminal too, before the path.
  EXPECT_NE(t.find(" Download table: table-3.xlsx</a>"), std::string::npos);
  EXPECT_NE(out.str().find("Download table: table-3.xlsx\n📎 saved " +
                           (dir / "table-3.xlsx").string() + "\n"),
            std::string::npos)
      << out.str();
  EXPECT_EQ(testing::count_occurrences(t, "data:image/png;base64,"), 3u);
  EXPECT_NE(out.str().find("🖼️ image 1 saved " + (dir / "figure-1.png").string() + "\n"),
            std::string::npos)
      << out.str();
  EXPECT_NE(out.str().find("📎 saved " + (dir / "table-2.xlsx").string() + "\n"), std::string::npos);
  EXPECT_EQ(out.str().find("\x1b"), std::string::npos);  // no hyperlinks unless asked for
}

// The transcript and terminal show a download exactly as they showed the data-URL link
// the document builders once put in HTML, pointed at the saved file.
TEST(ConsoleHost, ADownloadIsSavedAndLinkedAsBefore) {
  const std::string xlsx = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
  const std::string style =
      "display:inline-block;margin:4px 0;padding:4px 10px;border:1px solid "
      "#9bb3d4;border-radius:4px;background:#eef3fa;color:#1f3864;text-decoration:none";
  testing::TempDir dir;
  std::ostringstream out, err;
  {
    ConsoleHost host(out, err, dir.path());
    host.hold_transcript();
    host.offer_download({"table.xlsx", xlsx, "first", "table"});
    host.offer_download({"table.xlsx", xlsx, "second", "table"});
    host.display_table("<table><tr><td>CD3E</td></tr></table>");
    // HTML is shown as it is: a data link in it is not taken for a download.
    host.display_html("<a download=\"x.bin\" href=\"data:a/b;base64,eHg=\">x</a>");
    EXPECT_EQ(host.downloads().size(), 2u);
    ASSERT_TRUE(host.start_transcript());
  }
  EXPECT_EQ(testing::read_file(dir / "table.xlsx"), "first");
  EXPECT_EQ(testing::read_file(dir / "table-2.xlsx"), "second");
  EXPECT_FALSE(std::filesystem::exists(dir / "x.bin"));
  const std::string t = testing::read_file(dir / "transcript.html");
  const std::string expected =
      "<div class=\"html\"><a class=\"norvex-download\" download=\"table.xlsx\" "
      "href=\"table.xlsx\" style=\"" +
      style +
      "\">📊 Download table: table.xlsx</a></div>\n"
      "<div class=\"html\"><a class=\"norvex-download\" download=\"table-2.xlsx\" "
      "href=\"table-2.xlsx\" style=\"" +
      style +
      "\">📊 Download table: table-2.xlsx</a></div>\n"
      "<div class=\"html\"><table><tr><td>CD3E</td></tr></table></div>\n"
      "<div class=\"html\"><a download=\"x.bin\" href=\"data:a/b;base64,eHg=\">x</a></div>\n";
  ASSERT_GE(t.size(), expected.size());
  EXPECT_EQ(t.substr(t.size() - expected.size()), expected) << t;
  EXPECT_EQ(out.str(), "📊 Download table: table.xlsx\n📎 saved " + (dir / "table.xlsx").string() +
                           "\n📊 Download table: table-2.xlsx\n📎 saved " +
                           (dir / "table-2.xlsx").string() + "\nCD3E\nx\n");

  // Without a folder only the link's text is shown.
  std::ostringstream plain;
  ConsoleHost terminal(plain, err);
  terminal.offer_download(
      {"report.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
       "doc", "report"});
  EXPECT_EQ(plain.str(), "📄 Download report: report.docx\n");
  EXPECT_TRUE(terminal.downloads().empty());
  EXPECT_EQ(err.str(), "");
}

TEST(ConsoleHost, SavedPathsBecomeHyperlinksOnlyWhenAsked) {
  testing::TempDir dir;
  std::ostringstream out, err;
  const auto folder = dir / "a dir";
  {
    ConsoleHost host(out, err, folder);
    host.set_hyperlinks(true);
    host.display_image(testing::make_png(4, 4), "image/png");
    host.print("model text \x1b]8;;file:///etc/passwd\x1b\\x\x1b]8;;\x1b\\");
  }
  const std::string url = "file://" + folder.string();
  const std::string expected =
      "🖼️ image 1 saved \x1b]8;;" + std::string(url).replace(url.find(" dir"), 4, "%20dir") +
      "/figure-1.png\x1b\\" + (folder / "figure-1.png").string() + "\x1b]8;;\x1b\\\n";
  EXPECT_NE(out.str().find(expected), std::string::npos) << out.str();
  EXPECT_EQ(testing::count_occurrences(out.str(), "\x1b"), 4u);  // ours only
}

TEST(ConsoleHost, AnEarlierTranscriptIsKeptAndNothingIsTouchedBeforeTheStart) {
  testing::TempDir dir;
  const std::string earlier = "<!DOCTYPE html><p>the earlier conversation</p>\n";
  testing::write_file(dir / "transcript.html", earlier);
  std::ostringstream out, err;
  {
    // A session that never starts (its dataset did not open) leaves the file alone.
    ConsoleHost host(out, err, dir.path());
    host.hold_transcript();
    host.print_error("error: the dataset cannot be read");
  }
  EXPECT_EQ(testing::read_file(dir / "transcript.html"), earlier);
  {
    ConsoleHost host(out, err, dir.path());
    host.hold_transcript();
    host.print("set-up line");
    EXPECT_EQ(testing::read_file(dir / "transcript.html"), earlier);
    EXPECT_TRUE(host.start_transcript());
    host.begin_cell("the new question");
  }
  const std::string t = testing::read_file(dir / "transcript.html");
  EXPECT_EQ(t.rfind(earlier, 0), 0u);
  EXPECT_EQ(t.find("<!DOCTYPE", 1), std::string::npos);  // no second page header
  EXPECT_LT(t.find("<hr class=\"session\">"), t.find("set-up line"));
  EXPECT_LT(t.find("set-up line"), t.find("the new question"));
  EXPECT_EQ(err.str(), "error: the dataset cannot be read\n");
}

TEST(ConsoleHost, LinksPlantedInTheFolderAreNeverFollowed) {
  testing::TempDir dir;
  const auto victim = dir / "victim.txt";
  testing::write_file(victim, "precious");
  const auto out_dir = dir / "out";
  std::filesystem::create_directories(out_dir);
  std::filesystem::create_symlink(victim, out_dir / "report.docx");
  std::filesystem::create_symlink(dir / "absent", out_dir / "figure-1.png");
  std::ostringstream out, err;
  {
    ConsoleHost host(out, err, out_dir);
    host.offer_download(file("report.docx", "new report"));
    host.display_image("png bytes", "image/png");
  }
  EXPECT_EQ(testing::read_file(victim), "precious");
  EXPECT_FALSE(std::filesystem::exists(dir / "absent"));
  EXPECT_EQ(testing::read_file(out_dir / "report-2.docx"), "new report");
  EXPECT_EQ(testing::read_file(out_dir / "figure-2.png"), "png bytes");

  // A planted transcript link: refused, said so, and the target left alone.
  const auto out2 = dir / "out2";
  std::filesystem::create_directories(out2);
  std::filesystem::create_symlink(victim, out2 / "transcript.html");
  std::ostringstream out_b, err_b;
  {
    ConsoleHost host(out_b, err_b, out2);
    host.print("hello");
  }
  EXPECT_EQ(testing::read_file(victim), "precious");
  EXPECT_NE(err_b.str().find("transcript.html cannot be written: it is a symbolic link"),
            std::string::npos)
      << err_b.str();
  EXPECT_EQ(out_b.str(), "hello\n");
}

TEST(ConsoleHost, FailedWritesAreReported) {
  testing::TempDir dir;
  {
    // The transcript's name is taken by a folder: reported once, the terminal goes on.
    std::filesystem::create_directories(dir / "a" / "transcript.html");
    std::ostringstream out, err;
    ConsoleHost host(out, err, dir / "a");
    host.print("one");
    host.print("two");
    EXPECT_EQ(testing::count_occurrences(err.str(), "cannot be written"), 1u) << err.str();
    EXPECT_EQ(out.str(), "one\ntwo\n");
  }
  // A full disk, as a file size limit: the write of a large display fails part-way.
  std::ostringstream out, err;
  std::vector<std::filesystem::path> downloads;
  {
    ConsoleHost host(out, err, dir / "b");
    host.print("before the limit");
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    host.offer_download(file("big.bin", std::string(200 * 1024, 'x')));
    host.print("after the failure");
    setrlimit(RLIMIT_FSIZE, &old);
    sigaction(SIGXFSZ, &previous, nullptr);
    downloads = host.downloads();
  }
  EXPECT_TRUE(downloads.empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "b" / "big.bin"));  // no partial file left
  EXPECT_NE(err.str().find("big.bin cannot be written: File too large"), std::string::npos)
      << err.str();
  EXPECT_NE(err.str().find("transcript.html cannot be written: File too large"), std::string::npos)
      << err.str();
  EXPECT_NE(out.str().find("after the failure"), std::string::npos);
}

}  // namespace
}  // namespace norvex
