// processing_initial_request: plan, materialise and run the routed tool for a new request.
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/history/pick_keys.hpp"
#include "norvex/host/host.hpp"
#include "norvex/analysis_tools/repro_code.hpp"
#include "norvex/prompts/constants.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"

namespace norvex {

namespace {

const json& lookup(const json& obj, const std::string& key) {
  if (!obj.is_object() || !obj.contains(key)) throw key_error(key);
  return obj[key];
}

bool truthy(const json& v) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_null()) return false;
  if (v.is_number()) return v.get<double>() != 0;
  if (v.is_string() || v.is_array() || v.is_object()) return !v.empty();
  return false;
}

}  // namespace

FlowResult norvex::processing_initial_request(const json& router_spec, json& res_to_user,
                                              const json& total_usage_in, bool /*verbose*/) {
  long long total_usage = detail::to_usage_int(total_usage_in, "total_usage");
  const json& query = lookup(res_to_user, "query");
  const std::string user_query = query.is_string() ? query.get<std::string>() : py_str(query);

  const json& flags = lookup(router_spec, "flags");
  if (!truthy(lookup(flags, "plot")) && !truthy(lookup(flags, "table_summary")))
    return FlowResult{res_to_user, total_usage};

  const json& tool = lookup(router_spec, "selected_tool");
  if (!tool.is_string())
    throw TypeError("selected_tool must be str, not " + std::string(py_type_name(tool)));
  const std::string target_function_name = tool.get<std::string>();
  res_to_user["plot_func"] = target_function_name;
  if (!func_args_schema_registry().count(target_function_name))
    throw key_error(target_function_name);

  std::vector<std::string> selected_genes;
  std::string pathway_phrase, selected_pathway;
  if (truthy(lookup(flags, "specific_pathway"))) {
    const json& phrase = lookup(router_spec, "pathway_phrase");
    pathway_phrase = phrase.is_string() ? phrase.get<std::string>() : "";
    PathwaySelection sel = gene_selection_from_pathway_db(user_query, phrase, total_usage);
    selected_genes = sel.genes;
    selected_pathway = sel.pathway;
    total_usage = sel.total_usage;
  }

  std::optional<LLMResult> planned;
  if (selected_genes.empty()) {
    planned = generate_parameters(target_function_name, user_query);
  } else {
    ParameterOptions opts;
    json genes = json::array();
    for (auto& g : selected_genes) genes.push_back(g);
    opts.extra_overrides = json{{"target_genes", genes}};
    opts.extra_context =
        detail::fill_template(EXTRA_CONTEXT_FOR_TARGET_GENES(),
                              {{"pathway_phrase", pathway_phrase},
                               {"selected_pathway", selected_pathway},
                               {"selected_genes", detail::py_list_literal(selected_genes)}});
    planned = generate_parameters(target_function_name, user_query, opts);
  }
  if (!planned)
    throw RuntimeError("Could not plan the arguments of tool '" + target_function_name +
                       "': the planner gave no usable answer, so the tool was not run.");
  total_usage += detail::usage_total(planned->usage);

  if (!Tool_defaults || !Tool_config_map || !Tool_funcs)
    throw AttributeError("'norvex' object has no tool maps; configure it with set_api_key");
  MaterializedArgs args = _materialize_tool_args(target_function_name, planned->content,
                                                 *Tool_defaults, *Tool_config_map);
  res_to_user["plot_params"] = args.full_args_dict;

  NotebookHost& host = current_host();
  detail::Stopwatch watch;
  host.print("🛠️ Generating plots .. ", false);
  json p_result;
  json exec_args;
  try {
    auto fn = Tool_funcs->find(target_function_name);
    if (fn == Tool_funcs->end()) throw key_error(target_function_name);
    exec_args =
        _filter_kwargs_for_fn(fn->second, args.exec_args, target_function_name, &*Tool_config_map);
    exec_args["show"] = false;
    if (!adata) throw AttributeError("'norvex' object has no attribute 'adata'");
    p_result = fn->second(*adata, exec_args);
    if (!p_result.is_object())
      throw TypeError("tool '" + target_function_name + "' returned " + py_type_name(p_result) +
                      ", expected a result mapping");
  } catch (...) {
    // Close the open status line so the error report starts on a line of its own.
    host.print("failed (" + watch.seconds() + ")");
    throw;
  }
  json plot_result =
      pick_keys(p_result, {"data", "img_base64", "table_summaries", "images", "html_base64"});
  host.print("done (" + watch.seconds() + ")");
  res_to_user["plot_result"] = plot_result;

  if (!target_function_name.empty() && args.full_args_dict.is_object() &&
      !args.full_args_dict.empty()) {
    exec_args["show"] = true;
    ReproOptions ro;
    ro.adata_var_name = "adata_t";
    ro.result_var_name = "result";
    ro.assume_imported = true;
    ro.norvex_pkg_name = "norvex";
    auto cls = config_name_to_class_map().find(target_function_name);
    if (cls != config_name_to_class_map().end())
      for (auto& [name, c] : cls->second) ro.data_class_names.push_back(name);
    res_to_user["plot_code"] = build_repro_code_snippet_clean(target_function_name, exec_args, ro);
  }
  return FlowResult{res_to_user, total_usage};
}

}  // namespace norvex
