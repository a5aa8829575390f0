#include "norvex/host/console_host.hpp"

#include <fstream>
#include <regex>

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

void ConsoleHost::print(std::string_view text, bool end_line) {
  out_ << text;
  if (end_line) out_ << '\n';
  out_.flush();
  if (!out_dir_) return;
  console_block_ += text;
  if (end_line) {
    console_block_ += '\n';
    flush_console_block();
  }
}

void ConsoleHost::print_error(std::string_view text) {
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

void ConsoleHost::display_html(const std::string& html) {
  if (!out_dir_) {
    out_ << "[html output, " << html.size() << " bytes]\n";
    return;
  }
  save_downloads(html);
  append("<div class=\"html\">" + html + "</div>");
}

void ConsoleHost::display_image(const std::string& bytes, const std::string& mime) {
  ++image_count_;
  if (!out_dir_) {
    out_ << "[image " << image_count_ << ": " << mime << ", " << bytes.size() << " bytes]\n";
    return;
  }
  append("<div class=\"img\"><img alt=\"figure " + std::to_string(image_count_) +
         "\" src=\"data:" + html_escape(mime) + ";base64," + base64_encode(bytes) + "\"></div>");
}

void ConsoleHost::display_json(const json& value) {
  if (!out_dir_) {
    out_ << dump_json(value, 2) << '\n';
    return;
  }
  append("<pre class=\"json\">" + html_escape(dump_json(value, 2)) + "</pre>");
}

void ConsoleHost::set_next_input(const std::string& code) {
  if (!out_dir_) {
    out_ << "[next cell]\n" << code << '\n';
    return;
  }
  append("<div class=\"cell\"><div class=\"prompt\">In [ ]:</div><pre class=\"code\">" +
         html_escape(code) + "</pre></div>");
}

void ConsoleHost::begin_cell(const std::string& question) {
  if (!out_dir_) return;
  append("<h2 class=\"q\">" + html_escape(question) + "</h2>");
}

void ConsoleHost::save_downloads(const std::string& html) {
  // Links made by the document builders: <a download="NAME" href="data:MIME;base64,DATA">.
  static const std::regex link(
      R"(download=\"([^\"]*)\"[^>]*href=\"data:[^;\"]*;base64,([A-Za-z0-9+/=]*)\")");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), link); it != std::sregex_iterator();
       ++it) {
    std::string name = (*it)[1].str();
    // Only a plain file name may leave the page; anything with a path part is refused.
    if (name.empty() || name.find('/') != std::string::npos ||
        name.find('\\') != std::string::npos || name == "." || name == "..")
      continue;
    std::string bytes;
    try {
      bytes = base64_decode((*it)[2].str());
    } catch (const std::exception&) {
      continue;
    }
    fs::path path = *out_dir_ / fs::u8path(name);
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (f) downloads_.push_back(path);
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
