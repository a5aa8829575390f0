#include "norvex/host/recording_host.hpp"

namespace norvex {

HostEvent& RecordingHost::record(HostEvent::Kind kind, std::string text, std::string mime,
                                 bool end_line) {
  HostEvent& e = events.emplace_back();
  e.kind = kind;
  e.text = std::move(text);
  e.mime = std::move(mime);
  e.end_line = end_line;
  return e;
}

void RecordingHost::print(std::string_view text, bool end_line) {
  record(HostEvent::Kind::Print, std::string(text), "", end_line);
}
void RecordingHost::display_html(const std::string& html) {
  record(HostEvent::Kind::Html, html);
}
void RecordingHost::display_table(const std::string& html) {
  record(HostEvent::Kind::Table, html);
}
void RecordingHost::offer_download(const Download& file) {
  HostEvent& e = record(HostEvent::Kind::Download, file.bytes, file.mime);
  e.name = file.name;
  e.label = file.label;
}
void RecordingHost::display_image(const std::string& bytes, const std::string& mime) {
  record(HostEvent::Kind::Image, bytes, mime);
}
void RecordingHost::display_figure(const Figure& figure) {
  HostEvent& e = record(HostEvent::Kind::Image, figure.png, "image/png");
  e.name = figure.name;
  e.svg = figure.svg;
}
void RecordingHost::display_json(const json& value) {
  record(HostEvent::Kind::Json, dump_json(value, 2));
}
void RecordingHost::set_next_input(const std::string& code) {
  record(HostEvent::Kind::NextInput, code);
}
void RecordingHost::print_error(std::string_view text) {
  record(HostEvent::Kind::Error, std::string(text));
}

std::string RecordingHost::console() const {
  std::string out;
  for (auto& e : events) {
    if (e.kind != HostEvent::Kind::Print) continue;
    out += e.text;
    if (e.end_line) out += '\n';
  }
  return out;
}

std::vector<HostEvent> RecordingHost::of_kind(HostEvent::Kind kind) const {
  std::vector<HostEvent> out;
  for (auto& e : events)
    if (e.kind == kind) out.push_back(e);
  return out;
}

}  // namespace norvex
