// The flows run on a Session assembled by hand from its parts, without the assistant
// object; and the routing record read into a typed decision.
#include <gtest/gtest.h>

#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/data_context.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using testing::router_record;
using testing::StubModelServer;

class SessionTest : public ::testing::Test {
 protected:
  StubModelServer stub;
  RecordingHost host;
  ScopedHost scoped{host};
  std::shared_ptr<AnnData> data = testing::tiny_dataset();
  std::string context = get_data_context(*data);
  ModelGateway model{"gpt-5", std::make_shared<OpenAIClient>("sk-test", stub.base_url())};
  ToolMaps tools;
  transaction_history history{40};
  json last_tx;
  int tool_calls = 0;

  Session session(bool rem_router = true) {
    ToolFunction f;
    f.fn = [this](AnnData&, const json&) {
      ++tool_calls;
      return json{{"img_base64", testing::make_png_b64(8, 8)}, {"data", "cell type"}};
    };
    f.param_names = {"show"};
    tools.funcs["plot_umap"] = f;
    tools.defaults = json{{"plot_umap", json::object()}};
    return Session{model, *data, context, tools, history, host, 0, rem_router};
  }
};

TEST_F(SessionTest, AskRunsTheFreshPathWithTheOptionalFlagsLeftOut) {
  Session s = session();
  // A schema-valid answer may omit save, tree, args, code and tree_target.
  json record = router_record(
      {{"plot", true}},
      {{"selected_tool", "plot_umap"}, {"target_analysis", "umap"}, {"plot_type_to_draw", "umap"}});
  for (const char* optional : {"save", "tree", "args", "code"}) record["flags"].erase(optional);
  record.erase("tree_target");
  stub.enqueue_openai_text(dump_json(record), 10, 5, 15);
  stub.enqueue_openai_text("{}", 3, 2, 5);  // the planner: defaults are fine

  json res = flows::ask(s, last_tx, "show the umap");
  ASSERT_TRUE(res.is_object()) << host.console();
  EXPECT_EQ(tool_calls, 1);
  EXPECT_EQ(res["plot_func"], "plot_umap");
  EXPECT_FALSE(res.contains("router_res"));  // the quiet switch is on
  EXPECT_EQ(last_tx, record);
  EXPECT_EQ(history.len(), 1u);  // it holds an image
  EXPECT_EQ(stub.request_count(), 2u);
}

TEST_F(SessionTest, AskShowsTheWholeTreeWhenNoTargetIsNamed) {
  Session s = session();
  json record = router_record({{"tree", true}});
  record.erase("tree_target");
  stub.enqueue_openai_text(dump_json(record));
  EXPECT_TRUE(flows::ask(s, last_tx, "structure?").is_null());
  EXPECT_NE(host.console().find("AnnData object with n_obs × n_vars"), std::string::npos);
  EXPECT_EQ(history.len(), 0u);
}

TEST_F(SessionTest, ShownRoutingRecordNamesAMissingTreeTargetByItsDefault) {
  Session s = session(/*rem_router=*/false);
  json record = router_record({});
  record.erase("tree_target");
  record["flags"].erase("save");
  stub.enqueue_openai_text(dump_json(record));
  history.add(json{{"query", "earlier"}});
  json res = flows::ask(s, last_tx, "hello");
  ASSERT_TRUE(res.is_object());
  EXPECT_EQ(res["router_res"], record);  // shown, so returned with the record
  bool shown = false;
  for (const auto& e : host.events)
    if (e.kind == HostEvent::Kind::Json && e.text == "\"tree_target: not_specified\"") shown = true;
  EXPECT_TRUE(shown);
}

TEST_F(SessionTest, AToolThatCannotRunFailsBeforeAnyPlannerCall) {
  tools.funcs = builtin_tool_funcs();
  tools.config_map = builtin_tool_config_map();
  tools.defaults = build_tool_defaults_v3(tools.funcs, tools.config_map);
  // A tool whose precondition fails (as an unbuilt tool's does) must stop before planning.
  const std::string pending = "plot_sankey";
  tools.funcs.at(pending).ensure_runnable = [] {
    throw RuntimeError("Tool 'plot_sankey' is not available yet in this version of norvex.");
  };
  Session s{model, *data, context, tools, history, host, 0, true};
  stub.enqueue_openai_text(
      dump_json(router_record({{"plot", true}}, {{"selected_tool", pending}})));
  try {
    flows::ask(s, last_tx, "Marker genes of T cells");
    ADD_FAILURE() << "a tool that is not built yet ran";
  } catch (const RuntimeError& e) {
    EXPECT_NE(std::string(e.what()).find("not available yet"), std::string::npos);
  }
  EXPECT_EQ(stub.request_count(), 1u);  // the router only
  EXPECT_EQ(history.len(), 0u);
}

TEST(RouterDecision, RequiredFieldsAreNamedOptionalOnesDefault) {
  json record = router_record({{"plot", true}, {"save", true}}, {{"tree_target", "deg"}});
  RouterDecision d = RouterDecision::from_record(record);
  EXPECT_TRUE(d.flags.plot);
  EXPECT_TRUE(d.flags.save);
  EXPECT_FALSE(d.flags.tree);
  EXPECT_EQ(d.tree_target, "deg");
  EXPECT_FALSE(d.info_answer.has_value() && d.info_answer->is_null());

  record["flags"].erase("code");
  record.erase("tree_target");
  d = RouterDecision::from_record(record);
  EXPECT_FALSE(d.flags.code);
  EXPECT_EQ(d.tree_target, "not_specified");

  record["flags"].erase("recurrent_query");
  try {
    RouterDecision::from_record(record);
    ADD_FAILURE() << "a missing required flag";
  } catch (const KeyError& e) {
    EXPECT_NE(std::string(e.what()).find("recurrent_query"), std::string::npos);
  }
  EXPECT_THROW(RouterDecision::from_record(json{{"flags", json::array()}}), TypeError);
  EXPECT_THROW(RouterDecision::from_record(json::array()), TypeError);
}

TEST(RouterDecision, FollowUpRequestReadsTheNormalisedFlags) {
  FollowUpRequest f = FollowUpRequest::from_record(
      normalize_user_request(json{{"render_plot", 1}, {"explain_more_detail", "yes"}}));
  EXPECT_TRUE(f.render_plot);
  EXPECT_TRUE(f.explain_more_detail);
  EXPECT_FALSE(f.render_table || f.save || f.rerun_with_changes);
  EXPECT_THROW(FollowUpRequest::from_record(json{{"render_plot", true}}), KeyError);
}

}  // namespace
}  // namespace norvex
