// Follow-up questions through the real driver against the loopback model service: reusing
// an earlier plot, table, code and arguments, explaining it, rerunning it with changed
// genes, parameters or a pathway, and the failures that must leave everything as it was.
#include <gtest/gtest.h>

#include <regex>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/table.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::router_record;
using testing::StubModelServer;
using Kind = HostEvent::Kind;

const char* kTool = "plot_degs_gene_ranking";

std::vector<std::string> lines_of(const RecordingHost& host) {
  std::string all = std::regex_replace(host.console(), std::regex(R"(\(\d+\.\d\d)"), "(T");
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(all.substr(start, nl - start));
  if (start < all.size()) lines.push_back(all.substr(start));
  return lines;
}

// The text of a recorded OpenAI request, and the JSON object that follows "[USER]".
std::string request_text(const testing::RecordedRequest& r) {
  return r.json_body["input"][0]["content"][0]["text"].get<std::string>();
}
json user_payload(const testing::RecordedRequest& r) {
  const std::string text = request_text(r);
  size_t at = text.find("[USER]\n");
  EXPECT_NE(at, std::string::npos);
  size_t begin = text.find('{', at);
  int depth = 0;
  bool in_string = false;
  for (size_t i = begin; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      return json::parse(text.substr(begin, i - begin + 1));
    }
  }
  ADD_FAILURE() << "no JSON payload in: " << text;
  return nullptr;
}

json user_request(const json& over = json::object()) {
  json r = {{"rerun_with_changes", false},  {"render_plot", false}, {"render_table", false},
            {"render_code", false},         {"render_args", false}, {"explain", false},
            {"explain_more_detail", false}, {"save", false}};
  for (auto it = over.begin(); it != over.end(); ++it) r[it.key()] = it.value();
  return r;
}

json selection(const json& id, const json& request, bool need_new_compute = false,
               const std::string& warning = "") {
  return json{{"user_request", request},
              {"selected_tx_id", id},
              {"confidence", 0.9},
              {"need_new_compute", need_new_compute},
              {"user_warning", warning}};
}

json patch(const json& add, const json& remove, const json& replace_all = nullptr,
           const json& set = json::object(), const json& pathway = nullptr,
           bool replace_existing = false, bool needs_rerun = true) {
  return json{{"needs_rerun", needs_rerun},
              {"gene_patch", {{"add", add}, {"remove", remove}, {"replace_all", replace_all}}},
              {"pathway_request",
               {{"requested", !pathway.is_null()},
                {"pathway_phrase", pathway},
                {"replace_existing_target_genes", replace_existing}}},
              {"param_patch", {{"set", set}, {"unset", json::array()}}},
              {"notes", ""}};
}

class FollowUpTest : public ::testing::Test {
 protected:
  StubModelServer stub;
  RecordingHost host;
  ScopedHost scoped{host};
  std::shared_ptr<AnnData> data = testing::tiny_dataset();
  std::vector<json> tool_calls;  // the arguments of every tool run
  bool tool_fails = false;

