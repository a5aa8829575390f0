// The rerun-with-changes flow on its own: how a patch from the model becomes the tool's new
// arguments, and the patch model's input.
#include <gtest/gtest.h>

#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/rerun.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::StubModelServer;

json patch(const json& add, const json& remove, const json& replace_all = nullptr,
           const json& set = json::object(), const json& pathway = nullptr,
           bool replace_existing = false) {
  return json{{"needs_rerun", true},
              {"gene_patch", {{"add", add}, {"remove", remove}, {"replace_all", replace_all}}},
              {"pathway_request",
               {{"requested", !pathway.is_null()},
                {"pathway_phrase", pathway},
                {"replace_existing_target_genes", replace_existing}}},
              {"param_patch", {{"set", set}, {"unset", json::array({"n_top"})}}},
              {"notes", "n"}};
}

class RerunTest : public ::testing::Test {
 protected:
  StubModelServer stub;
  RecordingHost host;
  ScopedHost scoped{host};
  std::shared_ptr<AnnData> data = testing::tiny_dataset();
  std::string context = "ctx";
  ModelGateway model{
      "gpt-5", std::make_shared<OpenAIClient>("sk-test", stub.base_url(), WireChoice::Responses)};
  ToolMaps tools;
  transaction_history history{40};

  Session session() {
    ToolFunction f;
    f.fn = [](AnnData&, const json&) { return json::object(); };
    f.param_names = {"target_genes", "n_top", "show"};
    tools.funcs["plot_degs_gene_ranking"] = f;
    tools.config_map["plot_degs_gene_ranking"] = ToolConfigEntry{};
    tools.defaults = json{{"plot_degs_gene_ranking", {{"target_genes", nullptr}, {"n_top", 5}}}};
    return Session{model, *data, context, tools, history, host, 0, true};
  }
  json base(const json& genes,
            const json& router = json{{"selected_tool", "plot_degs_gene_ranking"}}) {
    return json{{"query", "rank"},
                {"router_res", router},
                {"plot_func", "plot_degs_gene_ranking"},
                {"plot_params", {{"target_genes", genes}, {"n_top", 5}}}};
  }
  // The genes the tool would get for a patch (the planner answers nothing of its own).
  json genes_after(const json& patch_res, const json& base_tx) {
    stub.enqueue_openai_text(dump_json(patch_res));
    stub.enqueue_openai_text("{}");
    Session s = session();
    json r = flows::rerun_with_changes_flow(s, base_tx, "change it");
    EXPECT_EQ(r["needs_rerun"], true);
    return r["final_args"]["target_genes"];
  }
};

TEST_F(RerunTest, GenePatchesOverTheBaseGenes) {
  const json abc = base({"A", "B", "C"});
  EXPECT_EQ(genes_after(patch({"B", "D"}, {"A"}), abc), json({"B", "C", "D"}));
  // Everything removed, nothing added: no override, the planner's (default) choice stands.
  EXPECT_TRUE(genes_after(patch(json::array(), {"A", "B", "C"}), abc).is_null());
  EXPECT_EQ(genes_after(patch({"X"}, json::array(), json::array()), abc), json::array());
  EXPECT_EQ(genes_after(patch(json::array(), json::array(), nullptr,
                              {{"target_genes", {"Z"}}, {"n_top", 9}}),
                        abc),
            json({"Z"}));
  // An empty patch keeps the base genes for a rerun that changes only a parameter.
  EXPECT_EQ(genes_after(patch(json::array(), json::array(), nullptr, {{"n_top", 9}}), abc),
            abc["plot_params"]["target_genes"]);
}

TEST_F(RerunTest, PathwayGenesMeetTheGenePatch) {
  UnsDict db;
  db.set("PW", UnsNode::from_json(json{"E", "B"}));
  data->uns.set("Pathways_DB", UnsNode(db));
  const json resolver = {{"kind", "pathway_resolver"},   {"query_raw", "pw"},
                         {"selected_pathway", "PW"},     {"confidence", 1},
                         {"needs_clarification", false}, {"clarifying_question", ""}};
  const json ab = base({"A", "B"});
  auto run = [&](const json& p) {
    stub.enqueue_openai_text(dump_json(p));
    stub.enqueue_openai_text(dump_json(resolver));
    stub.enqueue_openai_text("{}");
    Session s = session();
    return flows::rerun_with_changes_flow(s, ab, "use the PW genes")["final_args"]["target_genes"];
  };
  EXPECT_EQ(run(patch(json::array(), json::array(), nullptr, json::object(), "pw")),
            json({"A", "B", "E"}));
  EXPECT_EQ(run(patch(json::array(), json::array(), nullptr, json::object(), "pw", true)),
            json({"B", "E"}));
  // Hand-given additions join the pathway's genes; removals apply to them too; a full
  // replacement wins over the pathway.
  EXPECT_EQ(run(patch({"F"}, json::array(), nullptr, json::object(), "pw")),
            json({"A", "B", "E", "F"}));
  EXPECT_EQ(run(patch({"F"}, json::array(), nullptr, json::object(), "pw", true)),
            json({"B", "E", "F"}));
  EXPECT_EQ(run(patch(json::array(), {"E"}, nullptr, json::object(), "pw")), json({"A", "B"}));
  EXPECT_EQ(run(patch(json::array(), json::array(), json({"Z"}), json::object(), "pw")),
            json({"Z"}));
}

