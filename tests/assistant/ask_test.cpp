// The ask driver against the loopback model service: each routing record leads down its
// path with the console lines and notebook displays a user would see, in order.
#include <gtest/gtest.h>

#include <regex>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::StubModelServer;
using Kind = HostEvent::Kind;

// Timings vary; everything else in a console line is fixed.
std::string stable(std::string text) {
  return std::regex_replace(text, std::regex(R"(\(\d+\.\d\d)"), "(T");
}

std::vector<std::string> console_lines(const RecordingHost& host) {
  std::vector<std::string> lines;
  std::string all = stable(host.console());
  size_t start = 0;
  for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(all.substr(start, nl - start));
  if (start < all.size()) lines.push_back(all.substr(start));
  return lines;
}

std::vector<Kind> kinds(const RecordingHost& host) {
  std::vector<Kind> out;
  for (auto& e : host.events) out.push_back(e.kind);
  return out;
}

class AskTest : public ::testing::Test {
 protected:
  StubModelServer stub;
  RecordingHost host;
  ScopedHost scoped{host};
  std::shared_ptr<AnnData> data = testing::tiny_dataset();
  json tool_result;  // what the test tool returns

  std::unique_ptr<Assistant> make(bool rem_router = true) {
    AssistantOptions o;
    o.host = &host;
    o.api_key = "sk-test-key";
    o.adata = data;
    o.base_url = stub.base_url();
    o.rem_router = rem_router;
    // One tool under a registry name, returning whatever the test sets.
    ToolFunction f;
    f.fn = [this](AnnData&, const json&) { return tool_result; };
    f.param_names = {"n_top", "show"};
    f.param_defaults = {{"n_top", 5}};
    ToolFuncs funcs;
    funcs["plot_umap"] = f;
    ToolConfigMap cfg;
    cfg["plot_umap"] = ToolConfigEntry{};
    o.tool_funcs = funcs;
    o.tool_config_map = cfg;
    auto a = std::make_unique<Assistant>(o);
    host.clear();
    return a;
  }
  void route(const json& record, int total = 15) {
    stub.enqueue_openai_text(dump_json(record), 10, total - 10, total);
  }
};

TEST_F(AskTest, TreeShowsTheWholeDatasetAndEndsEvenWithSaveAndReport) {
  auto a = make();
  route(testing::router_record({{"tree", true}, {"save", true}, {"reportgen", true}}));
  json out = a->ask("데이터 구조 보여줘");
  EXPECT_TRUE(out.is_null());
  auto lines = console_lines(host);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "✅ Analyzing query .. done (T, 15)");
  EXPECT_EQ(lines[1], "AnnData object with n_obs × n_vars = 4 × 3");
  EXPECT_FALSE(host.events[0].end_line);  // the status line is completed by the next print
  EXPECT_EQ(host.of_kind(Kind::Html).size(), 0u);
  EXPECT_EQ(a->last_tx["flags"]["tree"], true);
  EXPECT_EQ(a->t_hist.len(), 0u);
  EXPECT_EQ(stub.request_count(), 1u);
  // The router call carries the router prompt and the dataset's context.
  std::string body = stub.requests()[0].body;
  EXPECT_NE(body.find("NORVEX Strategic Router"), std::string::npos);
  EXPECT_NE(body.find("데이터 구조 보여줘"), std::string::npos);
}

TEST_F(AskTest, TreeTargetsShowOnlyTheirUnsEntries) {
  Table t;
  t.add_column("names", json::array({"CD3E"}));
  UnsDict deg;
  deg.set("T cells", UnsNode::from_json(t.to_json()));
  data->uns.set("DEG", UnsNode(deg));
  data->uns.set("GSEA", UnsNode::from_json(json{{"T cells", {{"x", 1}}}}));
  auto a = make();
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"deg", {"DEG:"}}, {"gsea", {"GSEA:"}}, {"go", {}}, {"cci", {}}};
  for (const auto& [target, headings] : cases) {
    host.clear();
    route(testing::router_record({{"tree", true}}, {{"tree_target", target}}));
    EXPECT_TRUE(a->ask("show tree").is_null());
    auto lines = console_lines(host);
    std::vector<std::string> got;
    for (size_t i = 1; i < lines.size(); ++i)
      if (!lines[i].empty() && lines[i].back() == ':') got.push_back(lines[i]);
    EXPECT_EQ(got, headings) << target;
    if (!headings.empty()) {
      EXPECT_GT(lines.size(), 2u) << target;  // the entry's tree follows its heading
    } else {
      EXPECT_EQ(lines.size(), 1u) << target;
    }
  }
}

