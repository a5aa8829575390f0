#pragma once
// Text bound for a terminal. Anything a model, a dataset or a user wrote can carry escape
// sequences (window title, screen clear, hyperlinks, cursor moves); a terminal obeys them,
// so such text is made inert before it is printed.
#include <filesystem>
#include <string>
#include <string_view>

namespace norvex {

// The text with every control character except line feed and tab made visible: C0 controls
// in caret notation (ESC as "^[", CR as "^M"), DEL as "^?", C1 controls as "<U+009B>", and
// bytes that are not UTF-8 as "\xNN".
std::string terminal_safe(std::string_view text);

// Every byte outside the URL's unreserved set (letters, digits, - . _ ~) as %XX, and '/'
// too unless keep_slash.
std::string percent_encode(std::string_view text, bool keep_slash = false);

// A file: URL for a path (made absolute, every byte outside the unreserved set and '/'
// percent-encoded, so the URL holds no control character).
std::string file_url(const std::filesystem::path& path);

// `label` (made terminal-safe) as an OSC 8 hyperlink to `url` (which must come from
// file_url or be otherwise free of control characters).
std::string terminal_hyperlink(std::string_view url, std::string_view label);

}  // namespace norvex
