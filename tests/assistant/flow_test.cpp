// The fresh-request flow, planning and explanations against the stub model server.
#include <gtest/gtest.h>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/host/recording_host.hpp"
#include "norvex/plotting/plot.hpp"
#include "support/stub_model_server.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::StubModelServer;

std::string tiny_png(double r) {
  plotting::StackedBarPlot p;
  p.bars = {"a"};
  p.segments = {"x"};
  p.shares = {{1.0}};
  p.size = {3.0 + r, 3.0, 72};
  return base64_encode(plotting::render_stacked_bars_png(p));
}

class FlowTest : public ::testing::Test {
 protected:
  StubModelServer stub;
  RecordingHost host;
  ScopedHost scoped{host};
  std::shared_ptr<AnnData> data = testing::tiny_dataset();
  json seen_kwargs;
  int calls = 0;

  std::unique_ptr<Assistant> make() {
    AssistantOptions o;
    o.host = &host;
    o.api_key = "sk-test";
    o.adata = data;
    o.base_url = stub.base_url();
    ToolFunction f;
    f.fn = [this](AnnData&, const json& kw) {
      ++calls;
      seen_kwargs = kw;
      return json{{"img_base64", tiny_png(0)}, {"table_summaries", json::object()}, {"fig", 1}};
    };
    f.param_names = {"compute_cfg", "plot_cfg", "show"};
    ToolFuncs funcs;
    funcs["plot_celltype_population"] = f;
    o.tool_funcs = funcs;
    auto a = std::make_unique<Assistant>(o);
    host.clear();
    return a;
  }
  static json route(bool pathway = false) {
    return {{"flags", {{"plot", true}, {"table_summary", false}, {"specific_pathway", pathway}}},
            {"selected_tool", "plot_celltype_population"},
            {"pathway_phrase", "tgf beta"}};
  }
};

TEST_F(FlowTest, PlansMaterialisesRunsAndBuildsCode) {
  auto a = make();
  stub.enqueue_openai_text(R"({"compute_cfg": {"group_by": "sample"}})", 10, 20, 30);
  json res = {{"query", "Show proportions per sample"}};
  FlowResult out = a->processing_initial_request(route(), res, 5);
  EXPECT_EQ(out.total_usage, 35);
  EXPECT_EQ(res["plot_func"], "plot_celltype_population");
  EXPECT_EQ(res["plot_params"]["compute_cfg"]["group_by"], "sample");
  EXPECT_EQ(res["plot_params"]["compute_cfg"]["celltype_col"], "celltype_major");
  EXPECT_FALSE(res["plot_result"].contains("fig"));
  EXPECT_TRUE(res["plot_result"].contains("img_base64"));
  // The tool got records, show=false, and nothing it does not declare.
  EXPECT_EQ(record_class_name(seen_kwargs["compute_cfg"]), "PopulationComputeConfig");
  EXPECT_EQ(seen_kwargs["show"], false);
  const std::string code = res["plot_code"];
  EXPECT_NE(code.find("PopulationComputeConfig("), std::string::npos);
  EXPECT_NE(code.find("show=True"), std::string::npos);

  auto reqs = stub.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_NE(reqs[0].body.find("NORVEX Strategic Action Planner"), std::string::npos);
  EXPECT_NE(reqs[0].body.find("Tool: plot_celltype_population"), std::string::npos);
  EXPECT_NE(reqs[0].body.find("[DATA CONTEXT]"), std::string::npos);
  const std::string console = host.console();
  EXPECT_NE(console.find("✅ Constructing parameters .. done ("), std::string::npos);
  EXPECT_NE(console.find(", 30)"), std::string::npos);
  EXPECT_NE(console.find("🛠️ Generating plots .. done ("), std::string::npos);
}

