#pragma once
// Small text helpers shared by every area: ASCII case folding, UTF-8 walking, data URLs.
#include <string>
#include <string_view>

namespace norvex {

// ASCII letters lowered; other bytes (UTF-8 included) unchanged.
std::string ascii_lower(std::string_view text);

// Decodes one UTF-8 character at text[i] into `cp`; returns its length, or 0 when the
// bytes there are not a valid (shortest-form, non-surrogate) encoding.
size_t decode_utf8_at(std::string_view text, size_t i, char32_t& cp);

// Length in characters (code points) and prefix by characters, for UTF-8 text.
size_t utf8_length(std::string_view text);
std::string utf8_prefix(std::string_view text, size_t chars);

// The payload of a base64 data URL ("data:image/png;base64,AAAA" gives "AAAA"); any other
// text is returned as it is.
std::string strip_data_url(const std::string& text);

}  // namespace norvex
