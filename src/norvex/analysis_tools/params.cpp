#include "norvex/analysis_tools/params.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"

namespace norvex::detail {

namespace {

const char* base_annotation(ValueType t) {
  switch (t) {
    case ValueType::text:
      return "str";
    case ValueType::integer:
      return "int";
    case ValueType::number:
      return "float";
    case ValueType::boolean:
      return "bool";
    case ValueType::text_list:
      return "list[str]";
  }
  return "";
}

const char* schema_type(ValueType t) {
  switch (t) {
    case ValueType::text:
      return "string";
    case ValueType::integer:
      return "integer";
    case ValueType::number:
      return "number";
    case ValueType::boolean:
      return "boolean";
    case ValueType::text_list:
      return "array";
  }
  return "";
}

bool is_whole(double d) {
  return std::isfinite(d) && std::fabs(d) < 9.2e18 && d == std::trunc(d);
}

// The values a record class accepts for an annotation (see RecordClass::make): ints also
// as integral floats, floats also as ints.
bool fits(ValueType t, const json& v) {
  switch (t) {
    case ValueType::text:
      return v.is_string();
    case ValueType::integer:
      return v.is_number_integer() || (v.is_number_float() && is_whole(v.get<double>()));
    case ValueType::number:
      return v.is_number();
    case ValueType::boolean:
      return v.is_boolean();
    case ValueType::text_list:
      if (!v.is_array()) return false;
      for (const auto& e : v)
        if (!e.is_string()) return false;
      return true;
  }
  return false;
}

bool is_numeric(ValueType t) {
  return t == ValueType::integer || t == ValueType::number;
}

std::string bound_text(const json& b) {
  if (b.is_number_integer()) return b.dump();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", b.get<double>());
  return buf;
}

std::string range_text(const json& lo, const json& hi) {
  if (!lo.is_null() && !hi.is_null()) return "between " + bound_text(lo) + " and " + bound_text(hi);
  if (!lo.is_null()) return "at least " + bound_text(lo);
  return "at most " + bound_text(hi);
}

std::string values_text(const std::vector<std::string>& values) {
  std::string out;
  for (const auto& v : values) out += (out.empty() ? "" : ", ") + py_repr(json(v));
  return out;
}

// -1 below the range, 1 above, 0 inside.
int outside(const json& v, const json& lo, const json& hi) {
  const double x = v.get<double>();
  if (!lo.is_null() && x < lo.get<double>()) return -1;
  if (!hi.is_null() && x > hi.get<double>()) return 1;
  return 0;
}

bool is_allowed(const json& v, const std::vector<std::string>& allowed) {
  return allowed.empty() ||
         std::find(allowed.begin(), allowed.end(), v.get<std::string>()) != allowed.end();
}

json object_schema(json properties, const std::string& description) {
  json s{{"type", "object"}};
  if (!description.empty()) s["description"] = description;
  s["properties"] = std::move(properties);
  s["additionalProperties"] = false;
  return s;
}

std::set<std::string>& not_built_tools() {
  static std::set<std::string> names;
  return names;
}

}  // namespace

std::string ParamSpec::annotation() const {
  const std::string base = base_annotation(type);
  return optional ? "Optional[" + base + "]" : base;
}

json ParamSpec::schema() const {
  json p{{"type", schema_type(type)}};
  if (type == ValueType::text_list) p["items"] = json{{"type", "string"}};
  if (!allowed.empty()) p["enum"] = allowed;
  if (!description.empty())
    p["description"] = description;
  else if (!default_value.is_null())
    p["description"] = "Default: " + default_value.dump() + ".";
  if (!minimum.is_null()) p["minimum"] = minimum;
  if (!maximum.is_null()) p["maximum"] = maximum;
  return p;
}

json ParamSpec::read(const json* given, const std::string& path) const {
  if (!given) return default_value;
  json v = *given;
  if (single_text_as_list && v.is_string()) v = json::array({v});
  if (v.is_null()) {
    if (optional) return v;
    throw TypeError(path + " must be " + annotation() + ", got None");
  }
  if (!fits(type, v))
    throw TypeError(path + " must be " + annotation() + ", got " + py_repr(v, 80));
  if (type == ValueType::integer && v.is_number_float()) v = json(v.get<long long>());
  if ((v.is_string() && v.get_ref<const std::string&>().empty()) || (v.is_array() && v.empty()))
    return default_value;
  if (is_numeric(type)) {
    if (const int side = outside(v, minimum, maximum)) {
      if (range_enforce == Enforce::reject)
        throw ValueError(path + " must be " + range_text(minimum, maximum) + ", got " + py_repr(v));
      if (range_enforce == Enforce::clamp) v = side < 0 ? minimum : maximum;
    }
  }
  if (type == ValueType::text && allowed_enforce == Enforce::reject && !is_allowed(v, allowed))
    throw ValueError(path + " must be one of " + values_text(allowed) + ", got " + py_repr(v));
  return v;
}

void ParamSpec::check_declaration(const std::string& owner) {
  const std::string where = owner.empty() ? name : owner + "." + name;
  auto fault = [&](const std::string& what) {
    throw std::logic_error("parameter table: " + where + ": " + what);
  };
  if (name.empty()) fault("a parameter needs a name");
  if (name == "__class__") fault("'__class__' is the record tag, not a parameter name");
  if (single_text_as_list && type != ValueType::text_list)
    fault("single_text_as_list is for list[str] parameters");
  if (!minimum.is_null() || !maximum.is_null()) {
    if (!is_numeric(type)) fault("a range needs an int or float parameter");
    for (const json* b : {&minimum, &maximum})
      if (type == ValueType::integer && !b->is_null() && !b->is_number_integer())
        fault("the range of an int parameter needs whole bounds");
    if (!minimum.is_null() && !maximum.is_null() && minimum.get<double>() > maximum.get<double>())
      fault("the range is empty");
  }
  if (!allowed.empty()) {
    if (type != ValueType::text) fault("allowed values are for str parameters");
    if (allowed_enforce == Enforce::clamp) fault("allowed values cannot be clamped");
  }
  if (default_value.is_null()) {
    if (!optional) fault("a None default needs an optional member");
    return;
  }
  if (!fits(type, default_value))
    fault("default " + default_value.dump() + " is not a " + annotation());
  if (type == ValueType::number) default_value = json(default_value.get<double>());
  if (type == ValueType::integer) default_value = json(default_value.get<long long>());
  if (is_numeric(type) && outside(default_value, minimum, maximum))
    fault("default " + default_value.dump() + " is not " + range_text(minimum, maximum));
  if (type == ValueType::text && !is_allowed(default_value, allowed))
    fault("default " + default_value.dump() + " is not one of " + values_text(allowed));
}

std::shared_ptr<const RecordClass> make_record_class(
    const std::string& class_name, std::vector<ParamSpec*> specs,
    const std::vector<std::ptrdiff_t>& member_offsets) {
  if (class_name.empty()) throw std::logic_error("parameter table: a record class needs a name");
  auto cls = std::make_shared<RecordClass>();
  cls->name = class_name;
  for (size_t i = 0; i < specs.size(); ++i) {
    ParamSpec& s = *specs[i];
    s.check_declaration(class_name);
    for (size_t j = 0; j < i; ++j) {
      if (specs[j]->name == s.name)
        throw std::logic_error("parameter table: " + class_name + " declares '" + s.name +
                               "' twice");
      if (member_offsets[j] == member_offsets[i])
        throw std::logic_error("parameter table: " + class_name + "." + s.name +
                               " is bound to the member of " + specs[j]->name);
    }
    cls->fields.push_back(RecordClass::Field{s.name, s.annotation(), s.default_value});
  }
  return cls;
}

json record_schema(const RecordClass& cls, const std::string& purpose,
                   const std::vector<const ParamSpec*>& specs) {
  json props = json::object();
  for (const auto* s : specs) props[s->name] = s->schema();
  return object_schema(std::move(props),
                       purpose.empty() ? cls.name + "." : purpose + " (" + cls.name + ").");
}

json record_argument_fields(const json* given, const std::string& path, const RecordClass& cls) {
  if (!given) return json::object();
  const json& v = *given;
  json fields;
  if (is_record(v)) {
    if (record_class_name(v) != cls.name)
      throw TypeError(path + " must be a " + cls.name +
                      " or a mapping of its fields, got a record of class " + record_class_name(v));
    fields = record_fields(v);
  } else if (v.is_object()) {
    fields = v;
  } else {
    throw TypeError(path + " must be a " + cls.name + " or a mapping of its fields, got " +
                    py_repr(v, 80));
  }
  for (auto it = fields.begin(); it != fields.end(); ++it) {
    if (it.key() == "__class__" || cls.has_field(it.key())) continue;
    std::string names;
    for (const auto& f : cls.fields) names += (names.empty() ? "" : ", ") + f.name;
    throw TypeError(path + " has no field " + py_repr(json(it.key())) + "; " + cls.name +
                    " fields: " + names);
  }
  return fields;
}

ToolRegistration tool_registration(const std::string& name, const std::string& definition,
                                   const std::vector<const ToolArgInfo*>& args) {
  ToolRegistration r;
  r.name = name;
  r.definition = definition;
  json props = json::object();
  std::vector<std::string> allowed;
  for (const auto* a : args) {
    if (a->name == "show" || props.contains(a->name))
      throw std::logic_error("parameter table: tool " + name + " declares '" + a->name +
                             (a->name == "show" ? "', which every tool takes" : "' twice"));
    r.function.param_names.push_back(a->name);
    if (a->record) {
      r.config.classes[a->name] = a->record;
    } else {
      r.function.param_defaults[a->name] = a->plain->default_value;
      allowed.push_back(a->name);
    }
    props[a->name] = a->schema;
  }
  r.function.param_names.push_back("show");
  allowed.push_back("show");
  r.config.allowed_kwargs = allowed;
  r.args_schema = object_schema(std::move(props), "");
  return r;
}

void register_not_built(const std::string& name, const std::string& spec, ToolRegistration r) {
  r.definition = "Tool: " + name + "\n" + spec +
                 "\n(This tool is not available yet; plan its arguments as usual.)";
  r.function.ensure_runnable = [name] {
    std::string built;
    for (const auto& t : tool_names())
      if (!not_built_tools().count(t)) built += (built.empty() ? "" : ", ") + t;
    throw RuntimeError("Tool '" + name + "' is not available yet in this version of norvex. " +
                       "Available tools: " + built + ".");
  };
  r.function.fn = [check = r.function.ensure_runnable](AnnData&, const json&) -> json {
    check();
    return nullptr;
  };
  not_built_tools().insert(name);
  norvex::register_tool(std::move(r));
}

}  // namespace norvex::detail
