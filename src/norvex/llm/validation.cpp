#include "norvex/llm/validation.hpp"

// Schema problems must become exceptions; without this valijson aborts the process.
#define VALIJSON_USE_EXCEPTIONS 1
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>

#include <cmath>

#include "norvex/common/python_text.hpp"

namespace norvex {
namespace {

constexpr size_t kReprLimit = 200;

// The validator's own value type. Whole floats become integers, so that 7.0 satisfies
// "integer" as it does under draft 7 (and in Python's jsonschema).
nlohmann::json to_plain(const json& v) {
  switch (v.type()) {
    case json::value_t::object: {
      nlohmann::json out = nlohmann::json::object();
      for (auto it = v.begin(); it != v.end(); ++it) out[it.key()] = to_plain(it.value());
      return out;
    }
    case json::value_t::array: {
      nlohmann::json out = nlohmann::json::array();
      for (const auto& e : v) out.push_back(to_plain(e));
      return out;
    }
    case json::value_t::number_float: {
      const double d = v.get<double>();
      if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15)
        return static_cast<int64_t>(d);
      return d;
    }
    case json::value_t::string:
      return v.get<std::string>();
    case json::value_t::boolean:
      return v.get<bool>();
    case json::value_t::number_integer:
      return v.get<int64_t>();
    case json::value_t::number_unsigned:
      return v.get<uint64_t>();
    default:
      return nullptr;
  }
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Errors that only say "something below failed"; the real failure is reported beside them.
bool is_wrapper(const std::string& d) {
  return starts_with(d, "Failed to validate against schema associated with property name") ||
         starts_with(d, "Failed to validate item #") || starts_with(d, "Cannot validate item #") ||
         starts_with(d, "Failed to validate against additional properties schema") ||
         starts_with(d, "Failed to validate against schema associated with pattern") ||
         starts_with(d, "Failed to validate against child schema #") ||
         starts_with(d, "Failed to validate against additional items schema") ||
         starts_with(d, "Failed to validate against corresponding item schema");
}

// The keyword a valijson failure reports on.
std::string keyword_of(const std::string& d) {
  if (starts_with(d, "Value type not permitted")) return "type";
  if (starts_with(d, "Missing required property")) return "required";
  if (starts_with(d, "Failed to match against any enum")) return "enum";
  if (starts_with(d, "Expected number less than or equal")) return "maximum";
  if (starts_with(d, "Expected number less than")) return "exclusiveMaximum";
  if (starts_with(d, "Expected number greater than or equal")) return "minimum";
  if (starts_with(d, "Expected number greater than")) return "exclusiveMinimum";
  if (starts_with(d, "Object contains a property that could not be validated"))
    return "additionalProperties";
  if (starts_with(d, "String should be no fewer")) return "minLength";
  if (starts_with(d, "String should be no more")) return "maxLength";
  if (starts_with(d, "Array should contain no fewer")) return "minItems";
  if (starts_with(d, "Array should contain no more")) return "maxItems";
  if (d.find("'const'") != std::string::npos) return "const";
  if (d.find("'pattern'") != std::string::npos) return "pattern";
  if (d.find("anyOf") != std::string::npos) return "anyOf";
  if (d.find("oneOf") != std::string::npos) return "oneOf";
  return "";
}

std::string quoted_between(const std::string& d, const char* open, const char* close) {
  auto a = d.find(open);
  if (a == std::string::npos) return "";
  a += std::string(open).size();
  auto b = d.rfind(close);
  if (b == std::string::npos || b < a) return "";
  return d.substr(a, b - a);
}

struct Located {
  json instance;              // the failing value
  json schema;                // the sub-schema that applies to it
  std::string instance_path;  // "['flags']['plot']"
  std::string schema_path;    // "['properties']['flags']['properties']['plot']"
};

// Follows the validator's context ("<root>", "[flags]", "[0]") through instance and schema.
Located locate(const json& instance, const json& schema, const std::vector<std::string>& context) {
  Located at{instance, schema, "", ""};
  for (const std::string& step : context) {
    if (step.size() < 2 || step.front() != '[' || step.back() != ']') continue;
    const std::string key = step.substr(1, step.size() - 2);
    if (at.instance.is_array()) {
      size_t index = 0;
      try {
        index = std::stoul(key);
      } catch (...) {
        break;
      }
      at.instance = index < at.instance.size() ? at.instance[index] : json();
      at.instance_path += "[" + key + "]";
      if (at.schema.is_object() && at.schema.contains("items")) {
        at.schema = at.schema["items"];
        at.schema_path += "['items']";
      }
    } else if (at.instance.is_object()) {
      at.instance = at.instance.contains(key) ? at.instance[key] : json();
      at.instance_path += "[" + py_repr(json(key)) + "]";
      if (at.schema.is_object() && at.schema.contains("properties") &&
          at.schema["properties"].is_object() && at.schema["properties"].contains(key)) {
        at.schema = at.schema["properties"][key];
        at.schema_path += "['properties'][" + py_repr(json(key)) + "]";
      } else if (at.schema.is_object() && at.schema.contains("additionalProperties")) {
        at.schema = at.schema["additionalProperties"];
        at.schema_path += "['additionalProperties']";
      }
    }
  }
  return at;
}

json schema_entry(const json& schema, const char* key) {
  return schema.is_object() && schema.contains(key) ? schema[key] : json();
}

// The message and rule in jsonschema's words for one valijson failure.
std::pair<std::string, std::string> describe(const std::string& d, const Located& at,
                                             const std::vector<std::string>& extras) {
  const std::string inst = py_repr(at.instance, kReprLimit);
  if (starts_with(d, "Value type not permitted")) {
    const json t = schema_entry(at.schema, "type");
    std::string types;
    if (t.is_array()) {
      for (size_t i = 0; i < t.size(); ++i) types += (i ? ", " : "") + py_repr(t[i]);
    } else {
      types = py_repr(t);
    }
    return {inst + " is not of type " + types, "type"};
  }
  if (starts_with(d, "Missing required property")) {
    return {"'" + quoted_between(d, "property '", "'") + "' is a required property", "required"};
  }
  if (starts_with(d, "Failed to match against any enum values")) {
    return {inst + " is not one of " + py_repr(schema_entry(at.schema, "enum"), kReprLimit * 4),
            "enum"};
  }
  if (starts_with(d, "Expected number less than or equal to")) {
    return {inst + " is greater than the maximum of " + py_repr(schema_entry(at.schema, "maximum")),
            "maximum"};
  }
  if (starts_with(d, "Expected number less than")) {
    const json m = schema_entry(at.schema, "exclusiveMaximum");
    return {inst + " is greater than or equal to the maximum of " + py_repr(m), "exclusiveMaximum"};
  }
  if (starts_with(d, "Expected number greater than or equal to")) {
    return {inst + " is less than the minimum of " + py_repr(schema_entry(at.schema, "minimum")),
            "minimum"};
  }
  if (starts_with(d, "Expected number greater than")) {
    const json m = schema_entry(at.schema, "exclusiveMinimum");
    return {inst + " is less than or equal to the minimum of " + py_repr(m), "exclusiveMinimum"};
  }
  if (starts_with(d, "Object contains a property that could not be validated")) {
    std::string names;
    for (size_t i = 0; i < extras.size(); ++i) names += (i ? ", " : "") + py_repr(json(extras[i]));
    return {"Additional properties are not allowed (" + names +
                (extras.size() == 1 ? " was" : " were") + " unexpected)",
            "additionalProperties"};
  }
  if (starts_with(d, "String should be no fewer than"))
    return {inst + " is too short", "minLength"};
  if (starts_with(d, "String should be no more than")) return {inst + " is too long", "maxLength"};
  if (starts_with(d, "Array should contain no fewer than"))
    return {inst + " is too short", "minItems"};
  if (starts_with(d, "Array should contain no more than"))
    return {inst + " is too long", "maxItems"};
  if (starts_with(d, "Failed to match expected value set by 'const'")) {
    return {py_repr(schema_entry(at.schema, "const"), kReprLimit) + " was expected", "const"};
  }
  if (starts_with(d, "Failed to match regex")) {
    return {inst + " does not match " + py_repr(schema_entry(at.schema, "pattern")), "pattern"};
  }
  if (starts_with(d, "Failed to validate against any schemas allowed by anyOf")) {
    return {inst + " is not valid under any of the given schemas", "anyOf"};
  }
  if (d.find("oneOf") != std::string::npos ||
      starts_with(d, "Failed to validate against exactly one")) {
    return {inst + " is not valid under any of the given schemas", "oneOf"};
  }
  return {d + " (value: " + inst + ")", "schema"};
}

}  // namespace

void jsonschema_validate(const json& instance, const json& schema) {
  if (!schema.is_object() && !schema.is_boolean()) {
    throw SchemaError(py_repr(schema, kReprLimit) + " is not of type 'object', 'boolean'");
  }
  const nlohmann::json plain_schema = to_plain(schema);
  const nlohmann::json plain_instance = to_plain(instance);
  valijson::Schema compiled;
  try {
    valijson::SchemaParser parser(valijson::SchemaParser::kDraft7);
    valijson::adapters::NlohmannJsonAdapter schema_adapter(plain_schema);
    parser.populateSchema(schema_adapter, compiled);
  } catch (const std::exception& e) {
    throw SchemaError(std::string("invalid JSON schema: ") + e.what());
  }
  valijson::Validator validator;
  valijson::ValidationResults results;
  valijson::adapters::NlohmannJsonAdapter instance_adapter(plain_instance);
  bool ok;
  try {
    ok = validator.validate(compiled, instance_adapter, &results);
  } catch (const std::exception& e) {
    throw SchemaError(std::string("the schema could not be applied: ") + e.what());
  }
  if (ok) return;

  // The shallowest real failure, as jsonschema's best_match prefers; at equal depth the one
  // whose keyword comes first in the schema (the order jsonschema checks them in).
  const valijson::ValidationResults::Error* best = nullptr;
  size_t best_rank = 0;
  for (const auto& err : results) {
    if (is_wrapper(err.description)) continue;
    const json sub = locate(instance, schema, err.context).schema;
    size_t rank = 0;
    if (sub.is_object()) {
      const std::string key = keyword_of(err.description);
      for (auto it = sub.begin(); it != sub.end() && it.key() != key; ++it) ++rank;
    }
    if (!best || err.context.size() < best->context.size() ||
        (err.context.size() == best->context.size() && rank < best_rank)) {
      best = &err;
      best_rank = rank;
    }
  }
  if (!best) {
    throw ValidationError(py_repr(instance, kReprLimit) + " is not valid under the given schema");
  }
  // All unexpected properties, not only the first one reported.
  std::vector<std::string> extras;
  if (keyword_of(best->description) == "additionalProperties") {
    const Located obj = locate(instance, schema, best->context);
    const json props = schema_entry(obj.schema, "properties");
    if (obj.instance.is_object() && !obj.schema.contains("patternProperties")) {
      for (auto it = obj.instance.begin(); it != obj.instance.end(); ++it)
        if (!props.is_object() || !props.contains(it.key())) extras.push_back(it.key());
    }
    if (extras.empty()) extras.push_back(quoted_between(best->description, "constraints: '", "'"));
  }
  const Located at = locate(instance, schema, best->context);
  const auto [message, rule] = describe(best->description, at, extras);
  throw ValidationError(message + "\n\nFailed validating '" + rule + "' in schema" +
                        at.schema_path + ":\n    " + py_repr(at.schema, kReprLimit) +
                        "\n\nOn instance" + at.instance_path + ":\n    " +
                        py_repr(at.instance, kReprLimit));
}

}  // namespace norvex