  std::unique_ptr<Assistant> make() {
    AssistantOptions o;
    o.host = &host;
    o.api_key = "sk-test-key";
    o.adata = data;
    o.base_url = stub.base_url();
    o.wire = WireChoice::Responses;  // the request shape these cases read
    ToolFunction f;
    f.fn = [this](AnnData&, const json& kwargs) {
      tool_calls.push_back(kwargs);
      if (tool_fails) throw ValueError("None of the requested genes are in the dataset");
      Table t;
      json genes = kwargs.value("target_genes", json::array());
      t.add_column("names", genes.is_array() && !genes.empty() ? genes : json::array({"-"}));
      return json{
          {"img_base64", testing::make_png_b64(10 + static_cast<int>(tool_calls.size()), 10)},
          {"data", "gene"},
          {"table_summaries", {{"T cells", t.to_json()}}}};
    };
    f.param_names = {"target_genes", "n_top", "show"};
    f.param_defaults = {{"target_genes", nullptr}, {"n_top", 5}};
    ToolFuncs funcs;
    funcs[kTool] = f;
    ToolConfigMap cfg;
    cfg[kTool] = ToolConfigEntry{};
    o.tool_funcs = funcs;
    o.tool_config_map = cfg;
    auto a = std::make_unique<Assistant>(o);
    host.clear();
    return a;
  }
  void reply(const json& value, int total = 15) {
    stub.enqueue_openai_text(dump_json(value), total - 5, 5, total);
  }
  // A routed follow-up on the T-cell gene ranking.
  json follow_up(const json& flags, const json& fields = json::object()) {
    json f = {{"recurrent_query", true}};
    for (auto it = flags.begin(); it != flags.end(); ++it) f[it.key()] = it.value();
    json d = {{"reference_plot_type", "degs_gene_ranking"}, {"target_celltype", "T cells"}};
    for (auto it = fields.begin(); it != fields.end(); ++it) d[it.key()] = it.value();
    return router_record(f, d);
  }
  // Turn one: the gene ranking of three genes in T cells.
  void first_turn(Assistant& a, const std::string& question = "T cells: rank CD3E, CD8A, GZMB") {
    reply(router_record({{"plot", true}}, {{"selected_tool", kTool},
                                           {"target_analysis", "deg"},
                                           {"target_celltype", "T cells"},
                                           {"plot_type_to_draw", "degs_gene_ranking"}}));
    reply(json{{"target_genes", {"CD3E", "CD8A", "GZMB"}}});
    ASSERT_TRUE(a.ask(question).is_object()) << host.console();
  }
};

