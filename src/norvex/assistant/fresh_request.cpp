// processing_initial_request: plan, materialise and run the routed tool for a new request.
#include "norvex/analysis_tools/repro_code.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/assistant/tool_run.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/history/pick_keys.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::flows {

namespace {

// The planner's arguments for the tool, driven by a named pathway's genes when the
// question names one.
LLMResult plan_arguments(Session& s, const RouterDecision& decision, const std::string& tool,
                         const std::string& user_query, long long& total_usage) {
  std::optional<LLMResult> planned;
  PathwaySelection sel;
  if (decision.flags.specific_pathway) {
    const json phrase = decision.record.value("pathway_phrase", json());
    sel = gene_selection_from_pathway_db(s, user_query, phrase, total_usage);
    total_usage = sel.total_usage;
  }
  if (sel.genes.empty()) {
    planned = generate_parameters(s, tool, user_query);
  } else {
    ParameterOptions opts;
    opts.extra_overrides = json{{"target_genes", sel.genes}};
    opts.extra_context =
        detail::fill_template(prompts::extra_context_for_target_genes(),
                              {{"pathway_phrase", decision.pathway_phrase.value_or("")},
                               {"selected_pathway", sel.pathway},
                               {"selected_genes", detail::py_list_literal(sel.genes)}});
    planned = generate_parameters(s, tool, user_query, opts);
  }
  if (!planned)
    throw RuntimeError("Could not plan the arguments of tool '" + tool +
                       "': the planner gave no usable answer, so the tool was not run.");
  total_usage += usage_total(planned->usage);
  return *planned;
}

}  // namespace

void run_fresh_request(Session& s, const RouterDecision& decision, json& res_to_user,
                       long long& total_usage) {
  if (!decision.flags.plot && !decision.flags.table_summary) return;
  const json& query = py_getitem(res_to_user, "query");
  const std::string user_query = query.is_string() ? query.get<std::string>() : py_str(query);

  const json& tool_value = py_getitem(decision.record, "selected_tool");
  if (!tool_value.is_string())
    throw TypeError("selected_tool must be str, not " + std::string(py_type_name(tool_value)));
  const std::string tool = decision.selected_tool;
  res_to_user["plot_func"] = tool;
  if (!func_args_schema_registry().count(tool)) throw key_error(tool);
  // A tool that cannot run fails here, before a planner call is spent on it.
  if (s.tools.funcs.count(tool)) runnable_tool(s.tools.funcs, tool);

  const LLMResult planned = plan_arguments(s, decision, tool, user_query, total_usage);
  MaterializedArgs args =
      materialize_tool_args(tool, planned.content, s.tools.defaults, s.tools.config_map);
  res_to_user["plot_params"] = args.full_args_dict;

  ToolRunOptions run_options;
  run_options.config_map = &s.tools.config_map;
  const ToolRun run =
      run_planned_tool(s.host, s.tools.funcs, s.adata, tool, args.exec_args, run_options);
  res_to_user["plot_result"] = run.plot_result;
  if (!tool.empty() && args.full_args_dict.is_object() && !args.full_args_dict.empty())
    res_to_user["plot_code"] = reproduction_code(run);
}

FlowResult processing_initial_request(Session& s, const json& router_spec, json& res_to_user,
                                      long long total_usage, bool /*verbose*/) {
  // Callers outside the driver may hand a partial record: the fields this flow reads must
  // be there (KeyError otherwise), nothing else is needed.
  const json& flags = py_getitem(router_spec, "flags");
  RouterDecision d;
  d.record = router_spec;
  d.flags.plot = py_truthy(py_getitem(flags, "plot"));
  d.flags.table_summary = py_truthy(py_getitem(flags, "table_summary"));
  if (auto it = flags.find("specific_pathway"); it != flags.end())
    d.flags.specific_pathway = py_truthy(*it);
  if (d.flags.plot || d.flags.table_summary) {
    const json& tool = py_getitem(router_spec, "selected_tool");
    d.selected_tool = tool.is_string() ? tool.get<std::string>() : py_str(tool);
  }
  if (auto it = router_spec.find("pathway_phrase"); it != router_spec.end() && it->is_string())
    d.pathway_phrase = it->get<std::string>();
  run_fresh_request(s, d, res_to_user, total_usage);
  return FlowResult{res_to_user, total_usage};
}

}  // namespace norvex::flows
