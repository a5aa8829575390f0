#include "norvex/assistant/arguments.hpp"

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/common/table.hpp"

namespace norvex {

namespace {

void require_mapping_or_null(const json& v, const char* name, const char* fn) {
  if (v.is_null() || is_plain_mapping(v)) return;
  throw TypeError(std::string(fn) + "() argument '" + name + "' must be dict or None, not " +
                  py_type_name(v));
}

std::string tool_key(const json& tool_name, const char* fn) {
  if (tool_name.is_null()) return {};
  if (!tool_name.is_string())
    throw TypeError(std::string(fn) + "() argument 'tool_name' must be str or None, not " +
                    py_type_name(tool_name));
  return tool_name.get<std::string>();
}

json asdict_value(const json& v) {
  if (is_record(v)) {
    json out = json::object();
    const json fields = record_fields(v);  // kept alive while iterating
    for (auto& [k, f] : fields.items()) out[k] = asdict_value(f);
    return out;
  }
  if (v.is_array()) {
    json out = json::array();
    for (auto& e : v) out.push_back(asdict_value(e));
    return out;
  }
  if (is_plain_mapping(v)) {
    json out = json::object();
    for (auto& [k, f] : v.items()) out[k] = asdict_value(f);
    return out;
  }
  return v;
}

}  // namespace

bool is_plain_mapping(const json& value) {
  return value.is_object() && !is_record(value) && !Table::is_table(value);
}

json deep_merge(const json& defaults, const json& patch) {
  require_mapping_or_null(defaults, "defaults", "_deep_merge");
  if (!is_plain_mapping(patch))
    throw TypeError(std::string("_deep_merge() argument 'patch' must be dict, not ") +
                    py_type_name(patch));
  json out = defaults.is_null() ? json::object() : defaults;
  for (auto it = patch.begin(); it != patch.end(); ++it) {
    const json& v = it.value();
    if (v.is_null()) continue;
    if (is_plain_mapping(v) && out.contains(it.key()) && is_plain_mapping(out[it.key()]))
      out[it.key()] = deep_merge(out[it.key()], v);
    else
      out[it.key()] = v;
  }
  return out;
}

json coerce_tool_configs(const json& tool_name, const json& args,
                         const ToolConfigMap& Tool_config_map) {
  const std::string name = tool_key(tool_name, "_coerce_tool_configs");
  require_mapping_or_null(args, "args", "_coerce_tool_configs");
  json out = args.is_null() ? json::object() : args;
  auto entry = Tool_config_map.find(name);
  if (entry == Tool_config_map.end()) return out;
  for (const auto& [key, cls] : entry->second.classes) {
    if (!out.contains(key)) continue;
    const json v = out[key];
    if (v.is_null()) {
      out.erase(key);
    } else if (is_record(v)) {
      continue;
    } else if (is_plain_mapping(v)) {
      if (!cls) throw TypeError("no record class for argument '" + key + "' of " + name);
      out[key] = cls->make(v);
    } else {
      out.erase(key);
    }
  }
  return out;
}

MaterializedArgs materialize_tool_args(const json& tool_name, const json& ai_args,
                                       const json& tool_defaults,
                                       const ToolConfigMap& Tool_config_map) {
  const std::string name = tool_key(tool_name, "_materialize_tool_args");
  if (!is_plain_mapping(tool_defaults))
    throw TypeError(std::string("_materialize_tool_args() argument 'tool_defaults' must be "
                                "dict, not ") +
                    py_type_name(tool_defaults));
  require_mapping_or_null(ai_args, "ai_args", "_materialize_tool_args");
  json base = tool_defaults.contains(name) ? tool_defaults[name] : json::object();
  json patch = ai_args.is_null() ? json::object() : ai_args;
  MaterializedArgs out;
  out.full_args_dict = deep_merge(base, patch);
  out.exec_args = coerce_tool_configs(tool_name, out.full_args_dict, Tool_config_map);
  return out;
}

json filter_kwargs_for_fn(const ToolFunction& fn, const json& kwargs,
                          const std::optional<std::string>& tool_name,
                          const ToolConfigMap* Tool_config_map) {
  if (!kwargs.is_object())
    throw TypeError(std::string("_filter_kwargs_for_fn() argument 'kwargs' must be dict, not ") +
                    py_type_name(kwargs));
  auto keep = [&](auto&& allowed) {
    json out = json::object();
    for (auto it = kwargs.begin(); it != kwargs.end(); ++it)
      if (allowed(it.key())) out[it.key()] = it.value();
    return out;
  };
  if (!fn.param_names.empty()) {
    return keep([&](const std::string& k) {
      for (auto& p : fn.param_names)
        if (p == k) return true;
      return false;
    });
  }
  // The callable cannot say what it accepts: fall back to what the config map declares.
  if (!tool_name || !Tool_config_map) return kwargs;
  std::vector<std::string> allowed;
  auto entry = Tool_config_map->find(*tool_name);
  if (entry != Tool_config_map->end()) {
    for (auto& [arg, cls] : entry->second.classes) allowed.push_back(arg);
    if (entry->second.allowed_kwargs)
      for (auto& a : *entry->second.allowed_kwargs) allowed.push_back(a);
  }
  if (allowed.empty()) return kwargs;
  return keep([&](const std::string& k) {
    for (auto& a : allowed)
      if (a == k) return true;
    return false;
  });
}

json drop_nones(const json& obj) {
  if (obj.is_array()) {
    json out = json::array();
    for (auto& e : obj) out.push_back(drop_nones(e));
    return out;
  }
  if (!is_plain_mapping(obj)) return obj;
  json out = json::object();
  for (auto it = obj.begin(); it != obj.end(); ++it)
    if (!it.value().is_null()) out[it.key()] = drop_nones(it.value());
  return out;
}

json asdict_safe(const json& x) {
  return is_record(x) ? asdict_value(x) : x;
}

}  // namespace norvex