TEST_F(AskTest, InfoAnswerIsRenderedInTheQuestionsLanguage) {
  auto a = make();
  route(testing::router_record({{"info", true}},
                               {{"info_answer", "## Dataset Summary\n4 cells, **3 genes**"}}));
  EXPECT_TRUE(a->ask("이 데이터에 뭐가 있어?").is_null());
  auto html = host.of_kind(Kind::Html);
  ASSERT_EQ(html.size(), 1u);
  EXPECT_NE(html[0].text.find("데이터셋 정보"), std::string::npos);
  EXPECT_NE(html[0].text.find("<strong>3 genes</strong>"), std::string::npos);
  EXPECT_EQ(kinds(host), (std::vector<Kind>{Kind::Print, Kind::Print, Kind::Html}));
}

TEST_F(AskTest, InfoWithoutAnswerGoesOnToThePathChoice) {
  auto a = make();
  route(testing::router_record({{"info", true}}));
  EXPECT_TRUE(a->ask("what is in this dataset?").is_null());
  auto lines = console_lines(host);
  EXPECT_EQ(lines, (std::vector<std::string>{"✅ Analyzing query .. done (T, 15)",
                                             "⚠️ WARNING: No transaction history found."}));
}

TEST_F(AskTest, RecordWithoutRealTargetTakesTheFollowUpPath) {
  auto a = make();
  // Not recurrent, but nothing names a target: the fresh path is refused.
  route(testing::router_record({{"plot", true}}, {{"selected_tool", "none"}}));
  EXPECT_TRUE(a->ask("draw something").is_null());
  EXPECT_EQ(console_lines(host).back(), "⚠️ WARNING: No transaction history found.");
  // A target cell type alone is valid, yet without a tool the fresh path is still refused.
  host.clear();
  route(testing::router_record({{"plot", true}}, {{"target_celltype", "T cells"}}));
  EXPECT_TRUE(a->ask("T cells").is_null());
  EXPECT_EQ(console_lines(host).back(), "⚠️ WARNING: No transaction history found.");
}

TEST_F(AskTest, RecurrentWithEmptyHistoryWarnsAndEnds) {
  auto a = make();
  route(testing::router_record({{"recurrent_query", true}, {"plot", true}}));
  EXPECT_TRUE(a->ask("아까 그 그림 다시 보여줘").is_null());
  EXPECT_EQ(console_lines(host),
            (std::vector<std::string>{"✅ Analyzing query .. done (T, 15)",
                                      "⚠️ WARNING: No transaction history found."}));
  EXPECT_EQ(a->last_tx["flags"]["recurrent_query"], true);
}

TEST_F(AskTest, NoOutputFlagGoesStraightToTheClosingSteps) {
  auto a = make();
  a->t_hist.add(json{{"query", "earlier"}, {"plot_result", {{"img_base64", "x"}}}});
  route(testing::router_record({{"recurrent_query", true}, {"explain_general", true}}));
  json out = a->ask("and then?");
  EXPECT_EQ(out, (json{{"query", "and then?"}}));
  EXPECT_EQ(a->t_hist.len(), 1u);
  EXPECT_EQ(a->t_hist.buf[0]["query"], "earlier");
}

TEST_F(AskTest, ShowRouterDisplaysFlagsAndSevenFieldsAndReturnsTheRecord) {
  auto a = make(/*rem_router=*/false);
  a->t_hist.add(json{{"query", "earlier"}});
  json rec = testing::router_record({{"recurrent_query", true}},
                                    {{"query_item", "plot"}, {"target_celltype", "T cells"}});
  route(rec);
  json out = a->ask("again");
  ASSERT_TRUE(out.is_object());
  EXPECT_EQ(out["router_res"], rec);
  auto shown = host.of_kind(Kind::Json);
  ASSERT_EQ(shown.size(), 8u);
  EXPECT_EQ(json::parse(shown[0].text), rec["flags"]);
  const std::vector<std::string> expected = {
      "\"query_item: plot\"",          "\"target_analysis: none\"",
      "\"target_celltype: T cells\"",  "\"plot_type_to_draw: none\"",
      "\"reference_plot_type: none\"", "\"selected_tool: none\"",
      "\"tree_target: not_specified\""};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(shown[i + 1].text, expected[i]);
  // The displays come right after the status line, before anything else.
  EXPECT_EQ(host.events[2].kind, Kind::Json);
}

