#pragma once
// Escaping text for the markup we write (HTML pages and fragments, Office XML) and reading
// back the entities those writers produce.
#include <string>
#include <string_view>

namespace norvex {

// Escapes &, <, >, " and ' for HTML text and attribute values.
std::string html_escape(std::string_view text);

// Text for XML content or a double-quoted attribute: valid UTF-8, & < > " escaped, and
// characters XML 1.0 forbids (C0 controls other than tab and line ends, U+FFFE/FFFF)
// dropped, because one of them makes Word refuse the whole file.
std::string xml_escape(std::string_view text);

// Replaces the entities our HTML writers produce with their characters.
void decode_html_entities(std::string& s);

}  // namespace norvex
