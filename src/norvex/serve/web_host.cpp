#include "norvex/serve/web_host.hpp"

#include "norvex/common/escape.hpp"
#include "norvex/host/download_links.hpp"

namespace norvex {

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
  return files_.add(redact(name), mime, redactor_.file_bytes(bytes));
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
  emit("html", {{"html", redact(html)}});
}

void WebHost::display_table(const std::string& html) {
  if (mirror_) mirror_->display_table(html);
  emit("table", {{"html", redact(html)}});
}

void WebHost::offer_download(const Download& raw) {
  if (mirror_) mirror_->offer_download(raw);
  Download file;
  file.name = plain_file_name(redact(raw.name));
  file.mime = redact(raw.mime);
  file.label = redact(raw.label);
  // The page links to the stored copy; the link keeps the name it was offered under.
  const std::string url = offer(file.name, file.mime, raw.bytes);
  const std::string shown = xml_escape(redact(raw.name));
  emit("html",
       {{"html", download_link_html(shown, html_escape(url), download_link_text(file, shown))}});
}

void WebHost::display_image(const std::string& bytes, const std::string& mime) {
  if (mirror_) mirror_->display_image(bytes, mime);
  ++figures_;
  const std::string name = "figure-" + std::to_string(figures_) + image_extension(mime);
  const std::string url = offer(name, mime, bytes);
  emit("image", {{"url", url}, {"name", name}});
}

void WebHost::display_figure(const Figure& figure) {
  if (mirror_) mirror_->display_figure(figure);
  ++figures_;
  const std::string stem = figure.name.empty() ? "figure-" + std::to_string(figures_)
                                               : plain_file_name(redact(figure.name));
  const std::string url = offer(stem + ".png", "image/png", figure.png);
  json fields = {{"url", url}, {"name", stem}};
  if (!figure.svg.empty()) fields["svg"] = redact(figure.svg);
  emit("image", std::move(fields));
}

void WebHost::display_json(const json& value) {
  if (mirror_) mirror_->display_json(value);
  emit("json", {{"text", redact(dump_json(value, 2))}});
}

void WebHost::set_next_input(const std::string& code) {
  if (mirror_) mirror_->set_next_input(code);
  emit("code", {{"code", redact(code)}});
}

}  // namespace norvex
