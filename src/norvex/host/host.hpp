#pragma once
// The notebook host: everything the assistant shows goes through here, never straight to
// stdout, so tests see exactly what a user sees and every front end shows the same thing.
#include <memory>
#include <string>
#include <string_view>

#include "norvex/common/json.hpp"

namespace norvex {

class Redactor;

// A file offered to the user: the bytes with the name to save them under and their type.
struct Download {
  std::string name;  // a plain file name ("table.xlsx")
  std::string mime;
  std::string bytes;
  std::string label = "document";  // what the file holds, for the link's text ("report")
};

// A figure to show: its PNG bytes, optionally the same figure as an SVG document, and the
// file stem to save it under (empty: the host's own "figure-N").
struct Figure {
  std::string png;
  std::string svg;
  std::string name;
};

class NotebookHost {
 public:
  virtual ~NotebookHost() = default;
  // Console text; end_line=false leaves the line open for a later "done (...)", which
  // is how a status line ("✅ Analyzing query .. ") is shown.
  virtual void print(std::string_view text, bool end_line = true) = 0;
  // A page (or fragment) of HTML.
  virtual void display_html(const std::string& html) = 0;
  // The HTML of a result table; shown as any other HTML unless a host keeps tables apart.
  virtual void display_table(const std::string& html) { display_html(html); }
  // A file to download: a notebook shows a link carrying the bytes, a front end with
  // files of its own keeps them and links to its copy.
  virtual void offer_download(const Download& file) = 0;
  // Raw image bytes (PNG, JPEG, GIF, WebP); mime like "image/png".
  virtual void display_image(const std::string& bytes, const std::string& mime) = 0;
  // A plot. Hosts that keep files also keep its SVG; the rest show the PNG.
  virtual void display_figure(const Figure& figure) { display_image(figure.png, "image/png"); }
  virtual void display_json(const json& value) = 0;
  // Places code in a new input cell below the current one.
  virtual void set_next_input(const std::string& code) = 0;
  // The error stream (tracebacks, error reports).
  virtual void print_error(std::string_view text) = 0;
  // The secrets this host takes out of what it shows (nullptr: none), so that what the
  // flows keep (the saved store in the dataset) is free of them too.
  virtual const Redactor* secrets() const { return nullptr; }
};

// The terminal: a console host on stdout and stderr, for programs that show nothing else.
NotebookHost& terminal_host();

// The host of the current thread's assistant calls; a console host unless replaced.
NotebookHost& current_host();
// Installs a host (not owned) for subsequent calls; nullptr restores the default.
void set_current_host(NotebookHost* host);

// Installs a host for the lifetime of the guard.
class ScopedHost {
 public:
  explicit ScopedHost(NotebookHost& host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;

 private:
  NotebookHost* previous_;
};

}  // namespace norvex
