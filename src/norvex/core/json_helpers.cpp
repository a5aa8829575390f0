#include "norvex/core/json_helpers.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "norvex/common/errors.hpp"

namespace norvex {
namespace {

// ---------------------------------------------------------------- UTF-8 and white space

// Decodes one UTF-8 sequence at text[i]; returns its length, or 0 when it is invalid.
size_t decode_utf8(std::string_view text, size_t i, char32_t& cp) {
  const unsigned char c = text[i];
  size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char cc = text[i + k];
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  return len;
}

// Python's str.isspace().
bool is_py_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

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
      size_t n = decode_utf8(s, i, cp);
      if (n == 0) n = 1;
      out.push_back(s.substr(i, n));
      i += n;
    }
  } else {
    throw TypeError(std::string("'") + py_type_name(value) + "' object is not iterable");
  }
  return out;
}

// ---------------------------------------------------------------- repr

void append_str_repr(std::string& out, const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos;
  const bool has_double = s.find('"') != std::string::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  out += quote;
  char buf[8];
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    const size_t n = decode_utf8(s, i, cp);
    if (n == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned char>(s[i]));
      out += buf;
      ++i;
      continue;
    }
    if (cp == '\\') {
      out += "\\\\";
    } else if (cp == static_cast<char32_t>(quote)) {
      out += '\\';
      out += quote;
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  out += quote;
}

void append_repr(std::string& out, const json& v, size_t budget) {
  if (out.size() > budget) return;  // the caller cuts; no need to render further
  switch (v.type()) {
    case json::value_t::null:
      out += "None";
      break;
    case json::value_t::boolean:
      out += v.get<bool>() ? "True" : "False";
      break;
    case json::value_t::string:
      append_str_repr(out, v.get_ref<const std::string&>());
      break;
    case json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& e : v) {
        if (!first) out += ", ";
        first = false;
        append_repr(out, e, budget);
        if (out.size() > budget) return;
      }
      out += ']';
      break;
    }
    case json::value_t::object: {
      out += '{';
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        append_str_repr(out, it.key());
        out += ": ";
        append_repr(out, it.value(), budget);
        if (out.size() > budget) return;
      }
      out += '}';
      break;
    }
    default:
      out += v.dump();
  }
}

// ---------------------------------------------------------------- JSON decode errors

struct Position {
  size_t char_index, line, column;
};

Position position_of(const std::string& text, size_t byte) {
  byte = std::min(byte, text.size());
  Position p{0, 1, 0};
  size_t last_newline_char = 0;
  bool seen_newline = false;
  for (size_t i = 0; i < byte; ++i) {
    const unsigned char c = text[i];
    if ((c & 0xC0) == 0x80) continue;
    if (c == '\n') {
      ++p.line;
      last_newline_char = p.char_index;
      seen_newline = true;
    }
    ++p.char_index;
  }
  p.column = seen_newline ? p.char_index - last_newline_char : p.char_index + 1;
  return p;
}

[[noreturn]] void decode_error(const std::string& what, const std::string& text, size_t byte) {
  const Position p = position_of(text, byte);
  throw JSONDecodeError(what + ": line " + std::to_string(p.line) + " column " +
                        std::to_string(p.column) + " (char " + std::to_string(p.char_index) + ")");
}

bool is_json_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_literal_char(char c) {
  const unsigned char u = c;
  return std::isalnum(u) || c == '+' || c == '-' || c == '.' || u >= 0x80;
}

// Index of the quote opening the string whose last quote (or end) is before `end`.
size_t opening_quote(const std::string& text, size_t end) {
  for (size_t i = std::min(end, text.size()); i-- > 0;) {
    if (text[i] != '"') continue;
    size_t backslashes = 0;
    for (size_t k = i; k > 0 && text[k - 1] == '\\'; --k) ++backslashes;
    if (backslashes % 2 == 0) return i;
  }
  return 0;
}

