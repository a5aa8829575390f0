#include "norvex/display/base64_display.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/escape.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/host/host.hpp"

namespace norvex {
namespace {

constexpr size_t kClassifyChars = 2000;

// Whitespace removed, as splitting on whitespace runs and joining would.
std::string strip_whitespace(const std::string& s, size_t limit = std::string::npos) {
  std::string out;
  out.reserve(std::min(s.size(), limit));
  for (unsigned char c : s) {
    if (std::isspace(c) || (c >= 0x1C && c <= 0x1F)) continue;
    out += static_cast<char>(c);
    if (out.size() == limit) break;
  }
  return out;
}

bool starts_with(const std::string& bytes, const char* magic, size_t n) {
  return bytes.size() >= n && std::memcmp(bytes.data(), magic, n) == 0;
}

std::string classify_bytes(const std::string& bytes) {
  if (starts_with(bytes, "\x89PNG", 4)) return "png";
  if (starts_with(bytes, "\xFF\xD8", 2)) return "jpeg";
  if (starts_with(bytes, "GIF8", 4)) return "gif";
  if (starts_with(bytes, "RIFF", 4) &&
      std::string_view(bytes.data(), std::min<size_t>(bytes.size(), 16)).find("WEBP") !=
          std::string_view::npos)
    return "webp";
  std::string head = bytes.substr(0, 200);
  std::transform(head.begin(), head.end(), head.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* marker : {"<html", "<!doctype", "<div", "<script"}) {
    if (head.find(marker) != std::string::npos) return "html";
  }
  return "unknown";
}

std::string plain_text(const json& v) {
  return v.is_string() ? v.get<std::string>() : dump_json(v);
}

}  // namespace

bool decode_base64_lenient(const std::string& text, std::string& out) {
  out.clear();
  unsigned acc = 0;
  int quad_pos = 0, pads = 0;
  for (unsigned char c : text) {
    if (c == '=') {
      // Padding completes a quad only after at least two data characters; then decoding
      // stops and whatever follows is ignored.
      if (quad_pos >= 2 && quad_pos + ++pads >= 4) {
        quad_pos = 0;
        break;
      }
      continue;
    }
    int v = base64_value(c);
    if (v < 0) continue;
    pads = 0;
    switch (quad_pos) {
      case 0:
        acc = unsigned(v);
        break;
      case 1:
        out += static_cast<char>((acc << 2) | (unsigned(v) >> 4));
        acc = unsigned(v) & 0x0F;
        break;
      case 2:
        out += static_cast<char>((acc << 4) | (unsigned(v) >> 2));
        acc = unsigned(v) & 0x03;
        break;
      case 3:
        out += static_cast<char>((acc << 6) | unsigned(v));
        break;
    }
    quad_pos = (quad_pos + 1) & 3;
  }
  return quad_pos == 0;
}

std::string detect_base64_type(const json& b64) {
  if (!b64.is_string()) throw TypeError(std::string("b64 must be str, not ") + py_type_name(b64));
  std::string head = strip_whitespace(b64.get_ref<const std::string&>(), kClassifyChars);
  std::string bytes;
  if (!decode_base64_lenient(head, bytes)) return "unknown";
  return classify_bytes(bytes);
}

namespace {

void show_one(NotebookHost& host, const json& payload, bool use_html_img, const json& iframe_size) {
  if (!payload.is_string()) {
    throw TypeError(std::string("a base64 payload must be str, not ") + py_type_name(payload));
  }
  const std::string cleaned = strip_whitespace(payload.get_ref<const std::string&>());
  const std::string kind = detect_base64_type(cleaned);
  if (kind == "png" || kind == "jpeg" || kind == "gif" || kind == "webp") {
    if (use_html_img) {
      host.display_html(
          "\n                <div style=\"width:100%; overflow:auto;\">\n"
          "                  <img src=\"data:image/" +
          kind + ";base64," + html_escape(cleaned) +
          "\"\n                       style=\"max-width:100%; height:auto; display:block;\">\n"
          "                </div>\n                ");
    } else {
      host.display_image(base64_decode(cleaned), "image/" + kind);
    }
    return;
  }
  if (kind == "html") {
    if (!iframe_size.is_array() || iframe_size.size() != 2) {
      throw ValueError("iframe_size must be a (width, height) pair, got " + dump_json(iframe_size));
    }
    // The payload is already base64, so it cannot close the attribute; the size values
    // come from tool output and are escaped.
    const std::string src = "data:text/html;base64," + cleaned;
    host.display_html("\n            <iframe src=\"" + html_escape(src) + "\" width=\"" +
                      html_escape(plain_text(iframe_size[0])) + "\" height=\"" +
                      html_escape(plain_text(iframe_size[1])) +
                      "\"\n                    frameborder=\"0\"></iframe>\n            ");
    return;
  }
  host.print("⚠️ Unknown base64 type — cannot display");
}

}  // namespace

void display_base64_auto(NotebookHost& host, const json& imgs, bool use_html_img,
                         const json& iframe_size) {
  if (imgs.is_string()) {
    show_one(host, imgs, use_html_img, iframe_size);
  } else if (imgs.is_array() || imgs.is_object()) {
    for (const auto& v : imgs) show_one(host, v, use_html_img, iframe_size);
  }
}

}  // namespace norvex
