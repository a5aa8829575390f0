// rerun_with_changes_flow: an earlier transaction is the baseline; the model extracts only
// the requested changes as a patch, the patch is applied to the earlier arguments, and the
// tool's arguments are planned again with both requests side by side.
#include "norvex/assistant/rerun.hpp"

#include <algorithm>

#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/history/tx_values.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex {
namespace {

void require_text_or_null(const json& v, const char* name) {
  if (!v.is_null() && !v.is_string())
    throw TypeError(std::string(name) + " must be str or None, not " + py_type_name(v));
}

bool contains(const json& list, const json& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// The base arguments' gene list as a new list; a single symbol counts as a list of one.
json base_genes(const json& base_plot_params) {
  const json genes =
      base_plot_params.is_object() ? base_plot_params.value("target_genes", json()) : json();
  if (!py_truthy(genes)) return json::array();
  if (genes.is_string()) return json::array({genes});
  if (!genes.is_array())
    throw TypeError(std::string("plot_params['target_genes'] must be a list, not ") +
                    py_type_name(genes));
  return genes;
}

// The patch's list fields; null counts as empty.
json list_field(const json& obj, const char* key) {
  const json& v = py_getitem(obj, key);
  if (v.is_null()) return json::array();
  if (!v.is_array())
    throw TypeError(std::string("'") + key + "' must be a list, not " + py_type_name(v));
  return v;
}

}  // namespace

std::string build_patch_payload(const json& base_router, const json& base_user_query,
                                const json& new_user_query, const json& selected_tool,
                                const json& base_plot_params) {
  if (!base_router.is_null() && !is_plain_mapping(base_router))
    throw TypeError(std::string("base_router must be a dict or None, not ") +
                    py_type_name(base_router));
  require_text_or_null(base_user_query, "base_user_query");
  require_text_or_null(new_user_query, "new_user_query");
  require_text_or_null(selected_tool, "selected_tool");
  json payload = json::object();
  payload["base_router"] = py_truthy(base_router) ? base_router : json::object();
  payload["base_user_query"] = py_truthy(base_user_query) ? base_user_query : json("");
  payload["new_user_query"] = py_truthy(new_user_query) ? new_user_query : json("");
  payload["selected_tool"] = py_truthy(selected_tool) ? selected_tool : json("none");
  payload["base_plot_params"] = py_truthy(base_plot_params) ? base_plot_params : json::object();
  return dump_json(payload, 2);
}

json default_user_request_for_reuse(const json& tx) {
  auto has = [&](const char* key) { return tx.is_object() && tx.contains(key); };
  return json{{"render_plot", has("plot_result")},
              {"render_table", has("table_result")},
              {"render_code", has("code_result")},
              {"render_args", has("plot_result")},
              {"explain", false},
              {"explain_more_detail", false},
              {"save", false},
              {"rerun_with_changes", false}};
}

namespace flows {

json rerun_with_changes_flow(Session& s, const json& base_tx_full, const json& new_user_query,
                             bool /*verbose*/) {
  require_text_or_null(new_user_query, "new_user_query");
  if (!base_tx_full.is_object())
    throw TypeError(std::string("base_tx_full must be a dict, not ") + py_type_name(base_tx_full));

  const json router = base_tx_full.value("router_res", json());
  const json base_router = py_truthy(router) ? router : json::object();
  const json base_user_query =
      base_router.is_object() ? base_router.value("user_query", json("")) : json("");
  json selected_tool =
      base_router.is_object() ? base_router.value("selected_tool", json("none")) : json("none");
  // A transaction shown again by a follow-up carries that follow-up's routing record, which
  // names no tool; the tool that actually ran is the one to rerun.
  if (!py_truthy(check_any_valid(base_router, {"selected_tool"})) &&
      base_tx_full.contains("plot_func") && py_truthy(base_tx_full["plot_func"]))
    selected_tool = base_tx_full["plot_func"];
  const json params = base_tx_full.value("plot_params", json());
  const json base_plot_params = py_truthy(params) ? params : json::object();

  const std::string patch_payload = build_patch_payload(
      base_router, base_user_query, new_user_query, selected_tool, base_plot_params);
  JsonCallOptions call;
  call.schema = prompts::patch_schema();
  call.system_message = prompts::patch_prompt();
  call.data_context = s.data_context;
  call.max_retries = s.max_retries;
  const json patch_res = s.model.json_enforced_call(patch_payload, call).content;

  if (!py_truthy(py_getitem(patch_res, "needs_rerun"))) {
    return json{{"needs_rerun", false},
                {"selected_tool", selected_tool},
                {"final_args", base_plot_params},
                {"patch", patch_res}};
  }

  json extra_overrides = json::object();
  std::string extra_context;

  const json& pw = py_getitem(patch_res, "pathway_request");
  if (py_truthy(py_getitem(pw, "requested")) && py_truthy(py_getitem(pw, "pathway_phrase"))) {
    const json& pathway_phrase = pw["pathway_phrase"];
    PathwaySelection sel = gene_selection_from_pathway_db(s, new_user_query, pathway_phrase, 0);
    extra_context = detail::fill_template(prompts::extra_context_for_target_genes(),
                                          {{"pathway_phrase", py_str(pathway_phrase)},
                                           {"selected_pathway", sel.pathway},
                                           {"selected_genes", detail::py_list_literal(sel.genes)}});
    json selected = json::array();
    for (const auto& g : sel.genes) selected.push_back(g);
    if (py_truthy(py_getitem(pw, "replace_existing_target_genes"))) {
      extra_overrides["target_genes"] = selected;
    } else {
      json merged = json::array();
      for (const json& g : base_genes(base_plot_params))
        if (!contains(merged, g)) merged.push_back(g);
      for (const json& g : selected)
        if (!contains(merged, g)) merged.push_back(g);
      extra_overrides["target_genes"] = merged;
    }
  }

  const json& gene_patch = py_getitem(patch_res, "gene_patch");
  const json& replace_all = py_getitem(gene_patch, "replace_all");
  if (!replace_all.is_null()) {
    extra_overrides["target_genes"] = replace_all;
  } else if (!(extra_overrides.contains("target_genes") && list_field(gene_patch, "add").empty() &&
               list_field(gene_patch, "remove").empty())) {
    // An empty gene patch next to a pathway request keeps the pathway's genes: starting
    // again from the base genes would silently undo "use the pathway genes instead".
    json genes = base_genes(base_plot_params);
    for (const json& g : list_field(gene_patch, "add"))
      if (!contains(genes, g)) genes.push_back(g);
    const json remove = list_field(gene_patch, "remove");
    json kept = json::array();
    for (const json& g : genes)
      if (!contains(remove, g)) kept.push_back(g);
    if (!kept.empty()) extra_overrides["target_genes"] = kept;
  }

  const json& param_patch = py_getitem(patch_res, "param_patch");
  const json& set = py_getitem(param_patch, "set");
  if (set.is_object())
    for (auto it = set.begin(); it != set.end(); ++it) extra_overrides[it.key()] = it.value();
  // Which parameters to reset is asked for, but resetting is not defined: the planner and
  // the tool defaults decide them, as for any parameter the patch does not name.
  (void)list_field(param_patch, "unset");

  const std::string rerun_user_query =
      "BASE_REQUEST (baseline context, keep unless explicitly changed):\n" +
      py_str(base_user_query) + "\n\nCHANGE_REQUEST (apply modifications to the base):\n" +
      py_str(new_user_query) + "\n";

  const std::string tool = py_str(selected_tool);
  ParameterOptions options;
  options.extra_overrides = extra_overrides;
  options.extra_context = extra_context;
  std::optional<LLMResult> planned = generate_parameters(s, tool, rerun_user_query, options);
  if (!planned)
    throw RuntimeError("Could not plan the arguments of tool '" + tool +
                       "' for the rerun: the planner gave no usable answer.");
  MaterializedArgs args =
      materialize_tool_args(selected_tool, planned->content, s.tools.defaults, s.tools.config_map);
  return json{{"needs_rerun", true},
              {"selected_tool", selected_tool},
              {"final_args", args.full_args_dict},
              {"exec_args", args.exec_args},
              {"patch", patch_res}};
}

}  // namespace flows
}  // namespace norvex