TEST_F(FlowTest, PathwayGenesOverrideThePlannerAndBothUsagesCount) {
  data->uns.set("Pathways_DB",
                UnsNode::from_json({{"TGF-beta signaling", {"TGFB1\n", "SMAD3", "ACVR1"}},
                                    {"Apoptosis", {"CASP3"}}}));
  auto a = make();
  stub.enqueue_openai_text(
      R"({"kind":"pathway_resolver","query_raw":"q","selected_pathway":"TGF-beta signaling","confidence":0.9,"needs_clarification":false,"clarifying_question":""})",
      5, 5, 10);
  stub.enqueue_openai_text(R"({"compute_cfg": {}})", 10, 10, 20);
  json res = {{"query", "TGF beta genes"}};
  FlowResult out = a->processing_initial_request(route(true), res, 0);
  EXPECT_EQ(out.total_usage, 30);
  EXPECT_EQ(res["plot_params"]["target_genes"], json({"ACVR1", "SMAD3", "TGFB1"}));
  EXPECT_FALSE(seen_kwargs.contains("target_genes"));  // the tool does not declare it
  auto reqs = stub.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[0].body.find("Apoptosis"), std::string::npos);  // candidates listed
  EXPECT_NE(reqs[1].body.find("[RESOLVED_PATHWAY_CONTEXT]"), std::string::npos);
  EXPECT_NE(reqs[1].body.find("['ACVR1', 'SMAD3', 'TGFB1']"), std::string::npos);
  EXPECT_NE(host.console().find("🛠️ Selected PW: TGF-beta signaling"), std::string::npos);
}

TEST_F(FlowTest, NoPlotOrTableReturnsUntouchedAndFailedPlanningNamesTheTool) {
  auto a = make();
  json spec = route();
  spec["flags"]["plot"] = false;
  json res = {{"query", "q"}};
  a->processing_initial_request(spec, res, 0);
  EXPECT_EQ(res, json({{"query", "q"}}));
  EXPECT_EQ(stub.request_count(), 0u);

  for (int i = 0; i < 4; ++i) stub.enqueue_openai_text("no json here");
  try {
    a->processing_initial_request(route(), res, 0);
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("'plot_celltype_population'"), std::string::npos);
  }
  EXPECT_EQ(calls, 0);
  EXPECT_NE(host.console().find("❌ generate_parameters failed for tool=plot_celltype_population"),
            std::string::npos);

  spec = route();
  spec["selected_tool"] = "plot_nothing";
  const size_t before = stub.request_count();
  EXPECT_THROW(a->processing_initial_request(spec, res, 0), KeyError);
  EXPECT_EQ(stub.request_count(), before);
}

TEST_F(FlowTest, ExplanationSendsImagesInKeyOrderAndBuildsTheDocument) {
  auto a = make();
  const std::string first = tiny_png(0.5), second = tiny_png(1.0);
  stub.enqueue_openai_text("## Overview\nText", 100, 20, 120);
  json plot_result = {{"img_base64", {{"b", first}, {"a", second}, {"n", 3}}}};
  ExplanationResult r =
      a->generate_and_display_explanation("Why?", "plot_umap", {{"x", 1}}, plot_result, 7, true);
  EXPECT_EQ(r.explanation, "## Overview\nText");
  EXPECT_EQ(r.total_usage, 127);
  ASSERT_TRUE(r.report.has_value());
  const std::string body = stub.requests().at(0).body;
  const size_t p1 = body.find(first.substr(100, 60)), p2 = body.find(second.substr(100, 60));
  ASSERT_NE(p1, std::string::npos);
  ASSERT_NE(p2, std::string::npos);
  EXPECT_LT(p1, p2);
  EXPECT_NE(body.find("Tool Used: plot_umap"), std::string::npos);
  EXPECT_FALSE(host.of_kind(HostEvent::Kind::Html).empty());

  host.clear();
  ExplanationResult none = a->generate_and_display_explanation("q", "t", {}, "text", 4, true);
  EXPECT_TRUE(none.explanation.is_null());
  EXPECT_EQ(none.total_usage, 4);
  EXPECT_EQ(host.console(), "❌ ERROR: Contents not available.\n");
}

}  // namespace
}  // namespace norvex
