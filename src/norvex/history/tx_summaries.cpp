#include "norvex/history/tx_summaries.hpp"

#include <cmath>
#include <ctime>
#include <regex>

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/history/tx_values.hpp"

namespace norvex {
namespace {

// A count argument given as any number; bool counts as a number, as in Python.
long long count_arg(const json& v, const char* name) {
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number_integer()) return v.get<long long>();
  if (v.is_number_unsigned()) return static_cast<long long>(v.get<unsigned long long>());
  if (v.is_number_float() && std::isfinite(v.get<double>()))
    return static_cast<long long>(v.get<double>());
  throw TypeError(std::string("'") + name + "' must be an integer, not " + py_type_name(v));
}

bool empty_value(const json& v) {
  return v.is_null() || (v.is_object() && v.empty()) || (v.is_array() && v.empty()) ||
         (v.is_string() && v.get<std::string>().empty());
}

std::string iso_of(const std::tm& t) {
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &t);
  return buf;
}

}  // namespace

json summarize_transactions(const std::vector<json>& txs, const json& max_items_arg,
                            const json& max_query_len_arg) {
  const long long max_items = count_arg(max_items_arg, "max_items");
  const long long max_query_len = count_arg(max_query_len_arg, "max_query_len");
  // A negative count takes all but that many from the end, as a Python slice does.
  long long n = static_cast<long long>(txs.size());
  long long take = max_items >= 0 ? std::min(max_items, n) : std::max(0LL, n + max_items);

  json out = json::array();
  for (long long i = 0; i < take; ++i) {
    const json& tx = txs[static_cast<size_t>(i)];
    const json router = tx.is_object() ? tx.value("router_res", json::object()) : json::object();
    if (!router.is_object() || router.empty()) continue;
    if (!tx.contains("plot_result")) continue;

    const json& pr = tx["plot_result"];
    const json plot_result = py_truthy(pr) ? pr : json::object();
    bool has_plot = plot_result.is_object() && plot_result.contains("img_base64") &&
                    py_truthy(plot_result["img_base64"]);

    json summary = json::object();
    summary["tx_id"] = i;
    for (const char* key :
         {"plot_type_to_draw", "reference_plot_type", "target_celltype", "selected_tool"})
      summary[key] = get_any(router, {key});
    // Routing records carry no question; the transaction's own question tells candidates
    // of one kind apart.
    json question = get_any(router, {"user_query"});
    if (question.is_null()) question = tx.value("query", json());
    summary["user_query"] = shorten(question, max_query_len);
    summary["has_plot"] = has_plot;

    json kept = json::object();
    for (auto it = summary.begin(); it != summary.end(); ++it)
      if (!empty_value(it.value())) kept[it.key()] = it.value();
    out.push_back(std::move(kept));
  }
  return out;
}

std::string format_tx_summaries_for_llm(const json& current_router_res, const json& tx_summaries,
                                        const json& selection_schema,
                                        const json& max_candidates_arg) {
  const long long max_candidates = count_arg(max_candidates_arg, "max_candidates");
  if (!tx_summaries.is_array())
    throw TypeError(std::string("tx_summaries must be a list, not ") + py_type_name(tx_summaries));
  long long n = static_cast<long long>(tx_summaries.size());
  long long take =
      max_candidates >= 0 ? std::min(max_candidates, n) : std::max(0LL, n + max_candidates);
  json candidates = json::array();
  for (long long i = 0; i < take; ++i) candidates.push_back(tx_summaries[static_cast<size_t>(i)]);

  json payload = json::object();
  payload["task"] = "select_best_previous_transaction";
  payload["current_router"] = current_router_res;
  payload["candidates"] = std::move(candidates);
  payload["output_schema"] = selection_schema;
  payload["matching_guidance"] = json::array({
      "Match primarily on router fields "
      "(target_analysis/target_celltype/flags/intent/plot_type/selected_tool).",
      "If target_celltype is present in current_router, it must match.",
      "If key router fields mismatch, set need_new_compute=true.",
      "If multiple candidates match, choose the most recent created_at.",
      "If no good match exists, selected_tx_id=null and need_new_compute=true.",
  });
  return dump_json(payload, 2);
}

json to_iso(const json& ts) {
  if (ts.is_null()) return nullptr;
  if (ts.is_number() || ts.is_boolean()) {
    double secs = ts.is_boolean() ? (ts.get<bool>() ? 1.0 : 0.0) : ts.get<double>();
    if (!std::isfinite(secs) || std::fabs(secs) > 1e15) return nullptr;
    std::time_t whole = static_cast<std::time_t>(std::floor(secs));
    long micros = std::lround((secs - std::floor(secs)) * 1e6);
    if (micros == 1000000) ++whole, micros = 0;
    std::tm t{};
    if (!localtime_r(&whole, &t)) return nullptr;
    std::string out = iso_of(t);
    if (micros != 0) {
      char frac[16];
      std::snprintf(frac, sizeof frac, ".%06ld", micros);
      out += frac;
    }
    return out;
  }
  if (!ts.is_string()) return nullptr;
  const std::string s = py_strip(ts.get<std::string>());
  static const std::regex dated(R"(^\d{4}-\d{2}-\d{2})");
  if (std::regex_search(s, dated)) return s;
  for (const char* fmt : {"%Y%m%dT%H:%M:%S", "%Y%m%dT%H%M%S", "%Y-%m-%d %H:%M:%S"}) {
    std::tm t{};
    const char* end = strptime(s.c_str(), fmt, &t);
    if (end && *end == '\0') return iso_of(t);
  }
  return s;
}

}  // namespace norvex
