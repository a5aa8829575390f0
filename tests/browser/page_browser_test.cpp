// The page in Debian's headless Chromium, as a researcher uses it: two questions typed into
// the question box (the second waits for the first), their status lines, figure, table,
// code and download links; the first answer saved, listed and made into the Word report;
// an Excel file downloaded by clicking its link; a screenshot of
// the page, in English and in Korean. Skipped where Chromium is not installed.
#include <gtest/gtest.h>

#include "support/fixtures.hpp"
#include "support/serve_process.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;
namespace fs = std::filesystem;

const char* kChromium = "/usr/bin/chromium";

json route_to(const std::string& tool, bool save) {
  return router_record({{"plot", true},
                        {"table_summary", true},
                        {"explain_data", true},
                        {"args", true},
                        {"code", true},
                        {"save", save}},
                       {{"selected_tool", tool}}, 9);
}

// Where screenshots are kept for people to look at: $NORVEX_SCREENSHOTS, else the test's
// temporary folder.
fs::path screenshot_dir(const TempDir& dir) {
  if (const char* d = std::getenv("NORVEX_SCREENSHOTS"); d && *d) {
    fs::create_directories(d);
    return d;
  }
  return dir.path();
}

struct Turn {
  std::string question;
  std::string tool;
  std::string plan;
  std::string explanation;
};

json drive(const std::string& lang, const std::vector<Turn>& turns) {
  TempDir dir;
  CommandResult gen =
      run_command(shell_quote(norvex_binary().string()) + " demo-data --cells 600 " +
                  shell_quote((dir / "demo.h5ad").string()));
  EXPECT_EQ(gen.exit_code, 0) << gen.err;
  StubModelServer stub;
  for (const auto& t : turns) {
    stub.enqueue(StubProvider::OpenAI,
                 StubResponse::of_json(StubModelServer::openai_response(
                                           dump_json(route_to(t.tool, &t == &turns.front()))))
                     .with_delay(std::chrono::milliseconds(800)));
    stub.enqueue_openai_text(t.plan);
    stub.enqueue_openai_text(t.explanation);
  }
  ServeProcess serve(
      {"--data", (dir / "demo.h5ad").string(), "--base-url", stub.base_url(), "--api-key",
       "sk-browser-key", "--port", "0", "--out", (dir / "out").string()},
      dir.path());
  const std::string url = serve.wait_for_url();
  EXPECT_FALSE(url.empty()) << serve.err();
  if (url.empty()) return nullptr;
  const fs::path shot = screenshot_dir(dir) / ("serve-page-" + lang + ".png");
  std::string cmd = "/usr/bin/python3 " +
                    shell_quote((source_dir() / "tests" / "browser" / "drive_page.py").string()) +
                    " " + shell_quote(kChromium) + " " + shell_quote(url + "?lang=" + lang) + " " +
                    shell_quote(dir.path().string()) + " " + shell_quote(shot.string());
  for (const auto& t : turns) cmd += " " + shell_quote(t.question);
  CommandResult r = run_command(cmd, "", 400);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(serve.stop(), 0);
  EXPECT_TRUE(fs::exists(shot));
  if (r.exit_code != 0) return nullptr;
  json seen = json::parse(r.out);
  EXPECT_EQ(serve.out().find("sk-browser-key"), std::string::npos);
  return seen;
}

void expect_full_answers(const json& seen, size_t questions) {
  ASSERT_TRUE(seen.is_object());
  ASSERT_EQ(seen["questions"].size(), questions);
  // While the first question ran, the second said it was waiting.
  EXPECT_EQ(seen["statuses_while_running"].size(), questions);
  // Status lines, one figure per question (drawn), tables, code, Excel and Word links.
  std::string logs;
  for (const auto& l : seen["logs"]) logs += l.get<std::string>();
  EXPECT_NE(logs.find("✅ Analyzing query .. done ("), std::string::npos) << logs;
  EXPECT_NE(logs.find("🛠️ Generating plots .. done ("), std::string::npos) << logs;
  ASSERT_GE(seen["images"].size(), questions);
  for (const auto& w : seen["images"]) EXPECT_GT(w.get<int>(), 100);
  EXPECT_GE(seen["tables"].get<int>(), 1);
  EXPECT_GE(seen["codes"].get<size_t>(), questions);
  std::string links;
  for (const auto& l : seen["links"]) links += l.get<std::string>() + " ";
  EXPECT_NE(links.find(".xlsx"), std::string::npos) << links;
  EXPECT_NE(links.find(".docx"), std::string::npos) << links;
  EXPECT_EQ(seen["scripts"], 0);
  EXPECT_TRUE(seen["copy_button"].is_string());
  // The Excel file arrived in the download folder, whole.
  ASSERT_TRUE(seen["downloaded"].is_object()) << seen.dump();
  EXPECT_EQ(seen["downloaded"]["head"], "PK");
  EXPECT_GT(seen["downloaded"]["size"].get<int>(), 1000);
  EXPECT_NE(seen["context"].get<std::string>().find("AnnData"), std::string::npos);
  // The first answer was saved: it is listed, and the report of it is offered.
  EXPECT_NE(seen["saved_panel"].get<std::string>().find(seen["questions"][0].get<std::string>()),
            std::string::npos)
      << seen["saved_panel"];
  ASSERT_EQ(seen["report_links"].size(), 1u) << seen.dump();
  EXPECT_EQ(seen["report_links"][0], "norvex_report.docx");
}

class PageInBrowser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kChromium))
      GTEST_SKIP() << "Chromium is not installed at " << kChromium
                   << " (scripts/setup.sh installs it); the page was not tried in a browser";
  }
};

TEST_F(PageInBrowser, TwoQuestionsInEnglish) {
  const json seen = drive(
      "en", {{"Cell-type proportions per condition", "plot_celltype_population",
              R"({"compute_cfg": {"group_by": "condition"}})",
              "## What the proportions show\nT cells are **more frequent** in primary tumours."},
             {"UMAP coloured by cell type", "plot_umap",
              R"({"plot_cfg": {"color_by": "celltype_minor"}})",
              "## Clusters\nThe cell types form *separate* clusters."}});
  expect_full_answers(seen, 2);
  EXPECT_EQ(seen["lang"], "en");
  EXPECT_NE(seen["statuses_while_running"][1].get<std::string>().find("Waiting"), std::string::npos)
      << seen["statuses_while_running"];
}

TEST_F(PageInBrowser, TwoQuestionsInKorean) {
  const json seen = drive("ko", {{"조건별 세포 유형 비율을 보여줘", "plot_celltype_population",
                                  R"({"compute_cfg": {"group_by": "condition"}})",
                                  "## 세포 비율\n원발 종양에서 **T 세포**가 더 많습니다."},
                                 {"세포 유형별로 UMAP을 그려줘", "plot_umap",
                                  R"({"plot_cfg": {"color_by": "celltype_minor"}})",
                                  "## 군집\n세포 유형마다 *뚜렷한* 군집을 이룹니다."}});
  expect_full_answers(seen, 2);
  EXPECT_EQ(seen["lang"], "ko");
  EXPECT_EQ(seen["questions"][0], "조건별 세포 유형 비율을 보여줘");
  EXPECT_NE(seen["statuses_while_running"][1].get<std::string>().find("대기 중"), std::string::npos)
      << seen["statuses_while_running"];
}

}  // namespace
}  // namespace norvex