TEST_F(FollowUpTest, ReuseExplainAndRerunOverOneConversation) {
  auto a = make();
  first_turn(*a);
  ASSERT_EQ(a->t_hist.len(), 1u);
  const json first = a->t_hist.buf[0];

  // "Show the same plot again" with its table, code and arguments: nothing is recomputed.
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true},
                                     {"render_table", true},
                                     {"render_code", true},
                                     {"render_args", true}})),
        40);
  json out = a->ask("show the same plot again with its table and code");
  ASSERT_TRUE(out.is_object()) << host.console();
  EXPECT_EQ(tool_calls.size(), 1u);
  auto lines = lines_of(host);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "✅ Looking up previous requests .. done (T, 40)");
  ASSERT_EQ(host.of_kind(Kind::Image).size(), 1u);
  EXPECT_EQ(host.of_kind(Kind::NextInput).size(), 1u);  // the code, ready to run
  std::string html;
  for (auto& e : host.events)
    if (e.kind == Kind::Html || e.kind == Kind::Table) html += e.text;
  EXPECT_NE(html.find("GZMB"), std::string::npos);  // the table and the arguments
  EXPECT_NE(html.find(kTool), std::string::npos);
  ASSERT_EQ(a->t_hist.len(), 1u);
  EXPECT_EQ(a->t_hist.buf[0]["plot_result"], first["plot_result"]);
  EXPECT_EQ(out["query"], first["query"]);  // the reused transaction, not a new question

  // An explanation on request, then a more detailed one: each replaces the stored one.
  for (const char* level : {"explain", "explain_more_detail"}) {
    host.clear();
    reply(follow_up({{"explain_data", true}}));
    reply(selection("0", user_request({{level, true}})));
    stub.enqueue_openai_text(std::string("Explanation: ") + level, 20, 5, 25);
    out = a->ask("explain the previous table");
    ASSERT_TRUE(out.is_object()) << host.console();
    EXPECT_EQ(a->t_hist.buf[0]["explanation"], std::string("Explanation: ") + level);
  }
  EXPECT_EQ(tool_calls.size(), 1u);
  // The transaction was stored back with the follow-up's routing record, which names no plot
  // type or tool; the selector still sees what it shows, so the plot-type gate can match it.
  {
    auto reqs = stub.requests();
    json candidate = user_payload(reqs[reqs.size() - 2])["candidates"][0];
    EXPECT_EQ(candidate["plot_type_to_draw"], "degs_gene_ranking");
    EXPECT_EQ(candidate["selected_tool"], kTool);
  }

  // "Add CD274 and PDCD1, drop CD8A, top 7": a rerun with the patched genes and parameter.
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true}, {"rerun_with_changes", true}}), true));
  reply(patch({"CD274", "PDCD1", "CD3E"}, {"CD8A"}, nullptr, {{"n_top", 7}}));
  reply(json::object());  // the planner leaves the genes to the overrides
  out = a->ask("add CD274 and PDCD1 to that plot, drop CD8A, top 7");
  ASSERT_TRUE(out.is_object()) << host.console();
  ASSERT_EQ(tool_calls.size(), 2u);
  EXPECT_EQ(tool_calls[1]["target_genes"], json({"CD3E", "GZMB", "CD274", "PDCD1"}));
  EXPECT_EQ(tool_calls[1]["n_top"], 7);
  EXPECT_EQ(tool_calls[1]["show"], false);
  lines = lines_of(host);
  std::vector<std::string> status;
  for (auto& l : lines)
    if (l.rfind("✅ Looking", 0) == 0 || l.rfind("🔁", 0) == 0 || l.rfind("🛠️", 0) == 0)
      status.push_back(l);
  EXPECT_EQ(status, (std::vector<std::string>{"✅ Looking up previous requests .. done (T, 15)",
                                              std::string("🔁 RERUN: ") + kTool,
                                              "🛠️ Generating plots .. done (T)"}));
  ASSERT_EQ(a->t_hist.len(), 1u);  // the rerun replaced the transaction it changed
  const json& rerun = a->t_hist.buf[0];
  // The stored question says what was computed: the earlier question and the change.
  EXPECT_EQ(rerun["query"], first["query"].get<std::string>() +
                                " → add CD274 and PDCD1 to that plot, drop CD8A, top 7");
  EXPECT_EQ(rerun["plot_params"]["target_genes"], json({"CD3E", "GZMB", "CD274", "PDCD1"}));
  EXPECT_NE(rerun["plot_result"], first["plot_result"]);
  EXPECT_NE(rerun["plot_code"].get<std::string>().find("PDCD1"), std::string::npos);
  EXPECT_EQ(host.of_kind(Kind::Image).size(), 1u);  // the new plot is shown

  // What the patch model received: the base routing record, the base arguments and the
  // new question, with no artefacts.
  auto reqs = stub.requests();
  json patch_in = user_payload(reqs[reqs.size() - 2]);
  EXPECT_EQ(patch_in["selected_tool"], kTool);
  EXPECT_EQ(patch_in["new_user_query"], "add CD274 and PDCD1 to that plot, drop CD8A, top 7");
  EXPECT_EQ(patch_in["base_plot_params"]["target_genes"], json({"CD3E", "CD8A", "GZMB"}));
  EXPECT_EQ(request_text(reqs[reqs.size() - 2]).find("iVBOR"), std::string::npos);
  // The planner got both requests side by side.
  EXPECT_NE(request_text(reqs.back())
                .find("BASE_REQUEST (baseline context, keep unless explicitly changed):\n"),
            std::string::npos);
}

