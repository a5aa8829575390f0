#pragma once
// The page as a notebook host: everything the assistant shows becomes an event of the
// current cell (console text, HTML, images, code, errors, in order), with every secret
// taken out first. Figures and offered downloads are kept in the file store and the events
// point to them, so the page never carries megabytes of base64 in its events.
// Optionally everything is also passed to a second host (the transcript on disk).
#include <functional>
#include <string>
#include <string_view>

#include "norvex/host/host.hpp"
#include "norvex/host/redactor.hpp"
#include "norvex/serve/event_log.hpp"

namespace norvex {

class WebHost : public NotebookHost {
 public:
  // The bytes of a file about to be offered (its name given), as they are to be offered.
  using FileFilter = std::function<std::string(std::string_view name, std::string bytes)>;

  WebHost(EventLog& events, FileStore& files);

  void print(std::string_view text, bool end_line = true) override;
  void display_html(const std::string& html) override;
  // A result table: its own event, so the page can sort it and format its numbers.
  void display_table(const std::string& html) override;
  void offer_download(const Download& file) override;
  void display_image(const std::string& bytes, const std::string& mime) override;
  // An image event whose "name" is the figure's file stem, with "svg" (the document's
  // text) when the figure has one.
  void display_figure(const Figure& figure) override;
  void display_json(const json& value) override;
  void set_next_input(const std::string& code) override;
  void print_error(std::string_view text) override;

  // The cell (a question's or a side-panel section's) that what follows belongs to.
  void set_cell(long long cell) { cell_ = cell; }
  void add_secret(const std::string& secret) { redactor_.add(secret); }
  const Redactor& redactor() const { return redactor_; }
  const Redactor* secrets() const override { return &redactor_; }
  void set_file_filter(FileFilter filter) { file_filter_ = std::move(filter); }
  // Another host that gets every call too (not owned; nullptr for none).
  void set_mirror(NotebookHost* mirror) { mirror_ = mirror; }

  // Ends a console line left open by print(..., false), so what follows starts afresh.
  void end_open_line();

  // Appends an event of the current cell: {"type": type, "cell": N, ...fields}.
  void emit(const std::string& type, json fields = json::object());

 private:
  std::string redact(std::string_view text) const { return redactor_.text(text); }
  std::string offer(const std::string& name, const std::string& mime, std::string bytes);

  EventLog& events_;
  FileStore& files_;
  Redactor redactor_;
  FileFilter file_filter_;
  NotebookHost* mirror_ = nullptr;
  long long cell_ = 0;
  int figures_ = 0;
  bool line_open_ = false;
};

}  // namespace norvex
