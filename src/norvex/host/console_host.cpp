#include "norvex/host/console_host.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "norvex/common/base64.hpp"
#include "norvex/common/text.hpp"
#include "norvex/host/download_links.hpp"
#include "norvex/host/terminal_text.hpp"

namespace norvex {

namespace fs = std::filesystem;

std::string html_to_text(std::string_view html) {
  std::string out;
  size_t i = 0;
  while (i < html.size()) {
    if (html[i] != '<') {
      size_t next = html.find('<', i);
      if (next == std::string_view::npos) next = html.size();
      std::string_view run = html.substr(i, next - i);
      // Line breaks between tags are layout of the markup, not of the text.
      const bool layout_only = run.find_first_not_of(" \t\r\n") == std::string_view::npos &&
                               run.find('\n') != std::string_view::npos;
      if (!layout_only) out.append(run);
      i = next;
      continue;
    }
    size_t close = html.find('>', i);
    if (close == std::string_view::npos) break;
    std::string tag = ascii_lower(html.substr(i + 1, close - i - 1));
    i = close + 1;
    std::string name;
    for (char c : tag) {
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '!')
        name += c;
      else
        break;
    }
    if (name == "script" || name == "style") {
      size_t end = ascii_lower(html.substr(i)).find("</" + name);
      i = end == std::string::npos ? html.size() : i + end;
      continue;
    }
    if (name == "br" || name == "/p" || name == "/div" || name == "/tr" || name == "/li" ||
        name == "/pre" || name == "/table" || name == "/ul" || name == "/ol" ||
        (name.size() == 3 && name[0] == '/' && name[1] == 'h' && std::isdigit(name[2]))) {
      out += '\n';
    } else if (name == "/td" || name == "/th") {
      out += " | ";
    } else if (name == "li") {
      out += "• ";
    } else if (name == "img") {
      out += "[image]";
    } else if (name == "iframe") {
      out += "[interactive plot]";
    }
  }
  decode_html_entities(out);
  // Trim each line and keep at most one blank line in a row.
  std::string result, line;
  int blank_run = 0;
  auto flush_line = [&](bool last) {
    size_t b = line.find_first_not_of(" \t\r");
    size_t e = line.find_last_not_of(" \t\r|");
    std::string t = b == std::string::npos ? "" : line.substr(b, e - b + 1);
    if (t.empty()) {
      ++blank_run;
    } else {
      if (!result.empty()) result += blank_run > 0 ? "\n\n" : "\n";
      result += t;
      blank_run = 0;
    }
    line.clear();
    (void)last;
  };
  for (char c : out) {
    if (c == '\n')
      flush_line(false);
    else
      line += c;
  }
  flush_line(true);
  return result;
}

ConsoleHost::ConsoleHost(std::ostream& out, std::ostream& err, std::optional<fs::path> out_dir)
    : out_(out), err_(err), out_dir_(std::move(out_dir)) {}

ConsoleHost::~ConsoleHost() {
  if (out_dir_ && transcript_state_ != TranscriptState::Held) flush_console_block();
  if (transcript_fd_ >= 0) ::close(transcript_fd_);
}

std::optional<fs::path> ConsoleHost::transcript_path() const {
  if (!out_dir_) return std::nullopt;
  return *out_dir_ / "transcript.html";
}

void ConsoleHost::add_secret(const std::string& secret) {
  redactor_.add(secret);
}

void ConsoleHost::set_file_filter(FileFilter filter) {
  file_filter_ = std::move(filter);
}

