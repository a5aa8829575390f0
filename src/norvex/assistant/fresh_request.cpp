// processing_initial_request: plan, materialise and run the routed tool for a new request.
#include "norvex/analysis_tools/repro_code.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/history/pick_keys.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::flows {

FlowResult processing_initial_request(Session& s, const json& router_spec, json& res_to_user,
                                      long long total_usage, bool /*verbose*/) {
  const json& query = py_getitem(res_to_user, "query");
  const std::string user_query = query.is_string() ? query.get<std::string>() : py_str(query);

  const json& flags = py_getitem(router_spec, "flags");
  if (!py_truthy(py_getitem(flags, "plot")) && !py_truthy(py_getitem(flags, "table_summary")))
    return FlowResult{res_to_user, total_usage};

  const json& tool = py_getitem(router_spec, "selected_tool");
  if (!tool.is_string())
    throw TypeError("selected_tool must be str, not " + std::string(py_type_name(tool)));
  const std::string target_function_name = tool.get<std::string>();
  res_to_user["plot_func"] = target_function_name;
  if (!func_args_schema_registry().count(target_function_name))
    throw key_error(target_function_name);
  // A tool that cannot run fails here, before a planner call is spent on it.
  if (auto fn = s.tools.funcs.find(target_function_name);
      fn != s.tools.funcs.end() && fn->second.ensure_runnable)
    fn->second.ensure_runnable();

  std::vector<std::string> selected_genes;
  std::string pathway_phrase, selected_pathway;
  if (py_truthy(py_getitem(flags, "specific_pathway"))) {
    const json& phrase = py_getitem(router_spec, "pathway_phrase");
    pathway_phrase = phrase.is_string() ? phrase.get<std::string>() : "";
    PathwaySelection sel = gene_selection_from_pathway_db(s, user_query, phrase, total_usage);
    selected_genes = sel.genes;
    selected_pathway = sel.pathway;
    total_usage = sel.total_usage;
  }

  std::optional<LLMResult> planned;
  if (selected_genes.empty()) {
    planned = generate_parameters(s, target_function_name, user_query);
  } else {
    ParameterOptions opts;
    json genes = json::array();
    for (auto& g : selected_genes) genes.push_back(g);
    opts.extra_overrides = json{{"target_genes", genes}};
    opts.extra_context =
        detail::fill_template(prompts::extra_context_for_target_genes(),
                              {{"pathway_phrase", pathway_phrase},
                               {"selected_pathway", selected_pathway},
                               {"selected_genes", detail::py_list_literal(selected_genes)}});
    planned = generate_parameters(s, target_function_name, user_query, opts);
  }
  if (!planned)
    throw RuntimeError("Could not plan the arguments of tool '" + target_function_name +
                       "': the planner gave no usable answer, so the tool was not run.");
  total_usage += usage_total(planned->usage);

  MaterializedArgs args = materialize_tool_args(target_function_name, planned->content,
                                                s.tools.defaults, s.tools.config_map);
  res_to_user["plot_params"] = args.full_args_dict;

  NotebookHost& host = s.host;
  detail::Stopwatch watch;
  host.print("🛠️ Generating plots .. ", false);
  // A failing tool ends the request with its own error; the open status line is left as
  // it is, and the console host starts the error report on a line of its own.
  auto fn = s.tools.funcs.find(target_function_name);
  if (fn == s.tools.funcs.end()) throw key_error(target_function_name);
  json exec_args =
      filter_kwargs_for_fn(fn->second, args.exec_args, target_function_name, &s.tools.config_map);
  exec_args["show"] = false;
  check_interrupt();
  json p_result = fn->second(s.adata, exec_args);
  check_interrupt();
  if (!p_result.is_object())
    throw TypeError("tool '" + target_function_name + "' returned " + py_type_name(p_result) +
                    ", expected a result mapping");
  json plot_result =
      pick_keys(p_result, {"data", "img_base64", "table_summaries", "images", "html_base64"});
  host.print("done (" + watch.seconds() + ")");
  res_to_user["plot_result"] = plot_result;

  if (!target_function_name.empty() && args.full_args_dict.is_object() &&
      !args.full_args_dict.empty()) {
    exec_args["show"] = true;
    res_to_user["plot_code"] = detail::notebook_repro_code(target_function_name, exec_args);
  }
  return FlowResult{res_to_user, total_usage};
}

}  // namespace norvex::flows