TEST_F(RerunTest, NoRerunAndTheToolName) {
  json no = patch(json::array(), json::array());
  no["needs_rerun"] = false;
  stub.enqueue_openai_text(dump_json(no));
  Session s = session();
  json r = flows::rerun_with_changes_flow(s, base({"A"}), "again");
  EXPECT_FALSE(r.contains("exec_args"));
  EXPECT_EQ(r["final_args"], base({"A"})["plot_params"]);
  EXPECT_EQ(stub.request_count(), 1u);

  // A transaction last shown by a follow-up has that follow-up's routing record, naming no
  // tool: the tool that ran is rerun.
  stub.enqueue_openai_text(dump_json(patch({"B"}, json::array())));
  stub.enqueue_openai_text("{}");
  r = flows::rerun_with_changes_flow(s, base({"A"}, {{"selected_tool", "none"}}), "add B");
  EXPECT_EQ(r["selected_tool"], "plot_degs_gene_ranking");
  EXPECT_EQ(r["exec_args"]["target_genes"], json({"A", "B"}));
  json sent = stub.requests()[1].json_body;
  EXPECT_NE(dump_json(sent).find("\\\"selected_tool\\\": \\\"plot_degs_gene_ranking\\\""),
            std::string::npos);

  EXPECT_THROW(flows::rerun_with_changes_flow(s, base({"A"}), 3), TypeError);
}

TEST(PatchPayload, FallbacksOrderAndTypes) {
  std::string text = build_patch_payload(nullptr, "", "유전자 추가", nullptr, nullptr);
  EXPECT_EQ(text,
            "{\n  \"base_router\": {},\n  \"base_user_query\": \"\",\n  \"new_user_query\": "
            "\"유전자 추가\",\n  \"selected_tool\": \"none\",\n  \"base_plot_params\": {}\n}");
  EXPECT_THROW(build_patch_payload(json::array(), "", "", ""), TypeError);
  EXPECT_THROW(build_patch_payload(nullptr, 1, "", ""), TypeError);
  EXPECT_THROW(build_patch_payload(nullptr, "", "", json::object()), TypeError);

  json reuse = default_user_request_for_reuse(json{{"plot_result", json::object()}});
  EXPECT_EQ(
      reuse.dump(),
      R"({"render_plot":true,"render_table":false,"render_code":false,"render_args":true,)"
      R"("explain":false,"explain_more_detail":false,"save":false,"rerun_with_changes":false})");
}

TEST_F(RerunTest, PlannerStartsFromTheEarlierQuestionAndArguments) {
  json earlier = base({"A"});
  earlier["query"] = "rank A in T cells";
  earlier["plot_params"]["n_top"] = 11;
  // The patch only adds a gene; the planner answers nothing of its own.
  json add_b = patch({"B"}, json::array());
  add_b["param_patch"]["unset"] = json::array();
  stub.enqueue_openai_text(dump_json(add_b));
  stub.enqueue_openai_text("{}");
  Session s = session();
  const json r = flows::rerun_with_changes_flow(s, earlier, "add B");
  // What the earlier request ran with stays; only the change changes.
  EXPECT_EQ(r["final_args"]["n_top"], 11);
  EXPECT_EQ(r["final_args"]["target_genes"], json({"A", "B"}));
  const auto reqs = stub.requests();
  ASSERT_EQ(reqs.size(), 2u);
  const std::string patch_text = reqs[0].json_body["input"][0]["content"][0]["text"];
  EXPECT_NE(patch_text.find("\"base_user_query\": \"rank A in T cells\""), std::string::npos)
      << patch_text;
  const std::string planner_text = reqs[1].json_body["input"][0]["content"][0]["text"];
  EXPECT_NE(planner_text.find("BASE_REQUEST (baseline context, keep unless explicitly "
                              "changed):\nrank A in T cells\n"),
            std::string::npos)
      << planner_text;
  EXPECT_NE(planner_text.find("\"n_top\":11"), std::string::npos) << planner_text;
}

TEST_F(RerunTest, UnsetFieldsReturnToTheirDefaults) {
  json earlier = base({"A"});
  earlier["plot_params"]["n_top"] = 11;
  json p = patch(json::array(), json::array());
  p["param_patch"]["unset"] = {"n_top"};
  stub.enqueue_openai_text(dump_json(p));
  stub.enqueue_openai_text("{}");
  Session s = session();
  EXPECT_EQ(flows::rerun_with_changes_flow(s, earlier, "default top")["final_args"]["n_top"], 5);
}

}  // namespace
}  // namespace norvex
