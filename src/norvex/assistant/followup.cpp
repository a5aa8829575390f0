// processing_recurrent_request: a follow-up question resolved against the history. A
// selector model picks the earlier transaction from compact summaries and says what the
// user wants next; a requested change reruns that transaction's tool with a patch.
#include "norvex/analysis_tools/repro_code.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/rerun.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/display/render.hpp"
#include "norvex/history/pick_keys.hpp"
#include "norvex/history/tx_summaries.hpp"
#include "norvex/history/tx_values.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/llm/json_helpers.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::flows {
namespace {

// Runs a step that follows an open status line; when it fails, the line is ended first so
// the caller's error report starts on a line of its own.
template <typename Step>
auto ending_open_line(NotebookHost& host, Step step) -> decltype(step()) {
  try {
    return step();
  } catch (...) {
    host.print("");
    throw;
  }
}

}  // namespace

RecurrentResult processing_recurrent_request(Session& s, const json& /*router_spec*/,
                                             json& res_to_user, long long total_usage, bool verbose,
                                             bool select_tx_only) {
  NotebookHost& host = s.host;
  const json current_router_res = py_getitem(res_to_user, "router_res");

  // A record that names nothing to match on means the most recent transaction, shown as
  // the record's own flags ask.
  if (!check_router_res_validity(current_router_res)) {
    const json& flags = py_getitem(current_router_res, "flags");
    json user_request = json::object();
    user_request["rerun_with_changes"] = false;
    user_request["render_plot"] = py_getitem(flags, "plot");
    user_request["render_table"] = py_getitem(flags, "table_summary");
    user_request["render_code"] = py_getitem(flags, "code");
    user_request["render_args"] = py_getitem(flags, "args");
    user_request["explain"] = py_getitem(flags, "explain_data");
    user_request["explain_more_detail"] = false;
    user_request["save"] = py_getitem(flags, "save");
    if (verbose) host.display_json(user_request);
    return RecurrentResult{res_to_user, total_usage, 0, user_request};
  }

  const json user_query = py_getitem(res_to_user, "query");
  std::vector<json>& tx_list_recent_first = s.history.buf;
  const json tx_summ = summarize_transactions(tx_list_recent_first, 30);
  const json& selection_schema = prompts::prev_tx_selection_schema_dict();
  const std::string selection_schema_text = schema_dict_to_prompt_text(selection_schema);
  const std::string prompt = detail::fill_template(prompts::prev_tx_selection_prompt(),
                                                   {{"schema_text", selection_schema_text}});
  const std::string payload_json_str =
      format_tx_summaries_for_llm(current_router_res, tx_summ, selection_schema, 10);

  detail::Stopwatch watch;
  host.print("✅ Looking up previous requests .. ", false);
  JsonCallOptions call;
  call.schema = selection_schema;
  call.system_message = prompt;
  call.data_context = s.data_context;
  call.max_retries = s.max_retries;
  LLMResult llm_res =
      ending_open_line(host, [&] { return s.model.json_enforced_call(payload_json_str, call); });
  const json selector_spec = llm_res.content;
  total_usage += usage_total(llm_res.usage);
  host.print("done (" + watch.seconds() + ", " + last_usage_text(llm_res.usage) + ")");
  if (verbose) host.display_json(selector_spec);

  const json selected_tx_id =
      selector_spec.is_object() ? selector_spec.value("selected_tx_id", json()) : json();
  const json* found = get_tx_by_id(tx_list_recent_first, selected_tx_id);
  if (!found) {
    show_user_warning_big(s.host, py_getitem(selector_spec, "user_warning"), true);
    return RecurrentResult{res_to_user, total_usage, selected_tx_id, nullptr};
  }
  if (select_tx_only) return RecurrentResult{res_to_user, total_usage, selected_tx_id, nullptr};
  // The rerun only reads the earlier transaction; a copy keeps it so whatever it calls.
  const json base_tx_full = *found;

  json user_req = selector_spec.value("user_request", json());
  if (!py_truthy(user_req)) user_req = default_user_request_for_reuse(base_tx_full);
  const json user_request = normalize_user_request(user_req);

  const bool need_new_compute = py_truthy(selector_spec.value("need_new_compute", json(false)));
  const bool want_rerun = py_truthy(user_request.value("rerun_with_changes", json(false)));
  if (!(need_new_compute && want_rerun))
    return RecurrentResult{res_to_user, total_usage, selected_tx_id, user_request};

  const json rerun_res = rerun_with_changes_flow(s, base_tx_full, user_query, verbose);
  if (!py_truthy(py_getitem(rerun_res, "needs_rerun")))
    return RecurrentResult{res_to_user, total_usage, selected_tx_id, user_request};

  const json& tool = py_getitem(rerun_res, "selected_tool");
  const std::string target_function_name = py_str(tool);
  const json full_args_dict = py_getitem(rerun_res, "final_args");
  json exec_args = py_getitem(rerun_res, "exec_args");

  host.print("🔁 RERUN: " + target_function_name);
  detail::Stopwatch plot_watch;
  host.print("🛠️ Generating plots .. ", false);
  auto fn = s.tools.funcs.find(target_function_name);
  if (fn == s.tools.funcs.end()) throw key_error(target_function_name);
  exec_args =
      filter_kwargs_for_fn(fn->second, exec_args, target_function_name, &s.tools.config_map);
  if (exec_args.is_object()) exec_args["show"] = false;
  check_interrupt();
  json p_result = ending_open_line(host, [&] { return fn->second(s.adata, exec_args); });
  check_interrupt();
  if (!p_result.is_object())
    throw TypeError("tool '" + target_function_name + "' returned " + py_type_name(p_result) +
                    ", expected a result mapping");
  json plot_result =
      pick_keys(p_result, {"data", "img_base64", "table_summaries", "images", "html_base64"});
  host.print("done (" + plot_watch.seconds() + ")");

  // The rerun keeps the question of the transaction it changes, so it replaces that one.
  res_to_user["query"] = py_getitem(base_tx_full, "query");
  res_to_user["plot_func"] = target_function_name;
  res_to_user["plot_params"] = full_args_dict;
  res_to_user["plot_result"] = plot_result;

  if (!target_function_name.empty() && py_truthy(full_args_dict)) {
    exec_args["show"] = true;
    res_to_user["plot_code"] = detail::notebook_repro_code(target_function_name, exec_args);
  }
  return RecurrentResult{res_to_user, total_usage, selected_tx_id, user_request};
}

}  // namespace norvex::flows
