#include "norvex/analysis_tools/registry.hpp"

#include <mutex>

#include "norvex/analysis_tools/builtin_tools.hpp"
#include "norvex/common/errors.hpp"

namespace norvex {

namespace {

constexpr const char* kClassTag = "__class__";

// The type annotation without an Optional[...] wrapper, and whether null is allowed.
std::pair<std::string, bool> strip_optional(const std::string& type) {
  const std::string prefix = "Optional[";
  if (type.rfind(prefix, 0) == 0 && type.back() == ']')
    return {type.substr(prefix.size(), type.size() - prefix.size() - 1), true};
  return {type, false};
}

bool value_fits(const json& v, const std::string& type) {
  if (type == "Any" || type.empty()) return true;
  if (type == "str") return v.is_string();
  if (type == "bool") return v.is_boolean();
  if (type == "int") {
    if (v.is_number_integer()) return true;
    return v.is_number_float() && v.get<double>() == static_cast<double>(v.get<long long>());
  }
  if (type == "float") return v.is_number();
  if (type == "dict") return v.is_object();
  if (type == "list" || type.rfind("list[", 0) == 0) {
    if (!v.is_array()) return false;
    if (type == "list") return true;
    std::string inner = type.substr(5, type.size() - 6);
    for (auto& e : v)
      if (!value_fits(e, inner)) return false;
    return true;
  }
  return true;  // annotations we do not check (records, unions) are taken as they are
}

json normalise_value(const json& v, const std::string& type) {
  // Integral floats for int fields come from models writing 10.0; keep them integers.
  if (type == "int" && v.is_number_float()) return json(v.get<long long>());
  return v;
}

bool same_fields(const RecordClass& a, const RecordClass& b) {
  if (a.fields.size() != b.fields.size()) return false;
  for (size_t i = 0; i < a.fields.size(); ++i)
    if (a.fields[i].name != b.fields[i].name || a.fields[i].type != b.fields[i].type ||
        a.fields[i].default_value != b.fields[i].default_value)
      return false;
  return true;
}

struct Registry {
  std::vector<std::string> names;
  ToolFuncs funcs;
  ToolConfigMap config_map;
  std::map<std::string, std::string> defs;
  std::map<std::string, json> schemas;
  std::map<std::string, std::map<std::string, std::shared_ptr<const RecordClass>>> config_names;
  std::map<std::string, std::shared_ptr<const RecordClass>> classes;
};

Registry& raw_registry() {
  static Registry r;
  return r;
}

// The built-in tools register on first use, not through static constructors, so the
// maps are complete whatever the link and initialisation order.
Registry& registry() {
  static std::once_flag once;
  std::call_once(once, [] { detail::register_builtin_tools(); });
  return raw_registry();
}

}  // namespace

json RecordClass::make(const json& kwargs) const {
  if (!kwargs.is_object())
    throw TypeError(name + "() argument must be a mapping of field values, not " +
                    std::string(kwargs.type_name()));
  for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
    if (it.key() == kClassTag) continue;
    if (!has_field(it.key()))
      throw TypeError(name + ".__init__() got an unexpected keyword argument '" + it.key() + "'");
  }
  json out = json::object();
  out[kClassTag] = name;
  for (const auto& f : fields) {
    if (!kwargs.contains(f.name)) {
      out[f.name] = f.default_value;
      continue;
    }
    const json& v = kwargs[f.name];
    auto [base, optional] = strip_optional(f.type);
    if (v.is_null()) {
      if (!optional && !f.default_value.is_null())
        throw TypeError(name + " field '" + f.name + "' must be " + f.type + ", not None");
      out[f.name] = nullptr;
      continue;
    }
    if (!value_fits(v, base))
      throw TypeError(name + " field '" + f.name + "' must be " + f.type + ", got " + dump_json(v));
    out[f.name] = normalise_value(v, base);
  }
  return out;
}

bool RecordClass::has_field(const std::string& field) const {
  for (const auto& f : fields)
    if (f.name == field) return true;
  return false;
}

bool is_record(const json& value) {
  return value.is_object() && value.contains(kClassTag) && value[kClassTag].is_string();
}

std::string record_class_name(const json& value) {
  if (!is_record(value)) throw TypeError("value is not a configuration record");
  return value[kClassTag].get<std::string>();
}

json record_fields(const json& value) {
  if (!is_record(value)) throw TypeError("value is not a configuration record");
  json out = json::object();
  for (auto it = value.begin(); it != value.end(); ++it)
    if (it.key() != kClassTag) out[it.key()] = it.value();
  return out;
}

const std::vector<std::string>& tool_names() {
  return registry().names;
}
const ToolFuncs& builtin_tool_funcs() {
  return registry().funcs;
}
const ToolConfigMap& builtin_tool_config_map() {
  return registry().config_map;
}
const std::map<std::string, std::string>& function_def_registry() {
  return registry().defs;
}
const std::map<std::string, json>& func_args_schema_registry() {
  return registry().schemas;
}
const std::map<std::string, std::map<std::string, std::shared_ptr<const RecordClass>>>&
config_name_to_class_map() {
  return registry().config_names;
}
const std::map<std::string, std::shared_ptr<const RecordClass>>& record_classes() {
  return registry().classes;
}

ToolDefaults build_tool_defaults_v3(const ToolFuncs& tool_funcs,
                                    const ToolConfigMap& tool_config_map) {
  json out = json::object();
  for (const auto& [tool, fn] : tool_funcs) {
    json defaults = json::object();
    auto cfg = tool_config_map.find(tool);
    // Signature order first, so the defaults read like the call.
    for (const auto& p : fn.param_names) {
      if (cfg != tool_config_map.end()) {
        auto cls = cfg->second.classes.find(p);
        if (cls != cfg->second.classes.end() && cls->second) {
          defaults[p] = record_fields(cls->second->defaults());
          continue;
        }
      }
      if (fn.param_defaults.contains(p)) defaults[p] = fn.param_defaults[p];
    }
    if (cfg != tool_config_map.end()) {
      for (const auto& [arg, cls] : cfg->second.classes)
        if (cls && !defaults.contains(arg)) defaults[arg] = record_fields(cls->defaults());
    }
    out[tool] = std::move(defaults);
  }
  return out;
}

void register_tool(ToolRegistration registration) {
  Registry& r = raw_registry();
  const std::string name = registration.name;
  if (r.funcs.count(name)) throw ValueError("tool '" + name + "' is already registered");
  for (const auto& [arg, cls] : registration.config.classes) {
    if (!cls) continue;
    auto known = r.classes.find(cls->name);
    if (known != r.classes.end() && !same_fields(*known->second, *cls))
      throw ValueError("tool '" + name + "': record class '" + cls->name +
                       "' is already registered with other fields");
  }
  r.names.push_back(name);
  std::map<std::string, std::shared_ptr<const RecordClass>> by_class;
  for (const auto& [arg, cls] : registration.config.classes) {
    if (!cls) continue;
    by_class[cls->name] = cls;
    r.classes[cls->name] = cls;
  }
  r.config_names[name] = std::move(by_class);
  r.funcs[name] = std::move(registration.function);
  r.config_map[name] = std::move(registration.config);
  r.defs[name] = std::move(registration.definition);
  r.schemas[name] = std::move(registration.args_schema);
}

}  // namespace norvex
