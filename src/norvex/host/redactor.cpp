#include "norvex/host/redactor.hpp"

#include <algorithm>
#include <cctype>

#include "norvex/common/escape.hpp"
#include "norvex/common/text.hpp"

namespace norvex {
namespace {

// Letters, digits, '_' and any byte of a multi-byte character continue a word.
bool word_byte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x80 || std::isalnum(u) || c == '_';
}

bool whole_word_at(const std::string& s, size_t pos, size_t len) {
  return (pos == 0 || !word_byte(s[pos - 1])) &&
         (pos + len >= s.size() || !word_byte(s[pos + len]));
}

}  // namespace

void Redactor::add(std::string_view secret) {
  const size_t b = secret.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return;
  const size_t e = secret.find_last_not_of(" \t\r\n");
  const std::string core(secret.substr(b, e - b + 1));
  for (const std::string& form : {core, html_escape(core)}) {
    if (std::find(secrets_.begin(), secrets_.end(), form) == secrets_.end())
      secrets_.push_back(form);
  }
  std::stable_sort(secrets_.begin(), secrets_.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string Redactor::text(std::string_view text) const {
  return text_in(text, false);
}

std::string Redactor::text_in(std::string_view text, bool long_only) const {
  std::string s(text);
  for (const auto& secret : secrets_) {
    const bool short_one = secret.size() < kWholeWordBelow;
    if (short_one && long_only) continue;
    for (size_t pos = 0; (pos = s.find(secret, pos)) != std::string::npos;) {
      if (short_one && !whole_word_at(s, pos, secret.size())) {
        ++pos;
        continue;
      }
      s.replace(pos, secret.size(), kMark);
      pos += kMark.size();
    }
  }
  return s;
}

std::string Redactor::xml(std::string_view markup) const {
  if (secrets_.empty()) return std::string(markup);
  std::string out;
  out.reserve(markup.size());
  size_t i = 0;
  while (i < markup.size()) {
    const size_t open = markup.find('<', i);
    // Character data up to the next tag: every secret.
    out += text(markup.substr(i, open == std::string_view::npos ? open : open - i));
    if (open == std::string_view::npos) break;
    const size_t close = markup.find('>', open);
    const std::string_view tag =
        markup.substr(open, close == std::string_view::npos ? close : close - open + 1);
    // Inside a tag only quoted attribute values, and only secrets long enough not to be
    // mistaken for a number or a coordinate.
    for (size_t t = 0; t < tag.size();) {
      const size_t q = tag.find_first_of("\"'", t);
      out += tag.substr(t, q == std::string_view::npos ? q : q - t + 1);
      if (q == std::string_view::npos) break;
      const size_t end = tag.find(tag[q], q + 1);
      out += text_in(tag.substr(q + 1, end == std::string_view::npos ? end : end - q - 1), true);
      if (end == std::string_view::npos) break;
      out += tag[q];
      t = end + 1;
    }
    if (close == std::string_view::npos) break;
    i = close + 1;
  }
  return out;
}

bool Redactor::is_binary(std::string_view bytes) {
  if (bytes.find('\0') != std::string_view::npos) return true;
  char32_t cp = 0;
  for (size_t i = 0; i < bytes.size();) {
    const size_t n = decode_utf8_at(bytes, i, cp);
    if (n == 0) return true;
    i += n;
  }
  return false;
}

std::string Redactor::file_bytes(std::string bytes) const {
  if (secrets_.empty() || is_binary(bytes)) return bytes;
  return text(bytes);
}

json Redactor::value(const json& v) const {
  if (secrets_.empty()) return v;
  if (v.is_string()) return text(v.get_ref<const std::string&>());
  if (v.is_array()) {
    json out = json::array();
    for (const auto& item : v) out.push_back(value(item));
    return out;
  }
  if (v.is_object()) {
    json out = json::object();
    for (auto it = v.begin(); it != v.end(); ++it) out[text(it.key())] = value(it.value());
    return out;
  }
  return v;
}

}  // namespace norvex
