// The request driver: one question in, routed by the model, answered along one of four
// paths (dataset tree, dataset information, fresh request, follow-up request), rendered,
// recorded in the history, and returned as a copy of the result mapping.
#include <fmt/format.h>

#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/router.hpp"
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

// One question on its way through the driver.
struct Request {
  std::string query;
  std::string lang;           // "ko" or "en"
  json res_to_user;           // the result mapping the caller gets a copy of
  long long total_usage = 0;  // tokens spent so far
  // Whether res_to_user is the history's newest entry, as in the notebook where the
  // history holds the very mapping (a later save writes into it).
  bool in_history = false;
};

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

// The router call, with the status line completed by its own time and tokens.
RouterDecision route(Session& s, Request& r) {
  detail::Stopwatch watch;
  s.host.print("✅ Analyzing query .. ", false);
  JsonCallOptions options;
  options.schema = prompts::router_schema();
  options.system_message = prompts::router_prompt();
  options.data_context = s.data_context;
  options.max_retries = s.max_retries;
  LLMResult llm_res = s.model.json_enforced_call(r.query, options);
  r.total_usage += usage_total(llm_res.usage);
  const json last_usage = llm_res.usage.empty() ? json() : llm_res.usage.back();
  s.host.print("done (" + watch.seconds() + ", " + py_str(last_usage) + ")");
  return RouterDecision::from_record(llm_res.content);
}

// The flags and seven routing fields, unless the quiet switch is on.
void show_routing(Session& s, const RouterDecision& d) {
  if (s.rem_router) return;
  s.host.display_json(py_getitem(d.record, "flags"));
  for (const char* field : {"query_item", "target_analysis", "target_celltype", "plot_type_to_draw",
                            "reference_plot_type", "selected_tool"}) {
    s.host.display_json(std::string(field) + ": " + py_str(py_getitem(d.record, field)));
  }
  s.host.display_json("tree_target: " + d.tree_target);
}

// Tables, plot, arguments and code of a fresh result, as the flags ask.
void show_fresh_result(Session& s, const RouterFlags& flags, const json& res) {
  if (flags.table_summary && has(res, "plot_result"))
    display_table_summaries(s.host, res["plot_result"]);
  if (flags.plot && has(res, "plot_result")) {
    if (holds_image(res["plot_result"])) {
      display_plot_img_base64(s.host, res["plot_result"]);
    } else {
      s.host.print("⚠️ WARNING: Image not available.");
      if (has(res, "plot_code")) show_code_snippet(s.host, res["plot_code"]);
    }
  }
  if (flags.args && has(res, "plot_params"))
    display_analysis_parameters(s.host, get_or_null(res, "plot_func"), res["plot_params"]);
  if (flags.code && has(res, "plot_code")) show_code_snippet(s.host, res["plot_code"]);
}

// A general explanation with its Word download, for a question that asks for no result.
void explain_generally(Session& s, Request& r) {
  LLMResult general = explain_in_general_sense(s, r.query);
  r.total_usage += usage_total(general.usage);
  if (general.content.is_null()) return;
  render_vantu_explanation(s.host, general.content);
  std::string doc = create_doc_with_style(general.content, nullptr, r.query);
  s.host.offer_download(document_download(doc, r.query + ".docx"));
  s.host.print(" ");
}

void answer_fresh(Session& s, const RouterDecision& d, Request& r) {
  run_fresh_request(s, d, r.res_to_user, r.total_usage);
  json& res = r.res_to_user;
  show_fresh_result(s, d.flags, res);

  if (d.flags.explain_data && d.flags.plot && has(res, "plot_result")) {
    const json& plot_result = res["plot_result"];
    if (!plot_result.is_null() && !plot_result.is_string()) {
      ExplanationResult ex = generate_and_display_explanation(
          s, r.query, get_or_null(res, "plot_func"), get_or_null(res, "plot_params"), plot_result,
          r.total_usage);
      r.total_usage = ex.total_usage;
      if (!ex.explanation.is_null()) {
        res["explanation"] = ex.explanation;
        res["report"] = detail::report_value(ex.report);
        res["total_usage"] = r.total_usage;
      }
    }
  } else if (d.flags.explain_general && !d.flags.plot && !d.flags.table_summary) {
    explain_generally(s, r);
  }

  if (has(res, "explanation") || holds_image(get_or_null(res, "plot_result"))) {
    s.history.add(res, s.rem_router ? nullptr : &s.host);
    r.in_history = true;
  }
}

// What the follow-up shows of the transaction it settled on, as the selector's request asks.
void show_follow_up(Session& s, const FollowUpRequest& wants, const json& source) {
  const json plot_result = get_or_null(source, "plot_result");
  const json args = get_or_null(source, "plot_params");
  const json tool = get_or_null(source, "plot_func");
  const json code = get_or_null(source, "plot_code");
  if (wants.render_table && plot_result.is_object() && plot_result.contains("table_summaries"))
    display_table_summaries(s.host, plot_result);
  if (wants.render_plot && holds_image(plot_result)) display_plot_img_base64(s.host, plot_result);
  if (wants.render_code && py_truthy(code)) show_code_snippet(s.host, code);
  if (wants.render_args && py_truthy(args) && py_truthy(tool))
    display_analysis_parameters(s.host, tool, args);
}

// The follow-up's routing record often names no tool or plot type (it refers to an earlier
// one); the stored transaction keeps the earlier record's values for those, so a later
// follow-up can still find it and rerun its tool.
void keep_earlier_routing(json& kept_router, const json& base_router) {
  if (!kept_router.is_object() || !base_router.is_object()) return;
  for (const char* field :
       {"selected_tool", "target_analysis", "target_celltype", "plot_type_to_draw"}) {
    if (!py_truthy(check_any_valid(kept_router, {field})) &&
        py_truthy(check_any_valid(base_router, {field})))
      kept_router[field] = base_router[field];
  }
}

