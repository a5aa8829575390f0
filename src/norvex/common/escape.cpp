#include "norvex/common/escape.hpp"

#include <cstring>
#include <utility>

#include "norvex/common/text.hpp"

namespace norvex {

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#x27;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string xml_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    size_t n = decode_utf8_at(text, i, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (cp == '&')
      out += "&amp;";
    else if (cp == '<')
      out += "&lt;";
    else if (cp == '>')
      out += "&gt;";
    else if (cp == '"')
      out += "&quot;";
    else if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || cp == 0xFFFE || cp == 0xFFFF)
      ;  // not allowed in XML 1.0
    else
      out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

void decode_html_entities(std::string& s) {
  // &amp; last, so an escaped entity ("&amp;lt;") comes out as its text, not its character.
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"},  {"&gt;", ">"},   {"&quot;", "\""}, {"&#x27;", "'"},
      {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
  for (auto& [from, to] : entities) {
    const std::string f = from;
    for (size_t pos = 0; (pos = s.find(f, pos)) != std::string::npos; pos += std::strlen(to))
      s.replace(pos, f.size(), to);
  }
}

}  // namespace norvex