TEST_F(FollowUpTest, PathwayRerunUsesTheDatabaseGenes) {
  UnsDict db;
  db.set("KEGG_TGF_BETA_SIGNALING", UnsNode::from_json(json{"TGFB1\n", "SMAD3", "ACVR1"}));
  db.set("KEGG_APOPTOSIS", UnsNode::from_json(json{"CASP3", "BAX"}));
  data->uns.set("Pathways_DB", UnsNode(db));
  auto a = make();
  first_turn(*a);
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true}, {"rerun_with_changes", true}}), true));
  // Nothing added or removed by hand: the pathway's genes replace the earlier ones.
  reply(patch(json::array(), json::array(), nullptr, json::object(), "TGF-beta signalling"));
  reply(json{{"kind", "pathway_resolver"},
             {"query_raw", "TGF-beta signalling"},
             {"selected_pathway", "KEGG_TGF_BETA_SIGNALING"},
             {"confidence", 0.9},
             {"needs_clarification", false},
             {"clarifying_question", ""}});
  reply(json::object());
  ASSERT_TRUE(a->ask("use the TGF-beta signalling genes instead").is_object()) << host.console();
  ASSERT_EQ(tool_calls.size(), 2u);
  // replace_existing_target_genes is false, so the base genes stay in front.
  EXPECT_EQ(tool_calls[1]["target_genes"],
            json({"CD3E", "CD8A", "GZMB", "ACVR1", "SMAD3", "TGFB1"}));
  auto lines = lines_of(host);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "🛠️ Selected PW: KEGG_TGF_BETA_SIGNALING"),
            lines.end());
  auto reqs = stub.requests();
  EXPECT_NE(request_text(reqs.back()).find("[RESOLVED_PATHWAY_CONTEXT]"), std::string::npos);
}

TEST_F(FollowUpTest, FailuresLeaveHistoryAndDatasetAsTheyWere) {
  auto a = make();
  first_turn(*a);
  const std::vector<json> before = a->t_hist.buf;
  const size_t uns_keys = data->uns.size();
  auto unchanged = [&](const char* what) {
    EXPECT_EQ(a->t_hist.buf, before) << what;
    EXPECT_EQ(data->uns.size(), uns_keys) << what;
    EXPECT_FALSE(data->uns.contains("norvex_tx")) << what;
  };

  // The selector finds nothing: its warning is shown prominently.
  host.clear();
  reply(follow_up({{"plot", true}}, {{"reference_plot_type", "box"}}));
  reply(selection(nullptr, user_request({{"render_plot", true}}), true,
                  "이전 결과 중 요청하신 box plot에 해당하는 항목을 찾지 못했습니다."));
  EXPECT_TRUE(a->ask("그 box plot 다시 보여줘").is_null());
  ASSERT_EQ(host.of_kind(Kind::Html).size(), 1u);
  EXPECT_NE(host.of_kind(Kind::Html)[0].text.find("box plot에 해당하는 항목을"), std::string::npos);
  unchanged("null id");

  // An id that is not a position of the history is treated the same way.
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("7", user_request({{"render_plot", true}}), false, "Which plot do you mean?"));
  EXPECT_TRUE(a->ask("show that plot again").is_null());
  EXPECT_NE(host.of_kind(Kind::Html).at(0).text.find("Which plot do you mean?"), std::string::npos);
  unchanged("unknown id");

  // Another cell type than the earlier transaction's.
  host.clear();
  reply(follow_up({{"plot", true}}, {{"target_celltype", "B cells"}}));
  reply(selection("0", user_request({{"render_plot", true}})));
  EXPECT_TRUE(a->ask("the same for B cells").is_null());
  EXPECT_EQ(lines_of(host).back(),
            "⚠️ WARNING: No previous tx exists for the celltypes, B cells");
  unchanged("cell type");

  // A rerun whose tool fails.
  host.clear();
  tool_fails = true;
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true}, {"rerun_with_changes", true}}), true));
  reply(patch({"NOPE1"}, json::array()));
  reply(json::object());
  EXPECT_TRUE(a->ask("add NOPE1").is_null());
  EXPECT_EQ(tool_calls.size(), 2u);
  // The cause comes first, then the usual line.
  EXPECT_NE(host.console().find("🛠️ Generating plots .. \n❌ ERROR: ValueError: None of the "
                                "requested genes are in the dataset\n❌ ERROR: Failed to produce "
                                "valid response. Please try again."),
            std::string::npos)
      << host.console();
  unchanged("failing tool");
  tool_fails = false;

  // A patch that never validates (the first answer and the one repair round).
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true}, {"rerun_with_changes", true}}), true));
  reply(json{{"needs_rerun", true}});
  reply(json{{"needs_rerun", "yes"}});
  EXPECT_TRUE(a->ask("add CD274").is_null());
  EXPECT_EQ(lines_of(host).back(), "❌ ERROR: Failed to produce valid response. Please try again.");
  EXPECT_EQ(tool_calls.size(), 2u);
  unchanged("invalid patch");
  EXPECT_EQ(stub.pending(testing::StubProvider::OpenAI), 0u);

  // The next question works.
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true}})));
  EXPECT_TRUE(a->ask("show it again").is_object()) << host.console();
  EXPECT_EQ(host.of_kind(Kind::Image).size(), 1u);
}