// The follow-up path; false when the request ended early (the caller returns null).
bool answer_follow_up(Session& s, const RouterDecision& d, Request& r) {
  NotebookHost& host = s.host;
  RecurrentResult rec;
  try {
    rec = processing_recurrent_request(s, d.record, r.res_to_user, r.total_usage, !s.rem_router,
                                       false);
  } catch (const Interrupted&) {
    throw;  // a stop is not a failed answer
  } catch (const std::exception& e) {
    // The cause (an unknown gene, a refused argument) is what the researcher can act on.
    host.print(std::string("❌ ERROR: ") + error_type_name(e) + ": " + e.what());
    host.print("❌ ERROR: Failed to produce valid response. Please try again.");
    return false;
  } catch (...) {
    host.print("❌ ERROR: Failed to produce valid response. Please try again.");
    return false;
  }
  json& res = r.res_to_user;
  res = std::move(rec.res_to_user);
  r.total_usage = rec.total_usage;

  json* base_tx_full = get_tx_by_id(s.history.buf, rec.selected_tx_id);
  if (!base_tx_full) return false;

  // A rerun computed the result for the cell type asked for; only a reuse must match it.
  const bool updated = holds_image(get_or_null(res, "plot_result"));
  const json celltype_new =
      RouterDecision::from_record(py_getitem(res, "router_res")).target_celltype;
  const json celltype_old = py_getitem(py_getitem(*base_tx_full, "router_res"), "target_celltype");
  if (!updated && celltype_new != "none" && celltype_new != celltype_old) {
    host.print("⚠️ WARNING: No previous tx exists for the celltypes, " + py_str(celltype_new));
    return false;
  }

  const json source = updated ? res : *base_tx_full;
  const FollowUpRequest wants = FollowUpRequest::from_record(rec.user_request);
  show_follow_up(s, wants, source);

  bool explained = false;
  if (wants.wants_explanation() && holds_image(get_or_null(source, "plot_result"))) {
    ExplanationResult ex = generate_and_display_explanation(
        s, r.query, get_or_null(source, "plot_func"), get_or_null(source, "plot_params"),
        source["plot_result"], r.total_usage);
    r.total_usage = ex.total_usage;
    (*base_tx_full)["explanation"] = ex.explanation;
    (*base_tx_full)["report"] = detail::report_value(ex.report);
    explained = true;
  }

  if (updated) {
    // The rerun's result answers the earlier question changed by this one.
    res["query"] = py_str(py_getitem(*base_tx_full, "query")) + " → " + r.query;
    if (explained) {
      res["explanation"] = (*base_tx_full)["explanation"];
      res["report"] = (*base_tx_full)["report"];
    }
  } else {
    res = *base_tx_full;
    res["router_res"] = d.record;
  }
  if (!has(res, "plot_result")) {
    host.print("❌ ERROR: plot_result not found in res_to_user");
    return false;
  }
  keep_earlier_routing(res["router_res"], py_getitem(*base_tx_full, "router_res"));
  // The selected id was a valid position above, so it converts.
  s.history.pop(static_cast<size_t>(*safe_int(rec.selected_tx_id)),
                s.rem_router ? nullptr : &s.host);
  s.history.add(res, s.rem_router ? nullptr : &s.host);
  r.in_history = true;
  return true;
}

// Saving and the report, when the routing record asks for them. What was just answered is
// the newest transaction; a save that only names an earlier result ("save the UMAP one")
// lets the selector find that one.
void close_request(Session& s, const RouterDecision& d, Request& r) {
  if (d.flags.save) {
    const bool names_earlier = !r.in_history && d.flags.recurrent_query && d.names_target;
    save_transaction(s, d.record, r.res_to_user, !s.rem_router,
                     names_earlier ? json(nullptr) : json(0));
    if (r.in_history && !s.history.buf.empty()) {
      // One mapping in the notebook: what the save wrote into either copy is in both.
      json& stored = s.history.buf.front();
      for (auto it = stored.begin(); it != stored.end(); ++it) r.res_to_user[it.key()] = it.value();
      stored = r.res_to_user;
    }
  }
  if (d.flags.reportgen) generate_norvex_report(s.host, s.adata);
}

}  // namespace

json ask(Session& s, json& last_tx, const json& user_query) {
  if (!user_query.is_string())
    throw TypeError(std::string("user_query must be str, not ") + py_type_name(user_query));
  Request r;
  r.query = user_query.get<std::string>();
  r.lang = detect_output_language(user_query);
  r.res_to_user = json{{"query", r.query}};

  const RouterDecision d = route(s, r);
  show_routing(s, d);
  r.res_to_user["router_res"] = d.record;
  last_tx = d.record;

  if (d.flags.tree) {
    show_dataset_tree(s.host, s.adata, d.tree_target);
    return nullptr;
  }
  if (d.flags.info && d.info_answer) {
    render_vantu_info(s.host, *d.info_answer, r.lang);
    return nullptr;
  }

  // The history changes only by whole transactions (one addition, or one replacement on a
  // follow-up), so a request that fails later leaves it as it then is.
  if (!d.flags.recurrent_query && d.names_target && d.selected_tool != "none") {
    answer_fresh(s, d, r);
  } else if (s.history.len() == 0) {
    s.host.print("⚠️ WARNING: No transaction history found.");
    return nullptr;
  } else if (d.asks_output && !answer_follow_up(s, d, r)) {
    return nullptr;
  }

  close_request(s, d, r);
  json store = r.res_to_user;
  if (s.rem_router && store.is_object()) store.erase("router_res");
  return store;
}

}  // namespace norvex::flows
