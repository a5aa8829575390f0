#include "norvex/host/download_links.hpp"

#include "norvex/common/base64.hpp"
#include "norvex/common/escape.hpp"

namespace norvex {

std::string download_link_html(std::string_view name_html, std::string_view href_html,
                               std::string_view text_html) {
  // download before href: readers of older transcripts matched them in that order.
  std::string out = "<a class=\"norvex-download\" download=\"";
  out += name_html;
  out += "\" href=\"";
  out += href_html;
  out +=
      "\" style=\"display:inline-block;margin:4px 0;padding:4px 10px;border:1px solid "
      "#9bb3d4;border-radius:4px;background:#eef3fa;color:#1f3864;text-decoration:none\">";
  out += text_html;
  out += "</a>";
  return out;
}

std::string download_link_text(const Download& file, std::string_view name_html) {
  const std::string icon = file.mime.find("spreadsheet") != std::string::npos      ? "📊"
                           : file.mime.find("wordprocessing") != std::string::npos ? "📄"
                                                                                   : "📥";
  const std::string label = xml_escape(file.label.empty() ? std::string("file") : file.label);
  return icon + " Download " + label + ": " + std::string(name_html);
}

std::string data_download_link(const Download& file) {
  const std::string name = xml_escape(file.name);
  return download_link_html(name, "data:" + file.mime + ";base64," + base64_encode(file.bytes),
                            download_link_text(file, name));
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

const char* image_extension(const std::string& mime) {
  if (mime == "image/png") return ".png";
  if (mime == "image/jpeg" || mime == "image/jpg") return ".jpg";
  if (mime == "image/gif") return ".gif";
  if (mime == "image/webp") return ".webp";
  if (mime == "image/svg+xml") return ".svg";
  return ".img";
}

}  // namespace norvex
