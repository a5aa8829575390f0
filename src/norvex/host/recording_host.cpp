#include "norvex/host/recording_host.hpp"

namespace norvex {

void RecordingHost::print(std::string_view text, bool end_line) {
  events.push_back({HostEvent::Kind::Print, std::string(text), "", end_line});
}
void RecordingHost::display_html(const std::string& html) {
  events.push_back({HostEvent::Kind::Html, html, "", true});
}
void RecordingHost::display_image(const std::string& bytes, const std::string& mime) {
  events.push_back({HostEvent::Kind::Image, bytes, mime, true});
}
void RecordingHost::display_json(const json& value) {
  events.push_back({HostEvent::Kind::Json, dump_json(value, 2), "", true});
}
void RecordingHost::set_next_input(const std::string& code) {
  events.push_back({HostEvent::Kind::NextInput, code, "", true});
}
void RecordingHost::print_error(std::string_view text) {
  events.push_back({HostEvent::Kind::Error, std::string(text), "", true});
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