// Start of the token on which the parser stopped (where Python's json points).
size_t token_start(const std::string& text, size_t last) {
  if (last >= text.size()) return text.size();
  size_t i = last;
  while (i > 0 && is_json_space(text[i])) --i;
  if (text[i] == '"') return opening_quote(text, i);
  if (!is_literal_char(text[i])) return i;
  while (i > 0 && is_literal_char(text[i - 1])) --i;
  return i;
}

// Translates the parser's report into Python's json wording and position.
[[noreturn]] void translate_parse_error(const json::parse_error& e, const std::string& text) {
  const std::string m = e.what();
  const size_t last = e.byte == 0 ? 0 : e.byte - 1;  // index of the last byte read
  const size_t at = std::min(last, text.size());
  const size_t start = token_start(text, last);
  auto has = [&](const char* s) { return m.find(s) != std::string::npos; };
  if (has("missing closing quote"))
    decode_error("Unterminated string starting at", text, opening_quote(text, text.size()));
  if (has("control character")) decode_error("Invalid control character at", text, at);
  if (has("\\u")) decode_error("Invalid \\uXXXX escape", text, at);
  if (has("forbidden character after backslash")) decode_error("Invalid \\escape", text, at);
  if (has("ill-formed UTF-8")) decode_error("Invalid UTF-8 byte at", text, at);
  if (has("; expected end of input")) decode_error("Extra data", text, start);
  if (has("while parsing object key") || has("expected string literal"))
    decode_error("Expecting property name enclosed in double quotes", text, start);
  if (has("expected ':'")) decode_error("Expecting ':' delimiter", text, start);
  if (has("while parsing object -") || has("while parsing array -")) {
    if (has("expected '}'") || has("expected ']'"))
      decode_error("Expecting ',' delimiter", text, start);
  }
  decode_error("Expecting value", text, start);
}

}  // namespace

// ---------------------------------------------------------------- text helpers

std::string py_strip(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e) {
    char32_t cp;
    const size_t n = decode_utf8(text, b, cp);
    if (n == 0 || !is_py_space(cp)) break;
    b += n;
  }
  while (e > b) {
    size_t s = e - 1;
    while (s > b && (static_cast<unsigned char>(text[s]) & 0xC0) == 0x80 && e - s < 4) --s;
    char32_t cp;
    const size_t n = decode_utf8(text, s, cp);
    if (n == 0 || s + n != e || !is_py_space(cp)) break;
    e = s;
  }
  return std::string(text.substr(b, e - b));
}

std::string py_repr(const json& value, size_t max_chars) {
  std::string out;
  const size_t budget = max_chars == std::string::npos ? std::string::npos : max_chars * 4 + 16;
  append_repr(out, value, budget);
  if (max_chars != std::string::npos && utf8_length(out) > max_chars) {
    out = utf8_prefix(out, max_chars) + "...";
  }
  return out;
}

std::string py_str(const json& value) {
  return value.is_string() ? value.get<std::string>() : py_repr(value);
}

const char* py_type_name(const json& value) {
  switch (value.type()) {
    case json::value_t::null:
      return "NoneType";
    case json::value_t::boolean:
      return "bool";
    case json::value_t::string:
      return "str";
    case json::value_t::array:
      return "list";
    case json::value_t::object:
      return "dict";
    case json::value_t::number_float:
      return "float";
    case json::value_t::binary:
      return "bytes";
    default:
      return "int";
  }
}

size_t utf8_length(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string utf8_prefix(std::string_view text, size_t chars) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == chars) return std::string(text.substr(0, i));
      ++seen;
    }
  }
  return std::string(text);
}

json parse_json_text(const std::string& text) {
  try {
    return json::parse(text, [&](int depth, json::parse_event_t event, json&) {
      if (depth >= kMaxJsonDepth && (event == json::parse_event_t::object_start ||
                                     event == json::parse_event_t::array_start)) {
        throw JSONDecodeError("Nesting deeper than " + std::to_string(kMaxJsonDepth) +
                              " levels is not accepted");
      }
      return true;
    });
  } catch (const json::parse_error& e) {
    translate_parse_error(e, text);
  }
}

