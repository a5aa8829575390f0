#include <algorithm>
#include <array>
#include <cctype>

#include "norvex/documents/documents.hpp"
#include "norvex/documents/ooxml.hpp"
#include "norvex/host/download_links.hpp"

namespace norvex {

namespace {

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The extension of a file name when it looks like one (short, letters and digits).
std::string_view extension_of(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return {};
  std::string_view ext = name.substr(dot + 1);
  if (ext.size() > 10) return {};
  for (char c : ext)
    if (!std::isalnum(static_cast<unsigned char>(c))) return {};
  return name.substr(dot);  // with the dot
}

bool is_device_name(std::string_view stem) {
  // Windows refuses these as file names whatever the extension.
  static const std::array<std::string_view, 4> plain{"con", "prn", "aux", "nul"};
  std::string s = lower_ascii(stem);
  size_t dot = s.find('.');
  if (dot != std::string::npos) s.resize(dot);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (std::find(plain.begin(), plain.end(), s) != plain.end()) return true;
  return s.size() == 4 && (s.starts_with("com") || s.starts_with("lpt")) && s[3] >= '1' &&
         s[3] <= '9';
}

// Replaces what no file system accepts: separators, reserved characters, control
// characters (C0, DEL, C1). Runs of replaced characters and blanks collapse to one.
std::string clean_part(std::string_view text) {
  std::string valid = ooxml::valid_utf8(text);
  std::string out;
  auto put_sep = [&](char c) {
    if (out.empty() || out.back() == '_' || out.back() == ' ') {
      if (c == '_' && !out.empty() && out.back() == ' ') out.back() = '_';
      return;
    }
    out += c;
  };
  for (size_t i = 0; i < valid.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(valid[i]);
    if (c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xA0) {
      ++i;  // U+0080..U+009F, C1 controls
      put_sep(' ');
      continue;
    }
    if (c < 0x20 || c == 0x7F) {
      put_sep(' ');
    } else if (c == ' ') {
      put_sep(' ');
    } else if (std::string_view("/\\<>:\"|?*").find(static_cast<char>(c)) !=
               std::string_view::npos) {
      put_sep('_');
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string trim_name(std::string s) {
  auto junk = [](char c) { return c == ' ' || c == '.' || c == '_'; };
  size_t b = 0;
  while (b < s.size() && junk(s[b])) ++b;
  size_t e = s.size();
  while (e > b && junk(s[e - 1])) --e;
  return s.substr(b, e - b);
}

}  // namespace

std::string mime_type_for(std::string_view file_name) {
  std::string ext = lower_ascii(extension_of(file_name));
  if (ext == ".xlsx") return "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
  if (ext == ".docx")
    return "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
  if (ext == ".pdf") return "application/pdf";
  if (ext == ".csv") return "text/csv";
  if (ext == ".tsv") return "text/tab-separated-values";
  if (ext == ".txt" || ext == ".md") return "text/plain";
  if (ext == ".html" || ext == ".htm") return "text/html";
  if (ext == ".json") return "application/json";
  if (ext == ".png") return "image/png";
  if (ext == ".jpg" || ext == ".jpeg") return "image/jpeg";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".h5ad") return "application/x-hdf5";
  if (ext == ".zip") return "application/zip";
  return "application/octet-stream";
}

std::string safe_file_name(std::string_view name, size_t max_bytes) {
  std::string_view ext_view = extension_of(name);
  std::string ext = clean_part(ext_view);
  std::string stem = trim_name(clean_part(name.substr(0, name.size() - ext_view.size())));
  if (stem.empty()) stem = "download";
  if (is_device_name(stem)) stem = "_" + stem;
  size_t room = max_bytes > ext.size() + 1 ? max_bytes - ext.size() : 1;
  if (stem.size() > room) {
    stem = trim_name(ooxml::utf8_prefix(stem, room));
    if (stem.empty()) stem = "download";
  }
  return stem + ext;
}

Download document_download(std::string_view buffer, std::string_view file_name,
                           std::string_view doc_name) {
  Download file;
  file.name = safe_file_name(file_name);
  file.mime = mime_type_for(file.name);
  file.bytes = std::string(buffer);
  file.label = std::string(doc_name);
  return file;
}

std::string creat_download_link(std::string_view buffer, std::string_view file_name,
                                std::string_view doc_name) {
  return data_download_link(document_download(buffer, file_name, doc_name));
}

}  // namespace norvex
