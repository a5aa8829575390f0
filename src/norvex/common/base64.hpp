#pragma once
#include <string>
#include <string_view>

namespace norvex {
std::string base64_encode(std::string_view bytes);
// Strict decoding of standard base64; ASCII white space inside is ignored (payloads are
// often wrapped). ValueError on any other character or a bad length.
std::string base64_decode(std::string_view text);
// The 6-bit value of one base64 character, or -1.
int base64_value(unsigned char c);
}  // namespace norvex