TEST_F(FollowUpTest, PatchThatNeedsNoRerunReusesTheStoredResult) {
  auto a = make();
  first_turn(*a);
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true}, {"rerun_with_changes", true}}), true));
  reply(patch(json::array(), json::array(), nullptr, json::object(), nullptr, false, false));
  ASSERT_TRUE(a->ask("the same again please").is_object());
  EXPECT_EQ(tool_calls.size(), 1u);
  EXPECT_EQ(host.of_kind(Kind::Image).size(), 1u);
  EXPECT_EQ(lines_of(host).size(), 2u);  // routing and look-up; no rerun lines
}

TEST_F(FollowUpTest, WhatTheSelectorReceives) {
  auto a = make();
  // Twelve answered requests; Korean text in the routing record.
  for (int i = 0; i < 12; ++i) first_turn(*a, "question " + std::to_string(i));
  ASSERT_EQ(a->t_hist.len(), 12u);
  host.clear();
  reply(follow_up({{"plot", true}}, {{"target_celltype", "T 세포"}}));
  reply(selection("11", user_request()));  // valid, but never shown as a candidate
  a->ask("그 그림 다시");
  auto reqs = stub.requests();
  const auto& sel = reqs.back();
  json payload = user_payload(sel);
  ASSERT_EQ(payload["candidates"].size(), 10u);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(payload["candidates"][i]["tx_id"], i);
    EXPECT_EQ(payload["candidates"][i]["has_plot"], true);
  }
  EXPECT_EQ(payload["current_router"]["target_celltype"], "T 세포");
  const std::string text = request_text(sel);
  EXPECT_NE(text.find("\"T 세포\""), std::string::npos);  // not escaped
  EXPECT_EQ(text.find("iVBOR"), std::string::npos);       // no image
  EXPECT_EQ(text.find("__table__"), std::string::npos);   // no table
  EXPECT_NE(text.find("You are a NORVEX transaction selector."), std::string::npos);
  EXPECT_EQ(text.find("{schema_text}"), std::string::npos);
}

TEST_F(FollowUpTest, UnusableRoutingRecordMeansTheLatestWithoutAModelCall) {
  auto a = make();
  first_turn(*a);
  json res = {{"query", "again"},
              {"router_res", router_record({{"plot", true}, {"code", true}, {"save", true}})}};
  const size_t calls = stub.request_count();
  RecurrentResult r = a->processing_recurrent_request(json::object(), res);
  EXPECT_EQ(stub.request_count(), calls);
  EXPECT_EQ(r.selected_tx_id, 0);
  EXPECT_EQ(r.user_request.dump(),
            R"({"rerun_with_changes":false,"render_plot":true,"render_table":false,)"
            R"("render_code":true,"render_args":false,"explain":false,)"
            R"("explain_more_detail":false,"save":true})");
}