TEST_F(AskTest, UnusableRouterAnswerFailsTheRequestAndKeepsTheHistory) {
  auto a = make();
  a->t_hist.add(json{{"query", "kept"}});
  stub.enqueue_openai_text("I cannot answer that.");
  stub.enqueue_openai_text("{\"kind\": \"plan\"");
  stub.enqueue_openai_text("still no JSON");
  EXPECT_ANY_THROW(a->ask("hello"));
  EXPECT_TRUE(a->last_tx.is_null());
  ASSERT_EQ(a->t_hist.len(), 1u);
  EXPECT_EQ(a->t_hist.buf[0]["query"], "kept");
}

TEST_F(AskTest, NonTextQueryIsRefusedBeforeAnything) {
  auto a = make();
  EXPECT_THROW(a->ask(42), TypeError);
  EXPECT_THROW(a->ask(nullptr), TypeError);
  EXPECT_TRUE(host.events.empty());
  EXPECT_EQ(stub.request_count(), 0u);
}

TEST_F(AskTest, FreshRequestRendersByFlagExplainsAndEntersTheHistory) {
  Table t;
  t.add_column("names", json::array({"CD3E", "CD8A"}));
  t.add_column("pvals_adj", json::array({0.01, 0.02}));
  tool_result = {{"img_base64", testing::make_png_b64(40, 30)},
                 {"data", "gene"},
                 {"table_summaries", {{"T cells", t.to_json()}}},
                 {"not_kept", 1}};
  auto a = make();
  route(testing::router_record({{"plot", true},
                                {"table_summary", true},
                                {"args", true},
                                {"code", true},
                                {"explain_data", true}},
                               {{"selected_tool", "plot_umap"}, {"plot_type_to_draw", "umap"}}),
        100);
  stub.enqueue_openai_text("{}", 10, 10, 20);                             // planner
  stub.enqueue_openai_text("The **T cells** cluster apart.", 30, 3, 33);  // explanation
  json out = a->ask("Draw the UMAP of T cells and explain");

  ASSERT_TRUE(out.is_object());
  EXPECT_EQ(out["query"], "Draw the UMAP of T cells and explain");
  EXPECT_FALSE(out.contains("router_res"));
  EXPECT_EQ(out["plot_func"], "plot_umap");
  EXPECT_FALSE(out["plot_result"].contains("not_kept"));
  EXPECT_EQ(out["explanation"], "The **T cells** cluster apart.");
  EXPECT_EQ(out["total_usage"], 153);
  EXPECT_TRUE(out["report"].is_string());  // the Word document, as base64
  EXPECT_EQ(base64_decode(out["report"].get<std::string>()).substr(0, 2), "PK");

  auto lines = console_lines(host);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "✅ Analyzing query .. done (T, 100)");
  EXPECT_EQ(lines[1], "✅ Constructing parameters .. done (T, 20)");
  EXPECT_EQ(lines[2].rfind("🛠️ Generating plots .. done (T", 0), 0u);
  EXPECT_EQ(lines[3], "=== Selected genes for T cells ===");
  EXPECT_EQ(lines[4], "✅ Generating an explanation .. done (T, 33)");
  EXPECT_EQ(lines[5], " ");

  // Table, its Excel download, the plot, the arguments, the code, the explanation, its Word link.
  std::vector<Kind> shown;
  for (auto& e : host.events)
    if (e.kind != Kind::Print) shown.push_back(e.kind);
  EXPECT_EQ(shown, (std::vector<Kind>{Kind::Table, Kind::Download, Kind::Image, Kind::Html,
                                      Kind::NextInput, Kind::Html, Kind::Download}));
  auto html = host.of_kind(Kind::Html);
  auto files = host.of_kind(Kind::Download);
  EXPECT_NE(host.of_kind(Kind::Table)[0].text.find("CD8A"), std::string::npos);
  EXPECT_EQ(files[0].name, "table.xlsx");
  EXPECT_NE(html[0].text.find("plot_umap"), std::string::npos);
  EXPECT_NE(html[1].text.find("<strong>T cells</strong>"), std::string::npos);
  EXPECT_NE(files[1].name.find(".docx"), std::string::npos);
  EXPECT_EQ(host.of_kind(Kind::Image)[0].mime, "image/png");

  ASSERT_EQ(a->t_hist.len(), 1u);
  EXPECT_EQ(a->t_hist.buf[0]["explanation"], out["explanation"]);
  // The history keeps the routing record even though the returned copy leaves it out.
  EXPECT_TRUE(a->t_hist.buf[0].contains("router_res"));
  // Changing the returned copy does not change the history.
  out["query"] = "changed";
  EXPECT_EQ(a->t_hist.buf[0]["query"], "Draw the UMAP of T cells and explain");
}

