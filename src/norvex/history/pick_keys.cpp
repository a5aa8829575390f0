#include "norvex/history/pick_keys.hpp"

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/errors.hpp"

namespace norvex {

json pick_keys(const json& src, const std::vector<std::string>& keys) {
  if (!src.is_object())
    throw TypeError(std::string("pick_keys() needs a mapping, not ") + src.type_name());
  json out = json::object();
  for (const auto& k : keys)
    if (src.contains(k)) out[k] = src[k];
  return out;
}

json to_h5_safe(const json& x) {
  if (is_record(x)) return to_h5_safe(record_fields(x));
  if (x.is_array()) {
    json out = json::array();
    for (auto& e : x) out.push_back(to_h5_safe(e));
    return out;
  }
  if (x.is_object()) {
    json out = json::object();
    for (auto it = x.begin(); it != x.end(); ++it) out[it.key()] = to_h5_safe(it.value());
    return out;
  }
  return x;
}

}  // namespace norvex