TEST_F(FollowUpTest, SavingThatOneSavesWhatTheSelectorPicks) {
  auto a = make();
  first_turn(*a, "first question");
  first_turn(*a, "second question");
  json res = {{"query", "save that one"}, {"router_res", follow_up({{"save", true}})}};

  // Selection-only: one selector call; the older transaction is explained, then saved.
  host.clear();
  reply(selection("1", user_request({{"save", true}})));
  stub.enqueue_openai_text("Older result explained.");
  a->save_transaction(json::object(), res);
  const UnsDict& store = data->uns.at("norvex_tx").dict();
  ASSERT_EQ(store.keys(), std::vector<std::string>{"first question"});
  EXPECT_EQ(store.at("first question").to_json()["explanation"], "Older result explained.");
  EXPECT_EQ(a->t_hist.buf[1]["explanation"], "Older result explained.");
  // The explanation's Word document is kept too, as in a transaction the driver explained.
  const json report = store.at("first question").to_json()["report"];
  ASSERT_TRUE(report.is_string());
  EXPECT_EQ(base64_decode(report.get<std::string>()).substr(0, 2), "PK");
  EXPECT_TRUE(host.of_kind(Kind::Html).empty());  // the explanation is not shown
  EXPECT_EQ(lines_of(host).back(), "   1: plot_degs_gene_ranking, first question .. ");

  // Saving the same one again replaces the entry; the selector answering null saves nothing.
  reply(selection("1", user_request({{"save", true}})));
  a->save_transaction(json::object(), res);
  EXPECT_EQ(data->uns.at("norvex_tx").dict().size(), 1u);
  host.clear();
  reply(selection(nullptr, user_request(), false, "Which result should be saved?"));
  a->save_transaction(json::object(), res);
  EXPECT_NE(host.of_kind(Kind::Html).at(0).text.find("Which result should be saved?"),
            std::string::npos);
  EXPECT_EQ(lines_of(host).back(), "❌ ERROR: Failed to produce valid response while saving.");
  EXPECT_EQ(data->uns.at("norvex_tx").dict().size(), 1u);
}

TEST_F(FollowUpTest, HistoryKeepsTheFortyNewest) {
  auto a = make();
  for (int i = 0; i < 45; ++i) first_turn(*a, "q" + std::to_string(i));
  ASSERT_EQ(a->t_hist.len(), 40u);
  EXPECT_EQ(a->t_hist.buf.front()["query"], "q44");
  EXPECT_EQ(a->t_hist.buf.back()["query"], "q5");
}

TEST_F(FollowUpTest, RecordWithoutOptionalFlagsShowsTheNewestPlot) {
  auto a = make();
  first_turn(*a);
  // "Show it again", routed without the optional save/tree/args/code flags and naming
  // nothing to match on: the newest transaction is shown as the record's flags ask.
  json record = router_record({{"plot", true}, {"recurrent_query", true}});
  for (const char* optional : {"save", "tree", "args", "code"}) record["flags"].erase(optional);
  host.clear();
  reply(record);
  const json out = a->ask("show it again");
  ASSERT_TRUE(out.is_object()) << host.console();
  EXPECT_EQ(host.console().find("Failed to produce valid response"), std::string::npos);
  EXPECT_EQ(host.of_kind(Kind::Image).size(), 1u);
  EXPECT_TRUE(host.of_kind(Kind::NextInput).empty());  // code was not asked for
  EXPECT_EQ(a->t_hist.len(), 1u);
}

