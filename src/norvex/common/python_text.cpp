// Text that must read exactly as Python would print it: the model sees these forms in
// repair prompts and users see them in console lines, so they follow CPython's rules
// (repr quoting, json.dumps spacing, json.loads error wording, truthiness, int()).
#include "norvex/common/python_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"

namespace norvex {
namespace {

// ---------------------------------------------------------------- repr

void append_str_repr(std::string& out, const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos;
  const bool has_double = s.find('"') != std::string::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  out += quote;
  char buf[8];
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    const size_t n = decode_utf8_at(s, i, cp);
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

const json& py_getitem(const json& mapping, const std::string& key) {
  if (!mapping.is_object()) {
    throw TypeError("expected a mapping holding '" + key + "', got " + py_type_name(mapping));
  }
  auto it = mapping.find(key);
  if (it == mapping.end()) throw key_error(key);
  return *it;
}

bool is_py_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x20) || cp == 0x85 || cp == 0xA0 ||
         cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// ---------------------------------------------------------------- text helpers

std::string py_strip(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e) {
    char32_t cp;
    const size_t n = decode_utf8_at(text, b, cp);
    if (n == 0 || !is_py_space(cp)) break;
    b += n;
  }
  while (e > b) {
    size_t s = e - 1;
    while (s > b && (static_cast<unsigned char>(text[s]) & 0xC0) == 0x80 && e - s < 4) --s;
    char32_t cp;
    const size_t n = decode_utf8_at(text, s, cp);
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

}  // namespace norvex
