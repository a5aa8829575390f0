// The saved-transaction store inside the dataset (uns["norvex_tx"]) and its listing.
#include <cctype>

#include "norvex/common/errors.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/host/host.hpp"

namespace norvex {
namespace {

// The first n Unicode characters of a UTF-8 text (questions are often Korean).
std::string first_chars(const std::string& text, size_t n) {
  size_t i = 0, count = 0;
  while (i < text.size() && count < n) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 1;
    i = std::min(text.size(), i + len);
    ++count;
  }
  return text.substr(0, i);
}

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

// Store key of a question: HDF5 reads "/" as a path separator, so it is replaced by the
// look-alike division slash; the transaction keeps the question exactly.
std::string store_key(const std::string& query) {
  std::string out;
  for (char c : query) {
    if (c == '/')
      out += "\u2215";
    else
      out += c;
  }
  return out.empty() ? std::string("(empty question)") : out;
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

std::string text_form(const json& v) {
  return v.is_string() ? v.get<std::string>() : dump_json(v);
}

}  // namespace

void norvex::check_saved_queries() {
  NotebookHost& host = current_host();
  AnnData& ad = require_adata();
  if (!ad.uns.contains("norvex_tx")) {
    host.print("ℹ️ INFO: No saved queries found");
    return;
  }
  host.print("ℹ️ INFO: saved queries");
  const UnsNode& store = ad.uns.at("norvex_tx");
  if (!store.is_dict()) throw TypeError("uns['norvex_tx'] must be a mapping of saved queries");
  size_t j = 0;
  for (const std::string& key : store.dict().keys()) {
    json tx = store.dict().at(key).to_json();
    if (!tx.is_object() || !tx.contains("plot_func")) throw key_error("plot_func");
    if (!tx.contains("query")) throw key_error("query");
    host.print("   " + std::to_string(++j) + ": " + text_form(tx["plot_func"]) + ", " +
               first_chars(text_form(tx["query"]), 50) + " .. ");
  }
}

void norvex::check_saved() {
  check_saved_queries();
}

void norvex::save_transaction(const json& spec, json& res_to_user, bool /*verbose*/,
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
  NotebookHost& host = current_host();
  if (t_hist.len() == 0) {
    host.print("ℹ️ INFO: No transaction(s) to store.");
    return;
  }
  if (selected_tx_id.is_null()) {
    try {
      RecurrentResult r =
          processing_recurrent_request(spec, res_to_user, 0, !require_rem_router(), true);
      selected_tx_id = r.selected_tx_id;
    } catch (const std::exception&) {
      host.print("❌ ERROR: Failed to produce valid response while saving. Please try again.");
      return;
    }
  }
  json* base = history_entry(t_hist.buf, selected_tx_id);
  if (!base) {
    host.print("❌ ERROR: Failed to produce valid response while saving.");
    return;
  }
  json& base_tx_full = *base;
  if (!base_tx_full.contains("explanation") && base_tx_full.contains("plot_result") &&
      base_tx_full["plot_result"].is_object()) {
    ExplanationResult ex = generate_and_display_explanation(
        base_tx_full.value("query", json()), base_tx_full.value("plot_func", json()),
        base_tx_full.value("plot_params", json()), base_tx_full["plot_result"], 0, false);
    base_tx_full["explanation"] = ex.explanation;
    // The report document is bytes; a transaction keeps whether one was made, not the file.
    base_tx_full["report"] = nullptr;
  }
  json tx = base_tx_full;  // deep copy: the history keeps its own record
  if (require_rem_router() && tx.is_object()) tx.erase("router_res");
  if (!tx.contains("query")) throw key_error("query");
  const std::string query = store_key(text_form(tx["query"]));

  AnnData& ad = require_adata();
  UnsNode stored = UnsNode::from_json(tx);
  if (ad.uns.contains("norvex_tx") && ad.uns.at("norvex_tx").is_dict()) {
    ad.uns.at("norvex_tx").dict().set(query, std::move(stored));
  } else {
    UnsDict store;
    store.set(query, std::move(stored));
    ad.uns.set("norvex_tx", UnsNode(std::move(store)));
  }
  check_saved();
}

}  // namespace norvex
