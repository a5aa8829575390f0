// The page in Debian's headless Chromium, as a researcher uses it: two questions typed into
// the question box (the second waits for the first), their status lines, figure, table,
// code and download links; the first answer saved by asking, the second with its Save
// button, both listed and made into the Word report; Excel, PNG and SVG files downloaded
// by clicking their links; a table sorted; a question asked from the top of a long page,
// one cancelled, and one cut off by the server stopping; screenshots at 1280, 768 and
// 390 px, light and dark, in English and in Korean. Skipped where Chromium is not installed.
#include <gtest/gtest.h>

#include <algorithm>

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

struct Extra {
  std::string tree_question;
  std::string cancel_question;
  std::string hang_question;
};

json drive(const std::string& lang, const std::vector<Turn>& turns, const Extra& extra) {
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
  stub.enqueue_openai_text(dump_json(router_record({{"tree", true}})));
  // Cancelled while the router thinks: the flow stops before planning.
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_json(
                   StubModelServer::openai_response(dump_json(route_to("plot_umap", false))))
                   .with_delay(std::chrono::milliseconds(2500)));
  // Still thinking when the server is stopped.
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_json(
                   StubModelServer::openai_response(dump_json(router_record({{"tree", true}}))))
                   .with_delay(std::chrono::milliseconds(8000)));
  ServeProcess serve(
      {"--data", (dir / "demo.h5ad").string(), "--base-url", stub.base_url(), "--api-key",
       "sk-browser-key", "--port", "0", "--out", (dir / "out").string()},
      dir.path());
  const std::string url = serve.wait_for_url();
  EXPECT_FALSE(url.empty()) << serve.err();
  if (url.empty()) return nullptr;
  const fs::path shot = screenshot_dir(dir) / ("serve-page-" + lang + ".png");
  json spec = {{"questions", json::array()},
               {"tree_question", extra.tree_question},
               {"cancel_question", extra.cancel_question},
               {"hang_question", extra.hang_question},
               {"serve_pid", serve.pid()}};
  for (const auto& t : turns) spec["questions"].push_back(t.question);
  const std::string cmd =
      "/usr/bin/python3 " +
      shell_quote((source_dir() / "tests" / "browser" / "drive_page.py").string()) + " " +
      shell_quote(kChromium) + " " + shell_quote(url + "?lang=" + lang) + " " +
      shell_quote(dir.path().string()) + " " + shell_quote(shot.string()) + " " +
      shell_quote(spec.dump());
  CommandResult r = run_command(cmd, "", 400);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  // The driver stopped the server twice in the middle of the last question: at once.
  EXPECT_EQ(serve.stop(), 130) << serve.out() << serve.err();
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
  EXPECT_EQ(seen["downloaded"]["head"].get<std::string>().substr(0, 2), "PK");
  EXPECT_GT(seen["downloaded"]["size"].get<int>(), 1000);
  EXPECT_NE(seen["context"].get<std::string>().find("AnnData"), std::string::npos);
  // The first answer was saved: it is listed, and the report of it is offered.
  EXPECT_NE(seen["saved_panel"].get<std::string>().find(seen["questions"][0].get<std::string>()),
            std::string::npos)
      << seen["saved_panel"];
  ASSERT_EQ(seen["report_links"].size(), 1u) << seen.dump();
  EXPECT_EQ(seen["report_links"][0], "norvex_report.docx");

  // A link carrying ?ask= only filled the box.
  EXPECT_EQ(seen["prefilled"], ":write victim.txt");
  EXPECT_EQ(seen["cells_after_link"], 0);
  // Tables: no 0, 1, 2 index; numbers right-aligned; a column sorts both ways.
  EXPECT_EQ(seen["index_headers"], 0);
  EXPECT_GT(seen["numbers"].get<int>(), 0);
  EXPECT_EQ(seen["numbers_right"], true);
  ASSERT_TRUE(seen["sorted"].is_object()) << seen.dump();
  std::vector<double> up = seen["sorted"]["up"], down = seen["sorted"]["down"];
  EXPECT_TRUE(std::is_sorted(up.begin(), up.end())) << seen["sorted"];
  EXPECT_TRUE(std::is_sorted(down.rbegin(), down.rend())) << seen["sorted"];
  EXPECT_EQ(seen["sorted"]["aria"], "descending");
  // The second answer saved with its button is listed with the first.
  EXPECT_NE(seen["saved_panel"].get<std::string>().find(seen["questions"][1].get<std::string>()),
            std::string::npos)
      << seen["saved_panel"];
  // Figure downloads: the PNG as shown, the SVG from the drawing, named after the figure.
  ASSERT_TRUE(seen["png"].is_object()) << seen.dump();
  EXPECT_NE(seen["png"]["head"].get<std::string>().find("PNG"), std::string::npos);
  EXPECT_EQ(seen["figure_links"], json::array({"umap_by_celltype.png", "umap_by_celltype.svg"}));
  ASSERT_TRUE(seen["svg"].is_object()) << seen.dump();
  EXPECT_EQ(seen["svg"]["name"], "umap_by_celltype.svg");
  EXPECT_EQ(seen["svg"]["head"], "<svg ");
  // Every control has a name; text meets AA contrast, light and dark.
  EXPECT_EQ(seen["unnamed"], json::array()) << seen["unnamed"];
  EXPECT_EQ(seen["contrast"], json::array()) << seen["contrast"];
  EXPECT_EQ(seen["contrast_dark"], json::array()) << seen["contrast_dark"];
  // Nothing wider than the screen at any width, with tables shown.
  for (const char* w : {"1280", "768", "390", "dark"})
    EXPECT_LE(seen["overflow"][w].get<int>(), 0) << w;
  // Asked from the top of a long page, the new cell's top is in sight above the box.
  const json& scroll = seen["scroll"];
  EXPECT_GT(scroll["scrollY"].get<double>(), 1000) << scroll;
  EXPECT_GE(scroll["top"].get<double>(), 0) << scroll;
  EXPECT_LT(scroll["top"].get<double>(), scroll["ask"].get<double>()) << scroll;
  EXPECT_TRUE(seen["cancelled"].is_string());
  // The server stopped: the cell and the input say so, and the question stays in the box.
  EXPECT_TRUE(seen["lost"].is_string());
  EXPECT_NE(seen["offline"].get<std::string>().find("norvex serve"), std::string::npos)
      << seen["offline"];
  EXPECT_EQ(seen["kept_in_box"], "is anyone there?");
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
  const json seen =
      drive("en",
            {{"Cell-type proportions per condition", "plot_celltype_population",
              R"({"compute_cfg": {"group_by": "condition"}})",
              "## What the proportions show\nT cells are **more frequent** in primary tumours."},
             {"UMAP coloured by cell type", "plot_umap",
              R"({"plot_cfg": {"color_by": "celltype_minor"}})",
              "## Clusters\nThe cell types form *separate* clusters."}},
            {"show the data structure", "UMAP again, please", "what does the tree say?"});
  expect_full_answers(seen, 2);
  EXPECT_EQ(seen["lang"], "en");
  EXPECT_NE(seen["statuses_while_running"][1].get<std::string>().find("Waiting"), std::string::npos)
      << seen["statuses_while_running"];
  EXPECT_EQ(seen["cancelled"], "Cancelled");
  EXPECT_EQ(seen["saved_button"], "Saved");
  // The first question asked to be saved: its button says so from the start.
  EXPECT_EQ(seen["first_save_button"], "Saved");
}

TEST_F(PageInBrowser, TwoQuestionsInKorean) {
  const json seen = drive("ko",
                          {{"조건별 세포 유형 비율을 보여줘", "plot_celltype_population",
                            R"({"compute_cfg": {"group_by": "condition"}})",
                            "## 세포 비율\n원발 종양에서 **T 세포**가 더 많습니다."},
                           {"세포 유형별로 UMAP을 그려줘", "plot_umap",
                            R"({"plot_cfg": {"color_by": "celltype_minor"}})",
                            "## 군집\n세포 유형마다 *뚜렷한* 군집을 이룹니다."}},
                          {"데이터 구조를 보여줘", "UMAP을 다시 그려줘", "트리는 어떤가요?"});
  expect_full_answers(seen, 2);
  EXPECT_EQ(seen["lang"], "ko");
  EXPECT_EQ(seen["questions"][0], "조건별 세포 유형 비율을 보여줘");
  EXPECT_NE(seen["statuses_while_running"][1].get<std::string>().find("대기 중"), std::string::npos)
      << seen["statuses_while_running"];
  EXPECT_EQ(seen["cancelled"], "취소됨");
  EXPECT_EQ(seen["saved_button"], "저장됨");
}

}  // namespace
}  // namespace norvex
