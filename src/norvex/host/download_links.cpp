#include "norvex/host/download_links.hpp"

#include <cstring>
#include <utility>

namespace norvex {

std::optional<DataLink> next_data_link(const std::string& html, size_t from) {
  size_t pos = from;
  while ((pos = html.find("download=\"", pos)) != std::string::npos) {
    DataLink l;
    l.name_begin = pos + 10;
    l.name_end = html.find('"', l.name_begin);
    if (l.name_end == std::string::npos) return std::nullopt;
    pos = l.name_end + 1;
    const size_t tag_end = html.find('>', l.name_end);
    l.href = html.find("href=\"data:", l.name_end);
    if (l.href == std::string::npos || (tag_end != std::string::npos && l.href > tag_end)) continue;
    l.marker = html.find(";base64,", l.href);
    l.data_end = html.find('"', l.href + 11);
    if (l.marker == std::string::npos || l.data_end == std::string::npos || l.marker > l.data_end)
      continue;
    // The name sits in an attribute, so it arrives HTML-escaped.
    l.name = html.substr(l.name_begin, l.name_end - l.name_begin);
    decode_html_entities(l.name);
    l.name = plain_file_name(std::move(l.name));
    l.mime = html.substr(l.href + 11, l.marker - l.href - 11);
    return l;
  }
  return std::nullopt;
}

std::string plain_file_name(std::string name) {
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '_';
  }
  if (name.empty() || name == "." || name == "..") return "download";
  if (name[0] == '.') name = "download" + name;
  return name;
}

void decode_html_entities(std::string& s) {
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"},  {"&gt;", ">"},   {"&quot;", "\""}, {"&#x27;", "'"},
      {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
  for (auto& [from, to] : entities) {
    const std::string f = from;
    for (size_t pos = 0; (pos = s.find(f, pos)) != std::string::npos; pos += std::strlen(to))
      s.replace(pos, f.size(), to);
  }
}

const char* image_extension(const std::string& mime) {
  if (mime == "image/png") return ".png";
  if (mime == "image/jpeg" || mime == "image/jpg") return ".jpg";
  if (mime == "image/gif") return ".gif";
  if (mime == "image/webp") return ".webp";
  if (mime == "image/svg+xml") return ".svg";
  return ".img";
}

}  // namespace norvex
