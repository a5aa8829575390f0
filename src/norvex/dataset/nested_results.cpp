#include "norvex/dataset/nested_results.hpp"

namespace norvex {
namespace {

// Names with more "/" than this are not real cell types; it also bounds the walk.
constexpr int kMaxNameParts = 8;

void collect(const UnsDict& dict, const std::string& name, int depth,
             std::vector<NamedResults>& out) {
  bool holds_tables = false;
  for (const std::string& key : dict.keys()) holds_tables |= dict.at(key).is_table();
  if (holds_tables && !name.empty()) out.push_back({name, &dict});
  if (depth >= kMaxNameParts) return;
  for (const std::string& key : dict.keys()) {
    const UnsNode& child = dict.at(key);
    if (child.is_dict())
      collect(child.dict(), name.empty() ? key : name + "/" + key, depth + 1, out);
  }
}

}  // namespace

std::vector<std::string> NamedResults::table_keys() const {
  std::vector<std::string> keys;
  for (const std::string& key : tables->keys())
    if (tables->at(key).is_table()) keys.push_back(key);
  return keys;
}

std::vector<NamedResults> named_results(const UnsDict& results) {
  std::vector<NamedResults> out;
  collect(results, "", 0, out);
  return out;
}

std::vector<std::string> result_names(const UnsDict& results) {
  std::vector<std::string> names;
  for (const NamedResults& r : named_results(results)) names.push_back(r.name);
  return names;
}

}  // namespace norvex