void append_py_dumps(std::string& out, const json& v) {
  if (v.is_object()) {
    out += '{';
    bool first = true;
    for (auto it = v.begin(); it != v.end(); ++it) {
      if (!first) out += ", ";
      first = false;
      out += dump_json(json(it.key()));
      out += ": ";
      append_py_dumps(out, it.value());
    }
    out += '}';
  } else if (v.is_array()) {
    out += '[';
    bool first = true;
    for (const auto& e : v) {
      if (!first) out += ", ";
      first = false;
      append_py_dumps(out, e);
    }
    out += ']';
  } else {
    out += dump_json(v);
  }
}

std::string py_json_dumps(const json& value) {
  std::string out;
  append_py_dumps(out, value);
  return out;
}

bool py_truthy(const json& v) {
  switch (v.type()) {
    case json::value_t::null:
      return false;
    case json::value_t::boolean:
      return v.get<bool>();
    case json::value_t::string:
      return !v.get_ref<const std::string&>().empty();
    case json::value_t::array:
    case json::value_t::object:
      return !v.empty();
    case json::value_t::number_float:
      return v.get<double>() != 0.0;
    case json::value_t::number_integer:
      return v.get<int64_t>() != 0;
    case json::value_t::number_unsigned:
      return v.get<uint64_t>() != 0;
    default:
      return true;
  }
}

long long py_int(const json& v) {
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number_integer()) return v.get<long long>();
  if (v.is_number_unsigned()) return static_cast<long long>(v.get<uint64_t>());
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isnan(d)) throw ValueError("cannot convert float NaN to integer");
    if (!std::isfinite(d)) throw ValueError("cannot convert float infinity to integer");
    return static_cast<long long>(std::trunc(d));
  }
  if (v.is_string()) {
    const std::string s = py_strip(v.get_ref<const std::string&>());
    std::string digits;
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    bool last_underscore = true;  // no leading underscore
    for (; i < s.size(); ++i) {
      if (s[i] >= '0' && s[i] <= '9') {
        digits += s[i];
        last_underscore = false;
      } else if (s[i] == '_' && !last_underscore) {
        last_underscore = true;
      } else {
        digits.clear();
        break;
      }
    }
    if (digits.empty() || last_underscore || digits.size() > 18) {
      throw ValueError("invalid literal for int() with base 10: " + py_repr(v, 100));
    }
    const long long n = std::stoll(digits);
    return negative ? -n : n;
  }
  throw TypeError(std::string("int() argument must be a string, a bytes-like object or a real "
                              "number, not '") +
                  py_type_name(v) + "'");
}

// ---------------------------------------------------------------- extraction

std::string _extract_json_object(const std::string& text) {
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

std::string _extract_json_object(const char* text) {
  return _extract_json_object(std::string(text ? text : ""));
}

std::string _extract_json_object(const json& text) {
  if (text.is_null()) return "";
  if (!text.is_string()) wrong_argument("_extract_json_object", "text", "str", text);
  return _extract_json_object(text.get_ref<const std::string&>());
}

// ---------------------------------------------------------------- clean-up

json _drop_nones_keep_required(const json& data, const json& schema) {
  if (!schema.is_object()) wrong_argument("_drop_nones_keep_required", "schema", "dict", schema);
  if (data.is_array()) {
    const json items = schema.contains("items") ? schema["items"] : json::object();
    json out = json::array();
    for (const auto& x : data) out.push_back(_drop_nones_keep_required(x, items));
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
    out[k] = _drop_nones_keep_required(v, props.contains(k) ? props[k] : empty);
  }
  return out;
}

json& _ensure_required_defaults(json& data, const json& schema) {
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
