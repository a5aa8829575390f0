#pragma once
// Records every host event in order; the test double for the notebook host.
#include <string>
#include <vector>

#include "norvex/host/host.hpp"

namespace norvex {

struct HostEvent {
  enum class Kind { Print, Html, Image, Json, NextInput, Error };
  Kind kind;
  std::string text;  // printed text, HTML, image bytes, code, or dumped JSON
  std::string mime;  // images only
  bool end_line = true;
};

class RecordingHost : public NotebookHost {
 public:
  void print(std::string_view text, bool end_line = true) override;
  void display_html(const std::string& html) override;
  void display_image(const std::string& bytes, const std::string& mime) override;
  void display_json(const json& value) override;
  void set_next_input(const std::string& code) override;
  void print_error(std::string_view text) override;

  std::vector<HostEvent> events;
  // All printed text joined as a terminal would show it (print events only).
  std::string console() const;
  std::vector<HostEvent> of_kind(HostEvent::Kind kind) const;
  void clear() { events.clear(); }
};

}  // namespace norvex
