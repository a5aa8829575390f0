// The saved-transaction store inside the dataset (uns["norvex_tx"]) and its listing.
#include "norvex/history/saved_store.hpp"

#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/history/pick_keys.hpp"

namespace norvex {
namespace {

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

// The same for every mapping key inside a transaction (a cell type such as "CD4/CD8 T"
// names a table): one such key would otherwise make the whole dataset unwritable.
json storable_keys(const json& v) {
  if (Table::is_table(v)) return v;
  if (v.is_array()) {
    json out = json::array();
    for (const json& e : v) out.push_back(storable_keys(e));
    return out;
  }
  if (!v.is_object()) return v;
  json out = json::object();
  for (auto it = v.begin(); it != v.end(); ++it) {
    std::string key = it.key();
    if (key.find('/') != std::string::npos) key = store_key(key);
    out[key] = storable_keys(it.value());
  }
  return out;
}

std::string text_form(const json& v) {
  return v.is_string() ? v.get<std::string>() : dump_json(v);
}

}  // namespace

void check_saved_queries(NotebookHost& host, const AnnData& ad) {
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
    // A damaged entry (from another tool, or an older file) is named and passed over: one
    // bad entry must not block listing, and so saving, the others.
    if (!tx.is_object() || !tx.contains("plot_func") || !tx.contains("query")) {
      host.print("⚠️ WARNING: Saved query '" + utf8_prefix(key, 80) +
                 "' lacks its tool or question and is left out.");
      continue;
    }
    host.print("   " + std::to_string(++j) + ": " + text_form(tx["plot_func"]) + ", " +
               utf8_prefix(text_form(tx["query"]), 50) + " .. ");
  }
}

void store_transaction(AnnData& ad, json tx, bool drop_router_res) {
  if (drop_router_res && tx.is_object()) tx.erase("router_res");
  if (!tx.contains("query")) throw key_error("query");
  const std::string query = store_key(text_form(tx["query"]));

  UnsNode stored = UnsNode::from_json(storable_keys(to_h5_safe(tx)));
  if (ad.uns.contains("norvex_tx") && ad.uns.at("norvex_tx").is_dict()) {
    ad.uns.at("norvex_tx").dict().set(query, std::move(stored));
  } else {
    UnsDict store;
    store.set(query, std::move(stored));
    ad.uns.set("norvex_tx", UnsNode(std::move(store)));
  }
}

}  // namespace norvex