namespace {

std::string errno_text(int error) {
  return std::strerror(error);
}

bool write_all(int fd, std::string_view data, int& error) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string local_time_text() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

// At most `bytes` bytes of UTF-8 text, not cutting a character.
std::string utf8_truncated(std::string text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

const char* kTranscriptHeader =
    "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
    "<title>norvex transcript</title><style>"
    "body{font-family:'Noto Sans','Noto Sans CJK KR',sans-serif;max-width:1000px;margin:2em "
    "auto;padding:0 1em;color:#222}"
    "h2.q{border-top:2px solid #ccd;padding-top:.8em;margin-top:2em;font-size:1.15em}"
    "pre{white-space:pre-wrap;word-break:break-word;margin:0;font-size:.9em}"
    "pre.out{background:#f6f7f9;padding:.1em .6em}"
    "pre.err{background:#fff0f0;color:#a00;padding:.6em}"
    "pre.json{background:#f6f7f9;padding:.6em}"
    ".cell{border-left:3px solid #4a7;margin:.6em 0}.prompt{color:#4a7;font-size:.8em;"
    "padding-left:.5em}"
    "img{max-width:100%;height:auto}table{border-collapse:collapse}"
    "td,th{border:1px solid #ddd;padding:2px 6px}"
    "hr.session{border:0;border-top:4px double #99a;margin:3em 0 0}"
    "p.session{color:#667;font-size:.85em}"
    "</style></head><body>\n<h1>norvex</h1>\n";

}  // namespace

void ConsoleHost::report_failure(const std::string& what, const std::string& reason) {
  if (line_open_) {
    out_ << '\n';
    out_.flush();
    line_open_ = false;
  }
  err_ << terminal_safe(redact("⚠️ " + what + ": " + reason)) << '\n';
  err_.flush();
}

void ConsoleHost::hold_transcript() {
  if (transcript_state_ == TranscriptState::Closed) transcript_state_ = TranscriptState::Held;
}

bool ConsoleHost::start_transcript() {
  if (!out_dir_ || transcript_state_ == TranscriptState::Failed) return false;
  if (transcript_state_ == TranscriptState::Open) return true;
  const fs::path path = *transcript_path();
  const std::string what = "The transcript " + path.string() + " cannot be written";
  auto fail = [&](const std::string& reason) {
    transcript_state_ = TranscriptState::Failed;
    held_.clear();
    report_failure(what, reason);
    return false;
  };
  std::error_code ec;
  fs::create_directories(*out_dir_, ec);
  if (ec) return fail(ec.message());
  // Never through a symbolic link planted in the folder, never blocking on a FIFO.
  const int fd = ::open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    const int e = errno;
    return fail(e == ELOOP ? "it is a symbolic link, which is not followed" : errno_text(e));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail("it is not a regular file");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  transcript_fd_ = fd;
  transcript_state_ = TranscriptState::Open;
  transcript_continued_ = st.st_size > 0;
  // An earlier conversation's record stays; this one follows it after a separator.
  std::string head =
      st.st_size == 0 ? std::string(kTranscriptHeader) : std::string("\n<hr class=\"session\">\n");
  head += "<p class=\"session\">Conversation started " + local_time_text() + "</p>\n";
  std::string pending = std::move(held_);
  held_.clear();
  write_fragment(head);
  if (!pending.empty()) write_fragment(pending);
  return transcript_state_ == TranscriptState::Open;
}

void ConsoleHost::write_fragment(const std::string& fragment) {
  switch (transcript_state_) {
    case TranscriptState::Closed:
      if (!start_transcript()) return;
      break;
    case TranscriptState::Held:
      held_ += fragment;
      if (fragment.empty() || fragment.back() != '\n') held_ += '\n';
      return;
    case TranscriptState::Failed:
      return;
    case TranscriptState::Open:
      break;
  }
  // Written straight to the file as it comes, so a crash keeps everything shown so far
  // (browsers accept the missing closing tags).
  std::string data = fragment;
  if (data.empty() || data.back() != '\n') data += '\n';
  int error = 0;
  if (!write_all(transcript_fd_, data, error)) {
    transcript_state_ = TranscriptState::Failed;
    report_failure("The transcript " + transcript_path()->string() + " cannot be written",
                   errno_text(error) + "; the rest of this conversation is not in it");
  }
}

// Text shown on the terminal for a display: it starts on a line of its own.
void ConsoleHost::terminal(std::string_view text) {
  if (line_open_) {
    out_ << '\n';
    line_open_ = false;
  }
  out_ << terminal_safe(text);
  if (text.empty() || text.back() != '\n') out_ << '\n';
  out_.flush();
}

void ConsoleHost::terminal_saved(std::string_view prefix, const fs::path& path) {
  const std::string shown = redact(path.string());
  if (!hyperlinks_) {
    terminal(std::string(prefix) + shown);
    return;
  }
  if (line_open_) {
    out_ << '\n';
    line_open_ = false;
  }
  // The link wraps a path we made; nothing else is sent unescaped.
  out_ << terminal_safe(prefix) << terminal_hyperlink(file_url(path), shown) << '\n';
  out_.flush();
}

void ConsoleHost::print(std::string_view raw, bool end_line) {
  const std::string text = redact(raw);
  out_ << terminal_safe(text);
  if (end_line) out_ << '\n';
  out_.flush();
  line_open_ = !end_line;
  if (!out_dir_) return;
  console_block_ += text;
  if (end_line) {
    console_block_ += '\n';
    flush_console_block();
  }
}

void ConsoleHost::end_open_line() {
  if (line_open_) print("");
}

void ConsoleHost::print_error(std::string_view raw) {
  const std::string text = redact(raw);
  if (line_open_) {
    out_ << '\n';
    out_.flush();
    line_open_ = false;
  }
  err_ << terminal_safe(text);
  if (text.empty() || text.back() != '\n') err_ << '\n';
  err_.flush();
  if (!out_dir_) return;
  append("<pre class=\"err\">" + html_escape(text) + "</pre>");
}

void ConsoleHost::flush_console_block() {
  if (console_block_.empty()) return;
  const std::string block = std::move(console_block_);
  console_block_.clear();
  write_fragment("<pre class=\"out\">" + html_escape(block) + "</pre>");
}

void ConsoleHost::append(const std::string& fragment) {
  flush_console_block();
  write_fragment(fragment);
}

void ConsoleHost::display_html(const std::string& raw) {
  const std::string html = redact(raw);
  const std::string text = html_to_text(html);
  if (!text.empty()) terminal(text);
  if (!out_dir_) return;
  append("<div class=\"html\">" + html + "</div>");
}

void ConsoleHost::offer_download(const Download& raw) {
  Download file;
  file.name = plain_file_name(redact(raw.name));
  file.mime = redact(raw.mime);
  file.label = redact(raw.label);
  const std::string shown = xml_escape(file.name);
  if (!out_dir_) {
    terminal(html_to_text(download_link_html(shown, "", download_link_text(file, shown))));
    return;
  }
  file.bytes = filtered(file.name, raw.bytes);
  std::string html;
  std::optional<fs::path> path = save_file(file.name, file.bytes);
  if (path) {
    // The link points to the file and names it as saved.
    const std::string saved = path->filename().string();
    std::string text = download_link_text(file, shown);
    if (saved != file.name) {
      const std::string from = html_escape(file.name), to = html_escape(saved);
      for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    }
    html = download_link_html(html_escape(saved), html_escape(percent_encode(saved)), text);
    downloads_.push_back(*path);
  } else {
    // Not on disk: the transcript keeps the (redacted) file itself.
    html = download_link_html(html_escape(file.name),
                              "data:" + file.mime + ";base64," + base64_encode(file.bytes),
                              download_link_text(file, shown));
  }
  terminal(html_to_text(html));
  if (path) terminal_saved("📎 saved ", *path);
  append("<div class=\"html\">" + html + "</div>");
}

void ConsoleHost::display_image(const std::string& raw, const std::string& mime) {
  show_image("figure", raw, mime, "");
}

void ConsoleHost::display_figure(const Figure& figure) {
  const std::string stem = figure.name.empty() ? "figure" : plain_file_name(redact(figure.name));
  show_image(stem.empty() ? "figure" : stem, figure.png, "image/png", figure.svg);
}

void ConsoleHost::show_image(const std::string& stem, const std::string& raw,
                             const std::string& mime, const std::string& svg) {
  ++image_count_;
  const std::string label = "image " + std::to_string(image_count_);
  if (!out_dir_) {
    terminal("[" + label + ": " + mime + ", " + std::to_string(raw.size()) + " bytes]");
    return;
  }
  const std::string name = stem + image_extension(mime);
  const std::string bytes = filtered(name, raw);
  int number = 0;
  std::string svg_link;
  if (auto saved = save_file(name, bytes, next_figure_, &number)) {
    next_figure_ = number + 1;
    images_.push_back(*saved);
    terminal_saved("🖼️ " + label + " saved ", *saved);
    if (!svg.empty()) {
      // The SVG takes the PNG's number, so the two read as one figure.
      const std::string svg_name = stem + "-" + std::to_string(number) + ".svg";
      if (auto svg_saved = save_file(svg_name, filtered(svg_name, svg))) {
        images_.push_back(*svg_saved);
        const std::string file = svg_saved->filename().string();
        svg_link = "<div class=\"svg\"><a href=\"" + html_escape(percent_encode(file)) + "\">" +
                   html_escape(file) + "</a></div>";
      }
    }
  } else {
    terminal("[" + label + ": " + mime + ", " + std::to_string(bytes.size()) +
             " bytes, not saved]");
  }
  append("<div class=\"img\"><img alt=\"figure " + std::to_string(image_count_) + "\" src=\"data:" +
         html_escape(mime) + ";base64," + base64_encode(bytes) + "\"></div>" + svg_link);
}

void ConsoleHost::display_json(const json& value) {
  const std::string text = redact(dump_json(value, 2));
  terminal(text);
  if (!out_dir_) return;
  append("<pre class=\"json\">" + html_escape(text) + "</pre>");
}

void ConsoleHost::set_next_input(const std::string& raw) {
  const std::string code = redact(raw);
  terminal("[next cell] code to run in a notebook:\n" + code);
  if (!out_dir_) return;
  append("<div class=\"cell\"><div class=\"prompt\">In [ ]:</div><pre class=\"code\">" +
         html_escape(code) + "</pre></div>");
}

void ConsoleHost::begin_cell(const std::string& question) {
  end_open_line();
  if (!out_dir_) return;
  append("<h2 class=\"q\">" + html_escape(redact(question)) + "</h2>");
}

std::string ConsoleHost::filtered(std::string_view name, std::string bytes) const {
  if (file_filter_) bytes = file_filter_(name, std::move(bytes));
  return redactor_.file_bytes(std::move(bytes));
}

std::optional<fs::path> ConsoleHost::save_file(const std::string& name, std::string_view bytes,
                                               int first_number, int* used_number) {
  std::error_code ec;
  fs::create_directories(*out_dir_, ec);
  if (ec) {
    report_failure("The folder " + out_dir_->string() + " cannot be created", ec.message());
    return std::nullopt;
  }
  // A name of its own for each file: an existing file (or a link planted under that name)
  // is never opened, the next free numbered name is taken instead.
  const size_t dot = name.rfind('.');
  const std::string ext =
      utf8_truncated(dot == std::string::npos || dot == 0 ? "" : name.substr(dot), 20);
  const std::string stem =
      utf8_truncated(name.substr(0, dot == std::string::npos || dot == 0 ? name.size() : dot), 180);
  const int first = first_number > 0 ? first_number : 1;
  for (int n = first; n < first + 100000; ++n) {
    const std::string candidate =
        n == 1 && first_number == 0 ? stem + ext : stem + "-" + std::to_string(n) + ext;
    if (candidate == "transcript.html") continue;
    const fs::path path = *out_dir_ / fs::u8path(candidate);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      report_failure(path.string() + " cannot be written", errno_text(errno));
      return std::nullopt;
    }
    int error = 0;
    const bool written = write_all(fd, bytes, error);
    if (::close(fd) != 0 && written) error = errno;
    if (!written || error != 0) {
      ::unlink(path.c_str());
      report_failure(path.string() + " cannot be written", errno_text(error));
      return std::nullopt;
    }
    if (used_number) *used_number = n;
    return path;
  }
  report_failure(name + " cannot be saved", "no free file name is left in the folder");
  return std::nullopt;
}

}  // namespace norvex
