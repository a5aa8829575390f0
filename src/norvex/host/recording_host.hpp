#pragma once
// Records every host event in order; the test double for the notebook host.
#include <string>
#include <vector>

#include "norvex/host/host.hpp"

namespace norvex {

struct HostEvent {
  enum class Kind { Print, Html, Table, Image, Download, Json, NextInput, Error };
  Kind kind = Kind::Print;
  std::string text;  // printed text, HTML, image or file bytes, code, or dumped JSON
  std::string mime;  // images and downloads only
  bool end_line = true;
  std::string name;   // downloads: the file name; figures: the file stem
  std::string svg;    // figures only: the SVG document, when there is one
  std::string label;  // downloads only
};

class RecordingHost : public NotebookHost {
 public:
  void print(std::string_view text, bool end_line = true) override;
  void display_html(const std::string& html) override;
  void display_table(const std::string& html) override;
  void offer_download(const Download& file) override;
  void display_image(const std::string& bytes, const std::string& mime) override;
  void display_figure(const Figure& figure) override;
  void display_json(const json& value) override;
  void set_next_input(const std::string& code) override;
  void print_error(std::string_view text) override;

  std::vector<HostEvent> events;
  // All printed text joined as a terminal would show it (print events only).
  std::string console() const;
  std::vector<HostEvent> of_kind(HostEvent::Kind kind) const;
  void clear() { events.clear(); }

 private:
  HostEvent& record(HostEvent::Kind kind, std::string text, std::string mime = "",
                    bool end_line = true);
};

}  // namespace norvex
