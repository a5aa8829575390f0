#pragma once
// Terminal front end: console text goes to the terminal exactly as printed, displayed
// things as a short text form; everything (console text and displays, in order) also goes
// into DIR/transcript.html, a self-contained page. Download links found in displayed HTML
// are written as files into DIR.
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "norvex/host/host.hpp"

namespace norvex {

class ConsoleHost : public NotebookHost {
 public:
  // Without out_dir nothing is written to disk.
  ConsoleHost(std::ostream& out, std::ostream& err,
              std::optional<std::filesystem::path> out_dir = std::nullopt);
  ~ConsoleHost() override;

  void print(std::string_view text, bool end_line = true) override;
  void display_html(const std::string& html) override;
  void display_image(const std::string& bytes, const std::string& mime) override;
  void display_json(const json& value) override;
  void set_next_input(const std::string& code) override;
  void print_error(std::string_view text) override;

  // Starts a new cell in the transcript (one per question); ends an open console line.
  void begin_cell(const std::string& question);
  // Ends a console line left open by print(..., false), so what follows starts afresh.
  void end_open_line();
  // Text that must never be shown or written (an API key): replaced by "[redacted]" in
  // everything that reaches the terminal or the transcript.
  void add_secret(const std::string& secret);

  std::optional<std::filesystem::path> transcript_path() const;
  // Files written from download links, in order.
  const std::vector<std::filesystem::path>& downloads() const { return downloads_; }

 private:
  std::string redact(std::string_view text) const;
  void terminal(std::string_view text);
  void append(const std::string& fragment);
  void flush_console_block();
  void save_downloads(const std::string& html);
  void write_header() const;
  void write_fragment(const std::string& fragment) const;

  std::ostream& out_;
  std::ostream& err_;
  std::optional<std::filesystem::path> out_dir_;
  std::string console_block_;  // console text not yet placed in the transcript
  std::vector<std::filesystem::path> downloads_;
  int image_count_ = 0;
  bool line_open_ = false;
  std::vector<std::string> secrets_;
};

// The readable text of an HTML fragment, for the terminal: tags dropped, block ends as
// line breaks, table cells separated by " | ", images and iframes as short notes.
std::string html_to_text(std::string_view html);

// Escapes &, <, >, " and ' for HTML text and attribute values.
std::string html_escape(std::string_view text);

}  // namespace norvex
