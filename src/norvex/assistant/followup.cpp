// processing_recurrent_request: a follow-up question resolved against the history. A
// selector model picks the earlier transaction from compact summaries and says what the
// user wants next; a requested change reruns that transaction's tool with a patch.
#include "norvex/analysis_tools/repro_code.hpp"
#include "norvex/assistant/answers.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/rerun.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/assistant/tool_run.hpp"
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

// The selector's choice among the history's summaries, with its status line.
SelectorAnswer select_earlier_transaction(Session& s, const json& current_router_res,
                                          long long& total_usage, bool verbose) {
  NotebookHost& host = s.host;
  const json tx_summ = summarize_transactions(s.history.buf, 30, 120);
  const json& selection_schema = prompts::prev_tx_selection_schema_dict();
  const std::string prompt =
      detail::fill_template(prompts::prev_tx_selection_prompt(),
                            {{"schema_text", schema_dict_to_prompt_text(selection_schema)}});
  const std::string payload =
      format_tx_summaries_for_llm(current_router_res, tx_summ, selection_schema, 10);

  detail::Stopwatch watch;
  host.print("✅ Looking up previous requests .. ", false);
  JsonCallOptions call;
  call.schema = selection_schema;
  call.system_message = prompt;
  call.data_context = s.data_context;
  call.max_retries = s.max_retries;
  LLMResult llm_res =
      ending_open_line(host, [&] { return s.model.json_enforced_call(payload, call); });
  total_usage += usage_total(llm_res.usage);
  host.print("done (" + watch.seconds() + ", " + last_usage_text(llm_res.usage) + ")");
  if (verbose) host.display_json(llm_res.content);
  return SelectorAnswer::from_record(llm_res.content);
}

// What the researcher reads when the selector's answer is no position of the history: that
// nothing matched, and what there is to refer to.
std::string no_match_notice(const json& answered, const std::vector<json>& history) {
  std::string held;
  for (size_t i = 0; i < history.size() && i < 10; ++i) {
    const json& tx = history[i];
    const json tool = tx.is_object() ? tx.value("plot_func", json()) : json();
    held += (held.empty() ? "" : "; ") + std::to_string(i) + " " +
            (tool.is_string() ? tool.get<std::string>() : std::string("result"));
    const json question = tx.is_object() ? tx.value("query", json()) : json();
    if (question.is_string()) held += " (" + py_str(shorten(question, 60)) + ")";
  }
  if (history.size() > 10) held += "; …";
  return "⚠️ WARNING: No earlier result matched this request (the selection was " +
         py_repr(answered) + "). The history holds: " + (held.empty() ? "nothing" : held) + ".";
}

// The record of a follow-up that names nothing to match on: the routing record's own
// output flags, in the selector's order.
json request_from_router_flags(const RouterFlags& flags) {
  const FollowUpRequest r = FollowUpRequest::from_router_flags(flags);
  return json{{"rerun_with_changes", false},    {"render_plot", r.render_plot},
              {"render_table", r.render_table}, {"render_code", r.render_code},
              {"render_args", r.render_args},   {"explain", r.explain},
              {"explain_more_detail", false},   {"save", r.save}};
}

}  // namespace

RecurrentResult processing_recurrent_request(Session& s, const json& /*router_spec*/,
                                             json& res_to_user, long long total_usage, bool verbose,
                                             bool select_tx_only) {
  NotebookHost& host = s.host;
  const json current_router_res = py_getitem(res_to_user, "router_res");

  // A record that names nothing to match on means the most recent transaction, shown as
  // the record's own flags ask (the optional ones false when left out).
  if (!check_router_res_validity(current_router_res)) {
    const json user_request =
        request_from_router_flags(RouterDecision::from_record(current_router_res).flags);
    if (verbose) host.display_json(user_request);
    return RecurrentResult{res_to_user, total_usage, 0, user_request};
  }

  const SelectorAnswer answer =
      select_earlier_transaction(s, current_router_res, total_usage, verbose);
  const json* found = get_tx_by_id(s.history.buf, answer.selected_tx_id);
  if (!found) {
    const json& warning = py_getitem(answer.record, "user_warning");
    if (py_truthy(warning)) show_user_warning_big(host, warning, true);
    host.print(no_match_notice(answer.selected_tx_id, s.history.buf));
    return RecurrentResult{res_to_user, total_usage, answer.selected_tx_id, nullptr};
  }
  if (select_tx_only)
    return RecurrentResult{res_to_user, total_usage, answer.selected_tx_id, nullptr};
  // The rerun only reads the earlier transaction; a copy keeps it whatever it calls.
  const json base_tx_full = *found;

  const json user_request = normalize_user_request(
      answer.user_request ? *answer.user_request : default_user_request_for_reuse(base_tx_full));
  if (!(answer.need_new_compute && FollowUpRequest::from_record(user_request).rerun_with_changes))
    return RecurrentResult{res_to_user, total_usage, answer.selected_tx_id, user_request};

  const RerunPlan plan = plan_rerun(s, base_tx_full, py_getitem(res_to_user, "query"));
  if (!plan.needs_rerun)
    return RecurrentResult{res_to_user, total_usage, answer.selected_tx_id, user_request};

  const std::string tool = py_str(plan.selected_tool);
  host.print("🔁 RERUN: " + tool);
  ToolRunOptions run_options;
  run_options.config_map = &s.tools.config_map;
  const ToolRun run =
      run_planned_tool(host, s.tools.funcs, s.adata, tool, plan.exec_args, run_options);

  // The rerun keeps the question of the transaction it changes, so it replaces that one.
  res_to_user["query"] = py_getitem(base_tx_full, "query");
  res_to_user["plot_func"] = tool;
  res_to_user["plot_params"] = plan.final_args;
  res_to_user["plot_result"] = run.plot_result;
  if (!tool.empty() && py_truthy(plan.final_args))
    res_to_user["plot_code"] = reproduction_code(run);
  return RecurrentResult{res_to_user, total_usage, answer.selected_tx_id, user_request};
}

}  // namespace norvex::flows
