#include "norvex/llm/json_helpers.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/common/text.hpp"

namespace norvex {
namespace {

// The same white space as an RE2 pattern over bytes (Latin-1 mode), for Python's \s.
const char* kPySpace =
    "(?:[\\t\\n\\x0b\\x0c\\r \\x1c-\\x1f]|\\xc2[\\x85\\xa0]|\\xe1\\x9a\\x80|"
    "\\xe2\\x80[\\x80-\\x8a\\xa8\\xa9\\xaf]|\\xe2\\x81\\x9f|\\xe3\\x80\\x80)";

// Byte-oriented, so that invalid UTF-8 in model output can neither stop a match nor fail.
std::unique_ptr<RE2> compile(const std::string& pattern) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_dot_nl(true);
  options.set_log_errors(false);
  options.set_max_mem(int64_t(64) << 20);
  auto re = std::make_unique<RE2>(pattern, options);
  if (!re->ok()) throw RuntimeError("bad regular expression: " + re->error());
  return re;
}

const RE2& leading_fence() {
  static const auto re = compile(std::string("^```[a-zA-Z0-9_-]*") + kPySpace + "*");
  return *re;
}
const RE2& trailing_fence() {
  static const auto re = compile(std::string(kPySpace) + "*```$");
  return *re;
}
const RE2& json_span() {
  static const auto re = compile(R"((\{.*\}|\[.*\]))");
  return *re;
}

[[noreturn]] void wrong_argument(const char* function, const char* name, const char* expected,
                                 const json& got) {
  throw TypeError(std::string(function) + "() argument '" + name + "' must be " + expected +
                  ", not " + py_type_name(got));
}

[[noreturn]] void no_get(const json& value) {
  throw AttributeError(std::string("'") + py_type_name(value) + "' object has no attribute 'get'");
}

// `for name in value` as Python would run it over a "required" entry.
std::vector<json> iterate(const json& value) {
  std::vector<json> out;
  if (value.is_array()) {
    for (const auto& v : value) out.push_back(v);
  } else if (value.is_object()) {
    for (auto it = value.begin(); it != value.end(); ++it) out.push_back(it.key());
  } else if (value.is_string()) {
    const std::string s = value.get<std::string>();
    for (size_t i = 0; i < s.size();) {
      char32_t cp;
      size_t n = decode_utf8_at(s, i, cp);
      if (n == 0) n = 1;
      out.push_back(s.substr(i, n));
      i += n;
    }
  } else {
    throw TypeError(std::string("'") + py_type_name(value) + "' object is not iterable");
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- extraction

std::string extract_json_object(const std::string& text) {
  std::string s = py_strip(text);
  if (s.rfind("```", 0) == 0) {
    RE2::Replace(&s, leading_fence(), "");
    RE2::Replace(&s, trailing_fence(), "");
    s = py_strip(s);
  }
  if (!s.empty() &&
      ((s.front() == '{' && s.back() == '}') || (s.front() == '[' && s.back() == ']')))
    return s;
  re2::StringPiece match;
  if (RE2::PartialMatch(s, json_span(), &match)) return py_strip(match);
  return s;
}

std::string extract_json_object(const char* text) {
  return extract_json_object(std::string(text ? text : ""));
}

std::string extract_json_object(const json& text) {
  if (text.is_null()) return "";
  if (!text.is_string()) wrong_argument("_extract_json_object", "text", "str", text);
  return extract_json_object(text.get_ref<const std::string&>());
}

// ---------------------------------------------------------------- clean-up

json drop_nones_keep_required(const json& data, const json& schema) {
  if (!schema.is_object()) wrong_argument("_drop_nones_keep_required", "schema", "dict", schema);
  if (data.is_array()) {
    const json items = schema.contains("items") ? schema["items"] : json::object();
    json out = json::array();
    for (const auto& x : data) out.push_back(drop_nones_keep_required(x, items));
    return out;
  }
  if (!data.is_object()) return data;
  std::vector<std::string> required;
  if (schema.contains("required")) {
    for (const auto& name : iterate(schema["required"])) {
      if (name.is_array() || name.is_object())
        throw TypeError(std::string("unhashable type: '") + py_type_name(name) + "'");
      if (name.is_string()) required.push_back(name.get<std::string>());
    }
  }
  static const json empty = json::object();
  const json& props = schema.contains("properties") && schema["properties"].is_object()
                          ? schema["properties"]
                          : empty;
  json out = json::object();
  for (auto it = data.begin(); it != data.end(); ++it) {
    const std::string& k = it.key();
    const json& v = it.value();
    if (v.is_null()) {
      if (std::find(required.begin(), required.end(), k) != required.end()) out[k] = nullptr;
      continue;
    }
    out[k] = drop_nones_keep_required(v, props.contains(k) ? props[k] : empty);
  }
  return out;
}

json& ensure_required_defaults(json& data, const json& schema) {
  if (!data.is_object()) wrong_argument("_ensure_required_defaults", "data", "dict", data);
  if (!schema.is_object()) wrong_argument("_ensure_required_defaults", "schema", "dict", schema);
  const json required = schema.contains("required") ? schema["required"] : json::array();
  const json props = schema.contains("properties") ? schema["properties"] : json::object();
  for (const auto& name : iterate(required)) {
    if (!name.is_string())
      throw TypeError(std::string("required property names must be str, not ") +
                      py_type_name(name));
    const std::string k = name.get<std::string>();
    if (data.contains(k)) continue;
    if (!props.is_object()) no_get(props);
    const json spec = props.contains(k) ? props[k] : json::object();
    if (!spec.is_object()) no_get(spec);
    const json t = spec.contains("type") ? spec["type"] : json();
    bool list_with_null = false;
    if (t.is_array()) list_with_null = std::find(t.begin(), t.end(), json("null")) != t.end();
    if (t == "array") {
      data[k] = json::array();
    } else if (t == "object") {
      data[k] = json::object();
    } else if (list_with_null) {
      data[k] = nullptr;
    } else if (t == "string") {
      data[k] = "";
    } else if (t == "boolean") {
      data[k] = false;
    } else if (t == "number") {
      data[k] = 0.0;
    } else if (t == "integer") {
      data[k] = 0;
    } else {
      data[k] = nullptr;
    }
  }
  return data;
}

// ---------------------------------------------------------------- schema as prompt text

std::string schema_dict_to_prompt_text(const json& schema, long long max_len) {
  try {
    const std::string full = dump_json(schema, 2);
    if (static_cast<long long>(utf8_length(full)) <= max_len) return full;
  } catch (...) {
    // Fall through to the summary.
  }
  if (!schema.is_object()) no_get(schema);
  std::vector<std::string> lines = {"{", "  \"type\": \"object\","};
  if (schema.contains("required")) {
    const json& req = schema["required"];
    const bool truthy = !(req.is_null() || (req.is_boolean() && !req.get<bool>()) ||
                          (req.is_number() && req.get<double>() == 0) ||
                          ((req.is_array() || req.is_object() || req.is_string()) && req.empty()) ||
                          (req.is_string() && req.get_ref<const std::string&>().empty()));
    if (truthy) lines.push_back("  \"required\": " + py_str(req) + ",");
  }
  lines.push_back("  \"properties\": {");
  static const json empty = json::object();
  const json& props = schema.contains("properties") && schema["properties"].is_object()
                          ? schema["properties"]
                          : empty;
  size_t i = 0;
  for (auto it = props.begin(); it != props.end() && i < 30; ++it, ++i) {
    const json& v = it.value();
    std::string t = "any";
    if (v.is_object() && v.contains("type")) t = py_str(v["type"]);
    lines.push_back("    \"" + it.key() + "\": {\"type\": " + t + "},");
  }
  if (props.size() > 30)
    lines.push_back("    \"...\": \"(+" + std::to_string(props.size() - 30) + " more)\"");
  lines.push_back("  }");
  lines.push_back("}");
  std::string out;
  for (size_t k = 0; k < lines.size(); ++k) {
    if (k) out += "\n";
    out += lines[k];
  }
  return out;
}

}  // namespace norvex
