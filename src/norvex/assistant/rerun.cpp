// rerun_with_changes_flow: an earlier transaction is the baseline; the model extracts only
// the requested changes as a patch, the patch is applied to the earlier arguments, and the
// tool's arguments are planned again with both requests side by side.
#include "norvex/assistant/rerun.hpp"

#include <algorithm>

#include "norvex/assistant/answers.hpp"
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
namespace {

json unique_genes(std::initializer_list<const json*> lists) {
  json merged = json::array();
  for (const json* list : lists)
    for (const json& g : *list)
      if (!contains(merged, g)) merged.push_back(g);
  return merged;
}

// The target genes the patch asks for, starting from the base arguments' genes: a named
// pathway's genes join them (or replace them), then the gene patch adds, removes or
// replaces. Empty when the patch changes no genes.
json patched_genes(const PatchAnswer& patch, const json& base_plot_params,
                   const std::optional<PathwaySelection>& pathway) {
  if (patch.genes.replace_all) return *patch.genes.replace_all;
  json genes = base_genes(base_plot_params);
  if (pathway) {
    json selected = json::array();
    for (const auto& g : pathway->genes) selected.push_back(g);
    genes =
        patch.pathway.replace_existing_target_genes ? selected : unique_genes({&genes, &selected});
  }
  for (const json& g : patch.genes.add)
    if (!contains(genes, g)) genes.push_back(g);
  const json remove(patch.genes.remove);
  json kept = json::array();
  for (const json& g : genes)
    if (!contains(remove, g)) kept.push_back(g);
  return kept;
}

// The arguments without the fields the patch unsets, at the top or one record deep, so those
// take the tool's default.
json without_unset(const json& args, const json& unset) {
  json out = args;
  if (!out.is_object()) return out;
  for (const json& name : unset) {
    if (!name.is_string()) continue;
    const std::string field = name.get<std::string>();
    out.erase(field);
    for (auto it = out.begin(); it != out.end(); ++it)
      if (it->is_object()) it->erase(field);
  }
  return out;
}

}  // namespace

RerunPlan plan_rerun(Session& s, const json& base_tx_full, const json& new_user_query) {
  require_text_or_null(new_user_query, "new_user_query");
  if (!base_tx_full.is_object())
    throw TypeError(std::string("base_tx_full must be a dict, not ") + py_type_name(base_tx_full));

  const json router = base_tx_full.value("router_res", json());
  const json base_router = py_truthy(router) ? router : json::object();
  // Routing records carry no question; the transaction's own is the baseline.
  json base_user_query =
      base_router.is_object() ? base_router.value("user_query", json("")) : json("");
  if (!py_truthy(base_user_query) && base_tx_full.value("query", json()).is_string())
    base_user_query = base_tx_full["query"];
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
  const PatchAnswer patch =
      PatchAnswer::from_record(s.model.json_enforced_call(patch_payload, call).content);

  RerunPlan plan;
  plan.selected_tool = selected_tool;
  plan.patch = patch.record;
  plan.final_args = base_plot_params;
  if (!patch.needs_rerun) return plan;

  std::optional<PathwaySelection> pathway;
  std::string extra_context;
  if (patch.pathway.requested && patch.pathway.phrase) {
    pathway = gene_selection_from_pathway_db(s, new_user_query, *patch.pathway.phrase, 0);
    extra_context =
        detail::fill_template(prompts::extra_context_for_target_genes(),
                              {{"pathway_phrase", *patch.pathway.phrase},
                               {"selected_pathway", pathway->pathway},
                               {"selected_genes", detail::py_list_literal(pathway->genes)}});
  }
  json extra_overrides = json::object();
  if (json genes = patched_genes(patch, base_plot_params, pathway);
      !genes.empty() || patch.genes.replace_all || pathway)
    extra_overrides["target_genes"] = genes;
  for (auto it = patch.set.begin(); it != patch.set.end(); ++it)
    extra_overrides[it.key()] = it.value();

  const std::string rerun_user_query =
      "BASE_REQUEST (baseline context, keep unless explicitly changed):\n" +
      py_str(base_user_query) + "\n\nBASE_ARGUMENTS (the arguments the base request ran with):\n" +
      dump_json(base_plot_params) + "\n\nCHANGE_REQUEST (apply modifications to the base):\n" +
      py_str(new_user_query) + "\n";

  const std::string tool = py_str(selected_tool);
  ParameterOptions options;
  options.extra_overrides = extra_overrides;
  options.extra_context = extra_context;
  std::optional<LLMResult> planned = generate_parameters(s, tool, rerun_user_query, options);
  if (!planned)
    throw RuntimeError("Could not plan the arguments of tool '" + tool +
                       "' for the rerun: the planner gave no usable answer.");
  // The earlier arguments are the baseline the planner's answer changes; what the patch
  // unsets returns to the tool's default.
  json defaults = s.tools.defaults;
  if (defaults.is_object() && defaults.contains(tool))
    defaults[tool] = deep_merge(defaults[tool], without_unset(base_plot_params, patch.unset));
  // The genes come from the patch alone: all removed means the planner's choice again.
  if (defaults.is_object() && defaults.contains(tool) && defaults[tool].is_object() &&
      base_plot_params.contains("target_genes") && !extra_overrides.contains("target_genes"))
    defaults[tool]["target_genes"] = s.tools.defaults[tool].value("target_genes", json());
  MaterializedArgs args =
      materialize_tool_args(selected_tool, planned->content, defaults, s.tools.config_map);
  plan.needs_rerun = true;
  plan.final_args = args.full_args_dict;
  plan.exec_args = args.exec_args;
  return plan;
}

json rerun_with_changes_flow(Session& s, const json& base_tx_full, const json& new_user_query,
                             bool /*verbose*/) {
  return plan_rerun(s, base_tx_full, new_user_query).to_record();
}

}  // namespace flows
}  // namespace norvex