TEST_F(FollowUpTest, ToolWarningsFollowTheClosedStatusLine) {
  auto a = make();
  first_turn(*a);
  ToolFunction warn;
  warn.fn = [this](AnnData&, const json& kwargs) {
    tool_calls.push_back(kwargs);
    return json{{"img_base64", testing::make_png_b64(30, 10)},
                {"warnings", {"Gene(s) not in raw, left out: NOPE"}}};
  };
  warn.param_names = {"target_genes", "n_top", "show"};
  a->configured("tool_funcs").tools.funcs[kTool] = warn;
  host.clear();
  reply(follow_up({{"plot", true}}));
  reply(selection("0", user_request({{"render_plot", true}, {"rerun_with_changes", true}}), true));
  reply(patch({"NOPE"}, json::array()));
  reply(json::object());
  ASSERT_TRUE(a->ask("add NOPE").is_object()) << host.console();
  const auto lines = lines_of(host);
  auto at = std::find(lines.begin(), lines.end(), "🛠️ Generating plots .. done (T)");
  ASSERT_NE(at, lines.end()) << host.console();
  ASSERT_NE(at + 1, lines.end());
  EXPECT_EQ(*(at + 1), "⚠️ WARNING: Gene(s) not in raw, left out: NOPE");
  // The warning is shown, not stored.
  EXPECT_FALSE(a->t_hist.buf[0]["plot_result"].contains("warnings"));
}

TEST_F(FollowUpTest, RerunForAnotherCellTypeIsShownAndUnmatchedSelectionsSaySo) {
  auto a = make();
  first_turn(*a);
  // "Redo that ranking for B cells": the rerun computes it, so it is shown and stored.
  host.clear();
  reply(follow_up({{"plot", true}}, {{"target_celltype", "B cells"}}));
  reply(selection("0", user_request({{"render_plot", true}, {"rerun_with_changes", true}}), true));
  reply(patch(json::array(), json::array(), nullptr, {{"n_top", 3}}));
  reply(json::object());
  const json out = a->ask("redo that ranking for B cells");
  ASSERT_TRUE(out.is_object()) << host.console();
  EXPECT_EQ(host.console().find("No previous tx exists"), std::string::npos) << host.console();
  EXPECT_EQ(host.of_kind(Kind::Image).size(), 1u);
  ASSERT_EQ(a->t_hist.len(), 1u);
  EXPECT_EQ(a->t_hist.buf[0]["plot_params"]["n_top"], 3);

  // The selector names a position the history does not have.
  for (const json& id : {json("5"), json("latest")}) {
    host.clear();
    reply(follow_up({{"plot", true}}));
    reply(selection(id, user_request({{"render_plot", true}})));
    EXPECT_TRUE(a->ask("show the violin again").is_null());
    const std::string said = host.console();
    EXPECT_NE(
        said.find("⚠️ WARNING: No earlier result matched this request (the selection was '" +
                  id.get<std::string>() + "'). The history holds: 0 " + kTool +
                  " (T cells: rank CD3E, CD8A, GZMB → redo that ranking for B ce…)."),
        std::string::npos)
        << said;
    EXPECT_TRUE(host.of_kind(Kind::Html).empty());  // no empty warning box
    EXPECT_EQ(a->t_hist.len(), 1u);
  }
}

TEST_F(FollowUpTest, SaveNamingAnEarlierResultSavesThatOne) {
  auto a = make();
  first_turn(*a, "first question");
  first_turn(*a, "second question");
  // "Save the first ranking": the selector picks the older one, which is saved.
  host.clear();
  reply(follow_up({{"save", true}}));
  reply(selection("1", user_request({{"save", true}})));
  stub.enqueue_openai_text("Older result explained.");
  a->ask("save the first ranking");
  const UnsDict& store = data->uns.at("norvex_tx").dict();
  EXPECT_EQ(store.keys(), std::vector<std::string>{"first question"}) << host.console();

  // "Save it", naming nothing: the newest, without asking the selector.
  const size_t before = stub.request_count();
  reply(router_record({{"save", true}, {"recurrent_query", true}}));
  stub.enqueue_openai_text("Newest explained.");
  a->ask("save it");
  EXPECT_EQ(stub.request_count(), before + 2);  // router and explanation only
  EXPECT_EQ(data->uns.at("norvex_tx").dict().keys(),
            (std::vector<std::string>{"first question", "second question"}));
}

}  // namespace
}  // namespace norvex
