#include "norvex/host/console_host.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

#include "norvex/common/text.hpp"
#include "norvex/common/base64.hpp"

namespace norvex {

namespace fs = std::filesystem;

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#x27;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

namespace {


void decode_entities(std::string& s) {
  static const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"},  {"&gt;", ">"},   {"&quot;", "\""}, {"&#x27;", "'"},
      {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
  for (auto& [from, to] : entities) {
    std::string f = from;
    for (size_t pos = 0; (pos = s.find(f, pos)) != std::string::npos; pos += std::strlen(to))
      s.replace(pos, f.size(), to);
  }
}

}  // namespace

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
  decode_entities(out);
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
    : out_(out), err_(err), out_dir_(std::move(out_dir)) {
  if (out_dir_) {
    fs::create_directories(*out_dir_);
    write_header();
  }
}

ConsoleHost::~ConsoleHost() {
  if (out_dir_) flush_console_block();
}

std::optional<fs::path> ConsoleHost::transcript_path() const {
  if (!out_dir_) return std::nullopt;
  return *out_dir_ / "transcript.html";
}

void ConsoleHost::add_secret(const std::string& secret) {
  if (!secret.empty()) secrets_.push_back(secret);
}

std::string ConsoleHost::redact(std::string_view text) const {
  std::string s(text);
  for (const auto& secret : secrets_) {
    for (size_t pos = 0; (pos = s.find(secret, pos)) != std::string::npos; pos += 10)
      s.replace(pos, secret.size(), "[redacted]");
  }
  return s;
}

// Text shown on the terminal for a display: it starts on a line of its own.
void ConsoleHost::terminal(std::string_view text) {
  if (line_open_) {
    out_ << '\n';
    line_open_ = false;
  }
  out_ << text;
  if (text.empty() || text.back() != '\n') out_ << '\n';
  out_.flush();
}

void ConsoleHost::print(std::string_view raw, bool end_line) {
  const std::string text = redact(raw);
  out_ << text;
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
  err_ << text;
  if (text.empty() || text.back() != '\n') err_ << '\n';
  err_.flush();
  if (!out_dir_) return;
  append("<pre class=\"err\">" + html_escape(text) + "</pre>");
}

void ConsoleHost::flush_console_block() {
  if (console_block_.empty()) return;
  write_fragment("<pre class=\"out\">" + html_escape(console_block_) + "</pre>");
  console_block_.clear();
}

void ConsoleHost::append(const std::string& fragment) {
  flush_console_block();
  write_fragment(fragment);
}

void ConsoleHost::display_html(const std::string& raw) {
  const std::string html = redact(raw);
  std::string text = html_to_text(html);
  if (!text.empty()) terminal(text);
  if (!out_dir_) return;
  save_downloads(html);
  append("<div class=\"html\">" + html + "</div>");
}

void ConsoleHost::display_image(const std::string& bytes, const std::string& mime) {
  ++image_count_;
  terminal("[image " + std::to_string(image_count_) + ": " + mime + ", " +
           std::to_string(bytes.size()) + " bytes]");
  if (!out_dir_) return;
  append("<div class=\"img\"><img alt=\"figure " + std::to_string(image_count_) +
         "\" src=\"data:" + html_escape(mime) + ";base64," + base64_encode(bytes) + "\"></div>");
}

void ConsoleHost::display_json(const json& value) {
  const std::string text = redact(dump_json(value, 2));
  terminal(text);
  if (!out_dir_) return;
  append("<pre class=\"json\">" + html_escape(text) + "</pre>");
}

void ConsoleHost::set_next_input(const std::string& raw) {
  const std::string code = redact(raw);
  terminal("[next cell]\n" + code);
  if (!out_dir_) return;
  append("<div class=\"cell\"><div class=\"prompt\">In [ ]:</div><pre class=\"code\">" +
         html_escape(code) + "</pre></div>");
}

void ConsoleHost::begin_cell(const std::string& question) {
  end_open_line();
  if (!out_dir_) return;
  append("<h2 class=\"q\">" + html_escape(redact(question)) + "</h2>");
}

void ConsoleHost::save_downloads(const std::string& html) {
  // Links made by the document builders: <a download="NAME" href="data:MIME;base64,DATA">.
  // Scanned by hand: the data runs to megabytes, too long for a backtracking regex.
  size_t pos = 0;
  while ((pos = html.find("download=\"", pos)) != std::string::npos) {
    const size_t name_begin = pos + 10;
    const size_t name_end = html.find('"', name_begin);
    if (name_end == std::string::npos) break;
    pos = name_end + 1;
    const size_t tag_end = html.find('>', name_end);
    const size_t href = html.find("href=\"data:", name_end);
    if (href == std::string::npos || (tag_end != std::string::npos && href > tag_end)) continue;
    const size_t marker = html.find(";base64,", href);
    const size_t data_end = html.find('"', href + 11);
    if (marker == std::string::npos || data_end == std::string::npos || marker > data_end) continue;
    const size_t data_begin = marker + 8;
    std::string name = html.substr(name_begin, name_end - name_begin);
    // The name sits in an attribute, so it arrives HTML-escaped.
    decode_entities(name);
    // Only a plain file name may leave the page; anything with a path part is refused.
    if (name.empty() || name.find('/') != std::string::npos ||
        name.find('\\') != std::string::npos || name == "." || name == ".." ||
        name == "transcript.html")
      continue;
    std::string bytes;
    try {
      bytes = base64_decode(std::string_view(html).substr(data_begin, data_end - data_begin));
    } catch (const std::exception&) {
      continue;
    }
    fs::path path = *out_dir_ / fs::u8path(name);
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (f) {
      downloads_.push_back(path);
      terminal("📎 saved " + path.string());
    }
  }
}

void ConsoleHost::write_header() const {
  std::ofstream f(*out_dir_ / "transcript.html", std::ios::binary | std::ios::trunc);
  f << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
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
       "</style></head><body>\n<h1>norvex</h1>\n";
}

void ConsoleHost::write_fragment(const std::string& fragment) const {
  // Append-only, so a long session never rewrites earlier images and a crash keeps
  // everything shown so far (browsers accept the missing closing tags).
  std::ofstream f(*out_dir_ / "transcript.html", std::ios::binary | std::ios::app);
  f << fragment << '\n';
}

}  // namespace norvex