TEST_F(AskTest, GeneralExplanationIsShownWithItsWordLinkButNotRecorded) {
  tool_result = {{"img_base64", testing::make_png_b64(10, 10)}};
  auto a = make();
  route(testing::router_record({{"explain_general", true}}, {{"selected_tool", "plot_umap"}}));
  stub.enqueue_openai_text("Apoptosis is programmed cell death.", 5, 5, 10);
  json out = a->ask("What is apoptosis?");
  EXPECT_EQ(out, (json{{"query", "What is apoptosis?"}}));
  EXPECT_EQ(a->t_hist.len(), 0u);
  auto html = host.of_kind(Kind::Html);
  ASSERT_EQ(html.size(), 1u);
  EXPECT_NE(html[0].text.find("programmed cell death"), std::string::npos);
  ASSERT_EQ(host.of_kind(Kind::Download).size(), 1u);
  EXPECT_EQ(host.of_kind(Kind::Download)[0].name, "What is apoptosis.docx");
  auto lines = console_lines(host);
  EXPECT_EQ(lines.back(), " ");
}

TEST_F(AskTest, GeneralExplanationWaitsWhenAPlotOrTableIsAskedFor) {
  tool_result = {{"table_summaries", json::object()}, {"data", "gene"}};
  auto a = make();
  for (const char* shown : {"table_summary", "plot"}) {
    route(testing::router_record({{"explain_general", true}, {shown, true}},
                                 {{"selected_tool", "plot_umap"}}));
    stub.enqueue_openai_text("{}");  // the planner; no explanation call follows
    const size_t before = stub.request_count();
    a->ask("what is this, and show it");
    EXPECT_EQ(stub.request_count(), before + 2) << shown;  // router and planner only
    EXPECT_EQ(host.console().find("Generating an explanation"), std::string::npos) << shown;
    host.clear();
  }
}

TEST_F(AskTest, FailingToolLeavesTheHistoryAsItIsAndEndsItsStatusLine) {
  tool_result = {{"img_base64", testing::make_png_b64(10, 10)}, {"data", "gene"}};
  auto a = make();
  route(testing::router_record({{"plot", true}}, {{"selected_tool", "plot_umap"}}));
  stub.enqueue_openai_text("{}");
  ASSERT_TRUE(a->ask("first plot").is_object());
  ASSERT_EQ(a->t_hist.len(), 1u);

  tool_result = nullptr;  // the tool now returns something that is not a result
  route(testing::router_record({{"plot", true}}, {{"selected_tool", "plot_umap"}}));
  stub.enqueue_openai_text("{}");
  host.clear();
  EXPECT_THROW(a->ask("second plot"), TypeError);
  EXPECT_EQ(a->t_hist.len(), 1u);
  EXPECT_EQ(a->t_hist.buf[0]["query"], "first plot");
  const std::string console = stable(host.console());
  // The error report that follows starts on a line of its own.
  const std::string open_line = "🛠️ Generating plots .. \n";
  ASSERT_GE(console.size(), open_line.size());
  EXPECT_EQ(console.substr(console.size() - open_line.size()), open_line) << console;
}

