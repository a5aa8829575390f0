#pragma once
// Terminal front end: console text goes to the terminal as printed (control characters
// made visible), displayed things as a short text form; everything (console text and
// displays, in order) also goes into DIR/transcript.html. Displayed images and offered
// downloads are written into DIR under names never used before, and the transcript's
// links point to them.
//
// Files in DIR are never overwritten and symbolic links there are never followed: an
// existing transcript is appended to after a separator, a download whose name is taken
// gets a numbered name. A write that fails is reported on the error stream.
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "norvex/common/escape.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/redactor.hpp"

namespace norvex {

class ConsoleHost : public NotebookHost {
 public:
  // The bytes of a file about to be written (its chosen name given), returned as they
  // are to be written; the place to take secrets out of documents.
  using FileFilter = std::function<std::string(std::string_view name, std::string bytes)>;

  // Without out_dir nothing is written to disk. The folder and the transcript are not
  // touched until something is to be written (or until start_transcript, after
  // hold_transcript).
  ConsoleHost(std::ostream& out, std::ostream& err,
              std::optional<std::filesystem::path> out_dir = std::nullopt);
  ~ConsoleHost() override;
  ConsoleHost(const ConsoleHost&) = delete;
  ConsoleHost& operator=(const ConsoleHost&) = delete;

  void print(std::string_view text, bool end_line = true) override;
  void display_html(const std::string& html) override;
  void offer_download(const Download& file) override;
  void display_image(const std::string& bytes, const std::string& mime) override;
  // The PNG as figure-N.png (or NAME-N.png), its SVG beside it as figure-N.svg.
  void display_figure(const Figure& figure) override;
  void display_json(const json& value) override;
  void set_next_input(const std::string& code) override;
  void print_error(std::string_view text) override;

  // Starts a new cell in the transcript (one per question); ends an open console line.
  void begin_cell(const std::string& question);
  // Ends a console line left open by print(..., false), so what follows starts afresh.
  void end_open_line();
  // Text that must never be shown or written (an API key): replaced by "[redacted]" in
  // everything that reaches the terminal, the transcript, file names and file bytes.
  void add_secret(const std::string& secret);
  const Redactor& redactor() const { return redactor_; }
  const Redactor* secrets() const override { return &redactor_; }
  // Replaces the default filter of file bytes (which redacts the bytes as plain text).
  // The secrets are taken out of what the filter returns as well, when that is text.
  void set_file_filter(FileFilter filter);
  // Prints the paths of saved files as terminal hyperlinks (for terminals that show them).
  void set_hyperlinks(bool on) { hyperlinks_ = on; }

  // Keeps everything meant for the transcript in memory until start_transcript, so a
  // session that fails to start leaves the folder as it was.
  void hold_transcript();
  // Opens the transcript (creating the folder, writing the page header, or a separator
  // after an earlier conversation) and writes what was held. False, with the reason
  // reported, when it cannot be written.
  bool start_transcript();

  std::optional<std::filesystem::path> transcript_path() const;
  // Whether the open transcript already held an earlier conversation.
  bool transcript_continued() const { return transcript_continued_; }
  // Files written for downloads, in order.
  const std::vector<std::filesystem::path>& downloads() const { return downloads_; }
  // Image files written for displayed images, in order.
  const std::vector<std::filesystem::path>& images() const { return images_; }

 private:
  enum class TranscriptState { Closed, Held, Open, Failed };

  std::string redact(std::string_view text) const { return redactor_.text(text); }
  void terminal(std::string_view text);
  void terminal_saved(std::string_view prefix, const std::filesystem::path& path);
  void show_image(const std::string& stem, const std::string& raw, const std::string& mime,
                  const std::string& svg);
  void append(const std::string& fragment);
  void flush_console_block();
  // Writes a new file named `name` in the folder, or the first free "stem-N.ext" (N from
  // 2, or from first_number when given, which numbers even the first one).
  std::optional<std::filesystem::path> save_file(const std::string& name, std::string_view bytes,
                                                 int first_number = 0, int* used_number = nullptr);
  std::string filtered(std::string_view name, std::string bytes) const;
  void write_fragment(const std::string& fragment);
  void report_failure(const std::string& what, const std::string& reason);

  std::ostream& out_;
  std::ostream& err_;
  std::optional<std::filesystem::path> out_dir_;
  std::string console_block_;  // console text not yet placed in the transcript
  std::vector<std::filesystem::path> downloads_;
  std::vector<std::filesystem::path> images_;
  int image_count_ = 0;
  int next_figure_ = 1;  // the number of the next figure file
  bool line_open_ = false;
  bool hyperlinks_ = false;
  Redactor redactor_;
  FileFilter file_filter_;
  TranscriptState transcript_state_ = TranscriptState::Closed;
  int transcript_fd_ = -1;
  bool transcript_continued_ = false;
  std::string held_;  // transcript text kept while held
};

// The readable text of an HTML fragment, for the terminal: tags dropped, block ends as
// line breaks, table cells separated by " | ", images and iframes as short notes.
std::string html_to_text(std::string_view html);

}  // namespace norvex
