// The request driver: one question in, routed by the model, answered along one of four
// paths (dataset tree, dataset information, fresh request, follow-up request), rendered,
// recorded in the history, and returned as a copy of the result mapping.
#include <fmt/format.h>

#include <chrono>

#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/display/render.hpp"
#include "norvex/display/report.hpp"
#include "norvex/display/result_display.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/history/tx_values.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/interrupt.hpp"
#include "norvex/llm/usage.hpp"
#include "norvex/prompts/constants.hpp"

namespace norvex::flows {
namespace {

using Clock = std::chrono::steady_clock;

bool has(const json& mapping, const char* key) {
  return mapping.is_object() && mapping.contains(key);
}

json get_or_null(const json& mapping, const char* key) {
  if (!mapping.is_object()) return nullptr;
  auto it = mapping.find(key);
  return it == mapping.end() ? json() : *it;
}

// A plot result that holds an image: a mapping with an "img_base64" entry.
bool holds_image(const json& plot_result) {
  return plot_result.is_object() && plot_result.contains("img_base64");
}

}  // namespace

json ask(Session& s, json& last_tx, const json& user_query_arg) {
  if (!user_query_arg.is_string()) {
    throw TypeError(std::string("user_query must be str, not ") + py_type_name(user_query_arg));
  }
  const std::string user_query = user_query_arg.get<std::string>();
  NotebookHost& host = s.host;

  const std::string lang = detect_output_language(user_query_arg);
  json res_to_user = json::object();
  res_to_user["query"] = user_query;
  long long total_usage = 0;

  // Router call, with the status line completed by its own time and tokens.
  const auto start = Clock::now();
  host.print("✅ Analyzing query .. ", false);
  JsonCallOptions router_options;
  router_options.schema = prompts::router_schema();
  router_options.system_message = prompts::router_prompt();
  router_options.data_context = s.data_context;
  router_options.max_retries = s.max_retries;
  LLMResult llm_res = s.model.json_enforced_call(user_query, router_options);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  json spec = llm_res.content;
  const json& usage = llm_res.usage;
  total_usage += safe_int(py_getitem(usage, "total_tokens")).value_or(0);
  const json last_usage = usage.empty() ? json() : usage.back();
  host.print(fmt::format("done ({:.2f}, {})", elapsed, py_str(last_usage)));

  const RouterDecision decision = RouterDecision::from_record(spec);
  const RouterFlags& flags = decision.flags;
  const bool rem = s.rem_router;
  const bool verbose_flows = !rem;
  if (!rem) {
    host.display_json(py_getitem(spec, "flags"));
    for (const char* field : {"query_item", "target_analysis", "target_celltype",
                              "plot_type_to_draw", "reference_plot_type", "selected_tool"}) {
      host.display_json(std::string(field) + ": " + py_str(py_getitem(spec, field)));
    }
    host.display_json("tree_target: " + decision.tree_target);
  }

  res_to_user["router_res"] = spec;
  last_tx = spec;

  if (flags.tree) {
    show_dataset_tree(s.host, s.adata, decision.tree_target);
    return nullptr;
  }
  if (flags.info && decision.info_answer) {
    render_vantu_info(s.host, *decision.info_answer, lang);
    return nullptr;
  }

  // The history changes only by whole transactions (one addition here, or one replacement
  // on a follow-up), so a request that fails later leaves it as it then is.
  transaction_history& t_hist = s.history;
  // Whether res_to_user is the history's newest entry, as in the notebook where the
  // history holds the very mapping (a later save writes into it).
  bool res_in_history = false;

  const bool fresh =
      !flags.recurrent_query && decision.names_target && decision.selected_tool != "none";
  if (fresh) {
    FlowResult flow = processing_initial_request(s, spec, res_to_user, total_usage, verbose_flows);
    res_to_user = std::move(flow.res_to_user);
    total_usage = flow.total_usage;

    if (flags.table_summary && has(res_to_user, "plot_result")) {
      display_table_summaries(s.host, res_to_user["plot_result"]);
    }
    if (flags.plot && has(res_to_user, "plot_result")) {
      if (holds_image(res_to_user["plot_result"])) {
        display_plot_img_base64(s.host, res_to_user["plot_result"]);
      } else {
        host.print("⚠️ WARNING: Image not available.");
        if (has(res_to_user, "plot_code")) show_code_snippet(s.host, res_to_user["plot_code"]);
      }
    }
    if (flags.args && has(res_to_user, "plot_params")) {
      display_analysis_parameters(s.host, py_getitem(res_to_user, "plot_func"),
                                  res_to_user["plot_params"]);
    }
    if (flags.code && has(res_to_user, "plot_code")) {
      show_code_snippet(s.host, res_to_user["plot_code"]);
    }

    if (flags.explain_data && flags.plot && has(res_to_user, "plot_result")) {
      const json& plot_result = res_to_user["plot_result"];
      if (!plot_result.is_null() && !plot_result.is_string()) {
        ExplanationResult ex = generate_and_display_explanation(
            s, user_query, py_getitem(res_to_user, "plot_func"),
            py_getitem(res_to_user, "plot_params"), plot_result, total_usage);
        total_usage = ex.total_usage;
        if (!ex.explanation.is_null()) {
          res_to_user["explanation"] = ex.explanation;
          res_to_user["report"] = detail::report_value(ex.report);
          res_to_user["total_usage"] = total_usage;
        }
      }
    } else if (flags.explain_general) {
      if (!flags.plot && !flags.table_summary) {
        LLMResult general = explain_in_general_sense(s, user_query);
        total_usage += safe_int(py_getitem(general.usage, "total_tokens")).value_or(0);
        if (!general.content.is_null()) {
          render_vantu_explanation(s.host, general.content);
          std::string doc = create_doc_with_style(general.content, nullptr, user_query);
          host.offer_download(document_download(doc, user_query + ".docx"));
          host.print(" ");
        }
      }
    }

    if (has(res_to_user, "explanation") || holds_image(get_or_null(res_to_user, "plot_result"))) {
      t_hist.add(res_to_user, verbose_flows);
      res_in_history = true;
    }
  } else {
    if (t_hist.len() == 0) {
      host.print("⚠️ WARNING: No transaction history found.");
      return nullptr;
    }
    if (decision.asks_output) {
      RecurrentResult rec;
      try {
        rec = processing_recurrent_request(s, spec, res_to_user, total_usage, verbose_flows, false);
      } catch (const Interrupted&) {
        throw;  // a stop is not a failed answer
      } catch (...) {
        host.print("❌ ERROR: Failed to produce valid response. Please try again.");
        return nullptr;
      }
      res_to_user = std::move(rec.res_to_user);
      total_usage = rec.total_usage;
      const json selected_tx_id = rec.selected_tx_id;
      const json user_req = rec.user_request;

      json* base_tx_full = get_tx_by_id(t_hist.buf, selected_tx_id);
      if (!base_tx_full) {
        return nullptr;
      }

      const json celltype_new =
          RouterDecision::from_record(py_getitem(res_to_user, "router_res")).target_celltype;
      const json celltype_old =
          py_getitem(py_getitem(*base_tx_full, "router_res"), "target_celltype");
      if (celltype_new != "none" && celltype_new != celltype_old) {
        host.print("⚠️ WARNING: No previous tx exists for the celltypes, " +
                   py_str(celltype_new));
        return nullptr;
      }

      const bool updated = holds_image(get_or_null(res_to_user, "plot_result"));
      const json& source = updated ? res_to_user : *base_tx_full;
      const json plot_result = get_or_null(source, "plot_result");
      const json full_args_dict = get_or_null(source, "plot_params");
      const json target_function_name = get_or_null(source, "plot_func");
      const json code_snippet = get_or_null(source, "plot_code");

      if (!py_truthy(user_req)) {
        return nullptr;
      }
      const FollowUpRequest wants = FollowUpRequest::from_record(user_req);

      if (wants.render_table && plot_result.is_object() &&
          plot_result.contains("table_summaries")) {
        display_table_summaries(s.host, plot_result);
      }
      if (wants.render_plot && holds_image(plot_result)) {
        display_plot_img_base64(s.host, plot_result);
      }
      if (wants.render_code && py_truthy(code_snippet)) {
        show_code_snippet(s.host, code_snippet);
      }
      if (wants.render_args && py_truthy(full_args_dict) && py_truthy(target_function_name)) {
        display_analysis_parameters(s.host, target_function_name, full_args_dict);
      }

      bool explained = false;
      const bool wants_explanation = wants.explain_more_detail || wants.explain;
      if (wants_explanation && holds_image(plot_result)) {
        ExplanationResult ex = generate_and_display_explanation(
            s, user_query, target_function_name, full_args_dict, plot_result, total_usage);
        total_usage = ex.total_usage;
        (*base_tx_full)["explanation"] = ex.explanation;
        (*base_tx_full)["report"] = detail::report_value(ex.report);
        explained = true;
      }

      if (updated) {
        res_to_user["query"] = py_getitem(*base_tx_full, "query");
        if (explained) {
          res_to_user["explanation"] = (*base_tx_full)["explanation"];
          res_to_user["report"] = (*base_tx_full)["report"];
        }
      } else {
        res_to_user = *base_tx_full;
        res_to_user["router_res"] = spec;
      }

      if (!has(res_to_user, "plot_result")) {
        host.print("❌ ERROR: plot_result not found in res_to_user");
        return nullptr;
      }
      // The follow-up's routing record often names no tool or plot type (it refers to an
      // earlier one); the stored transaction keeps the earlier record's values for those, so
      // a later follow-up can still find it and rerun its tool.
      json& kept_router = res_to_user["router_res"];
      const json& base_router = py_getitem(*base_tx_full, "router_res");
      if (kept_router.is_object() && base_router.is_object()) {
        for (const char* field :
             {"selected_tool", "target_analysis", "target_celltype", "plot_type_to_draw"}) {
          if (!py_truthy(check_any_valid(kept_router, {field})) &&
              py_truthy(check_any_valid(base_router, {field})))
            kept_router[field] = base_router[field];
        }
      }
      // The selected id was a valid position above, so it converts.
      t_hist.pop(static_cast<size_t>(*safe_int(selected_tx_id)), verbose_flows);
      t_hist.add(res_to_user, verbose_flows);
      res_in_history = true;
    }
  }

  if (flags.save) {
    save_transaction(s, spec, res_to_user, verbose_flows, 0);
    if (res_in_history && !t_hist.buf.empty()) {
      // One mapping in the notebook: what the save wrote into either copy is in both.
      json& stored = t_hist.buf.front();
      for (auto it = stored.begin(); it != stored.end(); ++it) res_to_user[it.key()] = it.value();
      stored = res_to_user;
    }
  }
  if (flags.reportgen) {
    generate_norvex_report(s.host, s.adata);
  }

  json store = res_to_user;
  if (rem && store.is_object()) store.erase("router_res");
  return store;
}

}  // namespace norvex::flows
