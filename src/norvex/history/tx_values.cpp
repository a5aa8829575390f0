#include "norvex/history/tx_values.hpp"

#include <cctype>
#include <cmath>
#include <limits>

#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/common/text.hpp"

namespace norvex {
namespace {

// One decoded character of a UTF-8 text; invalid bytes decode as themselves.
struct Utf8Char {
  char32_t cp;
  size_t begin, len;
};

std::vector<Utf8Char> decode_utf8(const std::string& s) {
  std::vector<Utf8Char> out;
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    size_t len = decode_utf8_at(s, i, cp);
    if (len == 0) len = 1, cp = static_cast<unsigned char>(s[i]);
    out.push_back({cp, i, len});
    i += len;
  }
  return out;
}

// int() of a text: optional blanks and sign around decimal digits, single underscores
// allowed between digits.
std::optional<long long> parse_int_text(const std::string& t) {
  size_t b = 0, e = t.size();
  while (b < e && std::isspace(static_cast<unsigned char>(t[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(t[e - 1]))) --e;
  if (b == e) return std::nullopt;
  bool negative = false;
  if (t[b] == '+' || t[b] == '-') {
    negative = t[b] == '-';
    ++b;
  }
  if (b == e) return std::nullopt;
  unsigned long long value = 0;
  const unsigned long long limit =
      negative ? static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1
               : static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  bool prev_digit = false;
  for (size_t i = b; i < e; ++i) {
    char c = t[i];
    if (c == '_') {
      if (!prev_digit || i + 1 == e) return std::nullopt;
      prev_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    unsigned d = static_cast<unsigned>(c - '0');
    if (value > (limit - d) / 10) return std::nullopt;
    value = value * 10 + d;
    prev_digit = true;
  }
  if (!prev_digit) return std::nullopt;
  if (negative)
    return value == limit ? std::numeric_limits<long long>::min() : -static_cast<long long>(value);
  return static_cast<long long>(value);
}

}  // namespace

json check_any_valid(const json& d, const std::vector<std::string>& keys,
                     const json& default_value) {
  if (!d.is_object()) return default_value;
  for (const auto& key : keys) {
    auto it = d.find(key);
    if (it == d.end()) continue;
    const json& v = *it;
    if (v.is_null()) continue;
    if (v.is_string() && (v == "" || v == "none")) continue;
    // Equality with false, as Python compares: false, 0 and 0.0 are all passed over.
    if (v.is_boolean() && !v.get<bool>()) continue;
    if (v.is_number() && v.get<double>() == 0.0) continue;
    return v;
  }
  return default_value;
}

json get_any(const json& d, const std::vector<std::string>& keys, const json& default_value) {
  if (!d.is_object()) return default_value;
  for (const auto& key : keys) {
    auto it = d.find(key);
    if (it != d.end() && !it->is_null()) return *it;
  }
  return default_value;
}

std::optional<long long> safe_int(const json& x) {
  switch (x.type()) {
    case json::value_t::boolean:
      return x.get<bool>() ? 1 : 0;
    case json::value_t::number_integer:
      return x.get<long long>();
    case json::value_t::number_unsigned: {
      auto u = x.get<unsigned long long>();
      if (u > static_cast<unsigned long long>(std::numeric_limits<long long>::max()))
        return std::nullopt;
      return static_cast<long long>(u);
    }
    case json::value_t::number_float: {
      double d = std::trunc(x.get<double>());
      // 2^63 itself does not fit; every smaller finite value does after truncation.
      if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
        return std::nullopt;
      return static_cast<long long>(d);
    }
    case json::value_t::string:
      return parse_int_text(x.get<std::string>());
    default:
      return std::nullopt;
  }
}

json* get_tx_by_id(std::vector<json>& list, const json& tx_id) {
  auto idx = safe_int(tx_id);
  if (!idx || *idx < 0 || static_cast<unsigned long long>(*idx) >= list.size()) return nullptr;
  return &list[static_cast<size_t>(*idx)];
}

const json* get_tx_by_id(const std::vector<json>& list, const json& tx_id) {
  return get_tx_by_id(const_cast<std::vector<json>&>(list), tx_id);
}

json shorten(const json& text, long long max_len) {
  if (text.is_null()) return nullptr;
  if (max_len < 1) throw ValueError("max_len must be at least 1, got " + std::to_string(max_len));
  const std::string s = py_str(text);
  std::vector<Utf8Char> chars = decode_utf8(s);
  // Trim, then collapse every whitespace run to one blank, counting characters as we go.
  std::string out;
  std::vector<size_t> starts;  // byte offset of each output character
  bool pending_space = false;
  for (const auto& ch : chars) {
    if (is_py_space(ch.cp)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) {
      starts.push_back(out.size());
      out += ' ';
      pending_space = false;
    }
    starts.push_back(out.size());
    out.append(s, ch.begin, ch.len);
  }
  if (static_cast<long long>(starts.size()) <= max_len) return out;
  return out.substr(0, starts[static_cast<size_t>(max_len - 1)]) + "\u2026";
}

}  // namespace norvex