TEST_F(AskTest, MissingImageWarnsAndOffersTheCode) {
  tool_result = {{"data", "gene"}};
  auto a = make();
  route(testing::router_record({{"plot", true}}, {{"selected_tool", "plot_umap"}}));
  stub.enqueue_openai_text("{}");
  json out = a->ask("draw umap");
  auto lines = console_lines(host);
  EXPECT_EQ(lines.back(), "⚠️ WARNING: Image not available.");
  EXPECT_EQ(host.of_kind(Kind::NextInput).size(), 1u);
  EXPECT_EQ(a->t_hist.len(), 0u);  // neither an image nor an explanation
  EXPECT_TRUE(out.contains("plot_code"));
}

TEST_F(AskTest, FailingFollowUpFlowIsReportedAndLeavesTheHistory) {
  auto a = make();
  a->t_hist.add(json{{"query", "earlier"}, {"router_res", testing::router_record({})}});
  // The record names a plot type, so the selector model is asked (and fails).
  route(testing::router_record({{"recurrent_query", true}, {"plot", true}},
                               {{"reference_plot_type", "umap"}}));
  // Whatever the follow-up flow does with the selector's answer, a failure of it ends the
  // request with one message and no exception.
  stub.enqueue_openai_text("not json");
  stub.enqueue_openai_text("not json");
  stub.enqueue_openai_text("not json");
  json out;
  EXPECT_NO_THROW(out = a->ask("show the previous plot again"));
  EXPECT_TRUE(out.is_null());
  EXPECT_NE(host.console().find("❌ ERROR: Failed to produce valid response. Please try again."),
            std::string::npos);
  ASSERT_EQ(a->t_hist.len(), 1u);
  EXPECT_EQ(a->t_hist.buf[0]["query"], "earlier");
}

TEST_F(AskTest, SaveStoresTheNewTransactionAndReturnsWhatTheSaveAdded) {
  tool_result = {{"img_base64", testing::make_png_b64(12, 12)}, {"data", "gene"}};
  auto a = make();
  route(testing::router_record({{"plot", true}, {"save", true}}, {{"selected_tool", "plot_umap"}}));
  stub.enqueue_openai_text("{}");                            // planner
  stub.enqueue_openai_text("Saved explanation.", 5, 5, 10);  // explanation made by the save
  json out = a->ask("draw and save the umap");
  ASSERT_TRUE(out.is_object());
  ASSERT_EQ(a->t_hist.len(), 1u);
  EXPECT_TRUE(data->uns.contains("norvex_tx"));
  // The history entry and the returned mapping are one record in the notebook: the
  // explanation the save produced is in both.
  EXPECT_EQ(a->t_hist.buf[0]["explanation"], "Saved explanation.");
  EXPECT_EQ(out["explanation"], "Saved explanation.");
}

// The stop button: a stop noticed at a check point ends the request at once, with no error
// report and nothing added to the history; the next request runs normally.
TEST_F(AskTest, AStopBetweenModelCallsEndsTheRequestAndLeavesTheHistory) {
  tool_result = {{"img_base64", "iVBORw0KGgo="}, {"data", "gene"}};
  auto a = make();
  const json record = testing::router_record({{"plot", true}, {"explain_data", true}},
                                             {{"selected_tool", "plot_umap"}});
  route(record);
  stub.enqueue_openai_text("{}");
  stub.enqueue_openai_text("First explanation.");
  ASSERT_TRUE(a->ask("UMAP").is_object());
  ASSERT_EQ(a->t_hist.len(), 1u);

  for (int stop_at : {2, 3, 5}) {  // the planner's call, the tool, the explanation's call
    int checks = 0;
    auto previous = set_interrupt_check([&] {
      if (++checks == stop_at) throw Interrupted{};
    });
    stub.clear();
    route(record);
    stub.enqueue_openai_text("{}");
    stub.enqueue_openai_text("Second explanation.");
    const size_t events = host.events.size();
    EXPECT_THROW(a->ask("UMAP again"), Interrupted) << stop_at;
    set_interrupt_check(previous);
    EXPECT_EQ(a->t_hist.len(), 1u) << stop_at;
    EXPECT_EQ(a->t_hist.buf[0]["query"], "UMAP") << stop_at;
    for (size_t i = events; i < host.events.size(); ++i) {
      EXPECT_EQ(host.events[i].text.find("ERROR"), std::string::npos) << host.events[i].text;
    }
  }
}

}  // namespace
}  // namespace norvex
