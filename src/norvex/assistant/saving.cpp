// Saving a history transaction into the dataset's saved store.
#include <cctype>

#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/history/saved_store.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/redactor.hpp"

namespace norvex::flows {
namespace {

// The history transaction at a position given as an integer or as its digits; null for
// anything else or out of range.
json* history_entry(std::vector<json>& buf, const json& id) {
  long long pos = -1;
  if (id.is_number_integer()) {
    pos = id.get<long long>();
  } else if (id.is_number_float()) {
    pos = static_cast<long long>(id.get<double>());
  } else if (id.is_string()) {
    try {
      size_t used = 0;
      std::string t = id.get<std::string>();
      pos = std::stoll(t, &used);
      while (used < t.size() && std::isspace(static_cast<unsigned char>(t[used]))) ++used;
      if (used != t.size()) pos = -1;
    } catch (const std::exception&) {
      pos = -1;
    }
  }
  if (pos < 0 || static_cast<size_t>(pos) >= buf.size()) return nullptr;
  return &buf[static_cast<size_t>(pos)];
}

bool is_integer_text(const std::string& t) {
  size_t i = 0;
  while (i < t.size() && std::isspace(static_cast<unsigned char>(t[i]))) ++i;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
  size_t digits = 0;
  while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i, ++digits;
  while (i < t.size() && std::isspace(static_cast<unsigned char>(t[i]))) ++i;
  return digits > 0 && digits < 18 && i == t.size();
}

}  // namespace

void save_transaction(Session& s, const json& spec, json& res_to_user, bool /*verbose*/,
                      const json& selected_tx_id_arg) {
  json selected_tx_id = selected_tx_id_arg;
  if (selected_tx_id.is_number_float()) {
    selected_tx_id = static_cast<long long>(selected_tx_id.get<double>());
  } else if (selected_tx_id.is_string()) {
    // Digits convert, as int() would; anything else is refused before any effect.
    if (!is_integer_text(selected_tx_id.get<std::string>())) {
      throw TypeError("selected_tx_id must be an integer or None, not '" +
                      selected_tx_id.get<std::string>() + "'");
    }
    selected_tx_id = std::stoll(selected_tx_id.get<std::string>());
  } else if (!selected_tx_id.is_null() && !selected_tx_id.is_number_integer()) {
    throw TypeError(std::string("selected_tx_id must be an integer or None, not ") +
                    selected_tx_id.type_name());
  }
  NotebookHost& host = s.host;
  if (s.history.len() == 0) {
    host.print("ℹ️ INFO: No transaction(s) to store.");
    return;
  }
  if (selected_tx_id.is_null()) {
    try {
      RecurrentResult r =
          processing_recurrent_request(s, spec, res_to_user, 0, !s.rem_router, true);
      selected_tx_id = r.selected_tx_id;
    } catch (const std::exception&) {
      host.print("❌ ERROR: Failed to produce valid response while saving. Please try again.");
      return;
    }
  }
  json* base = history_entry(s.history.buf, selected_tx_id);
  if (!base) {
    host.print("❌ ERROR: Failed to produce valid response while saving.");
    return;
  }
  json& base_tx_full = *base;
  if (!base_tx_full.contains("explanation") && base_tx_full.contains("plot_result") &&
      base_tx_full["plot_result"].is_object()) {
    ExplanationResult ex = generate_and_display_explanation(
        s, base_tx_full.value("query", json()), base_tx_full.value("plot_func", json()),
        base_tx_full.value("plot_params", json()), base_tx_full["plot_result"], 0, false);
    base_tx_full["explanation"] = ex.explanation;
    base_tx_full["report"] = detail::report_value(ex.report);
  }
  // A deep copy: the history keeps its own record. The key never reaches the dataset,
  // even when a question or a model's answer quotes it.
  const Redactor* secrets = s.host.secrets();
  store_transaction(s.adata, secrets ? secrets->value(base_tx_full) : base_tx_full, s.rem_router);
  check_saved_queries(s.host, s.adata);
}

}  // namespace norvex::flows
