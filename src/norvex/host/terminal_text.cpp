#include "norvex/host/terminal_text.hpp"

#include <cstdio>

namespace norvex {

namespace {

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0 when invalid.
size_t utf8_sequence(std::string_view s, size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  size_t len;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string terminal_safe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char buf[16];
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\n' && c != '\t')) {
        out += '^';
        out += static_cast<char>(c + 0x40);
      } else if (c == 0x7F) {
        out += "^?";
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t len = utf8_sequence(text, i, cp);
    if (len == 0) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
      ++i;
    } else if (cp >= 0x80 && cp <= 0x9F) {
      std::snprintf(buf, sizeof buf, "<U+%04X>", static_cast<unsigned>(cp));
      out += buf;
      i += len;
    } else {
      out.append(text.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string percent_encode(std::string_view text, bool keep_slash) {
  std::string out;
  char buf[4];
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~' || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

std::string file_url(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) absolute = path;
  return "file://" + percent_encode(absolute.lexically_normal().string(), true);
}

std::string terminal_hyperlink(std::string_view url, std::string_view label) {
  return "\x1b]8;;" + std::string(url) + "\x1b\\" + terminal_safe(label) + "\x1b]8;;\x1b\\";
}

}  // namespace norvex
