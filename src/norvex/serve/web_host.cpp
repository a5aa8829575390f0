#include "norvex/serve/web_host.hpp"

#include "norvex/common/base64.hpp"
#include "norvex/host/console_host.hpp"

namespace norvex {

namespace {

void decode_attribute(std::string& s) {
  static const std::pair<std::string_view, std::string_view> entities[] = {
      {"&lt;", "<"},   {"&gt;", ">"},  {"&quot;", "\""},
      {"&#x27;", "'"}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (auto& [from, to] : entities) {
    for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
      s.replace(pos, from.size(), to);
  }
}

// A download's name as a plain file name: no folders, no control characters, never empty.
std::string plain_name(std::string name) {
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '_';
  }
  if (name.empty() || name == "." || name == "..") return "download";
  return name;
}

const char* image_extension(const std::string& mime) {
  if (mime == "image/jpeg" || mime == "image/jpg") return ".jpg";
  if (mime == "image/gif") return ".gif";
  if (mime == "image/webp") return ".webp";
  return ".png";
}

}  // namespace

WebHost::WebHost(EventLog& events, FileStore& files) : events_(events), files_(files) {}

void WebHost::emit(const std::string& type, json fields) {
  json event = json::object();
  event["type"] = type;
  event["cell"] = cell_;
  for (auto& [key, value] : fields.items()) event[key] = value;
  events_.append(std::move(event));
}

std::string WebHost::offer(const std::string& name, const std::string& mime, std::string bytes) {
  if (file_filter_) bytes = file_filter_(name, std::move(bytes));
  return files_.add(redact(name), mime, redact(bytes));
}

void WebHost::end_open_line() {
  if (line_open_) print("");
}

void WebHost::print(std::string_view text, bool end_line) {
  if (mirror_) mirror_->print(text, end_line);
  line_open_ = !end_line;
  emit("text", {{"text", redact(text)}, {"end", end_line}});
}

void WebHost::print_error(std::string_view text) {
  if (mirror_) mirror_->print_error(text);
  emit("error", {{"text", redact(text)}});
}

void WebHost::display_html(const std::string& html) {
  if (mirror_) mirror_->display_html(html);
  emit("html", {{"html", store_downloads(redact(html))}});
}

void WebHost::display_image(const std::string& bytes, const std::string& mime) {
  if (mirror_) mirror_->display_image(bytes, mime);
  ++figures_;
  const std::string name = "figure-" + std::to_string(figures_) + image_extension(mime);
  const std::string url = offer(name, mime, bytes);
  emit("image", {{"url", url}, {"name", name}});
}

void WebHost::display_json(const json& value) {
  if (mirror_) mirror_->display_json(value);
  emit("json", {{"text", redact(dump_json(value, 2))}});
}

void WebHost::set_next_input(const std::string& code) {
  if (mirror_) mirror_->set_next_input(code);
  emit("code", {{"code", redact(code)}});
}

std::string WebHost::store_downloads(const std::string& html) {
  // Links made by the document builders: <a download="NAME" href="data:MIME;base64,DATA">.
  // Scanned by hand, since the data runs to megabytes.
  std::string out;
  size_t copied = 0;
  size_t pos = 0;
  while ((pos = html.find("download=\"", pos)) != std::string::npos) {
    const size_t name_begin = pos + 10;
    const size_t name_end = html.find('"', name_begin);
    if (name_end == std::string::npos) break;
    pos = name_end + 1;
    const size_t tag_end = html.find('>', name_end);
    const size_t href = html.find("href=\"data:", name_end);
    if (href == std::string::npos || (tag_end != std::string::npos && href > tag_end)) continue;
    const size_t marker = html.find(";base64,", href);
    const size_t data_end = html.find('"', href + 11);
    if (marker == std::string::npos || data_end == std::string::npos || marker > data_end) continue;
    std::string name = html.substr(name_begin, name_end - name_begin);
    decode_attribute(name);
    name = plain_name(name);
    std::string bytes;
    try {
      bytes = base64_decode(std::string_view(html).substr(marker + 8, data_end - marker - 8));
    } catch (const std::exception&) {
      continue;  // left as it is: the browser shows what it can
    }
    const std::string url = offer(name, html.substr(href + 11, marker - href - 11), bytes);
    out.append(html, copied, href - copied);
    out += "href=\"" + html_escape(url) + "\"";
    copied = data_end + 1;
    pos = copied;
  }
  out.append(html, copied, std::string::npos);
  return out;
}

}  // namespace norvex
