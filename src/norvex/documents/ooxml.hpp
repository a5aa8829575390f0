#pragma once
// Internal helpers of the document builders: text made safe for XML, ZIP packages in
// memory (libzip stays behind this header), and the size of embedded images.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvex::ooxml {

// Replaces invalid UTF-8 sequences with U+FFFD.
std::string valid_utf8(std::string_view text);
// Number of UTF-16 code units of valid UTF-8 text (Excel counts lengths this way).
size_t utf16_length(std::string_view text);
// Longest prefix of valid UTF-8 text with at most `units` UTF-16 code units.
std::string utf16_prefix(std::string_view text, size_t units);
// Longest prefix of valid UTF-8 text with at most `bytes` bytes, not cutting a character.
std::string utf8_prefix(std::string_view text, size_t bytes);

struct ZipEntry {
  std::string name;
  std::string data;
};
// A ZIP archive of the entries, in order; already-compressed media are stored as they are.
std::string zip_write(const std::vector<ZipEntry>& entries);
// The entries of a ZIP archive held in memory; ValueError when it is not a readable one.
std::vector<ZipEntry> zip_read(const std::string& bytes);

struct ImageInfo {
  std::string extension;  // "png", "jpeg", "gif"
  std::string mime;
  uint32_t width = 0, height = 0;  // pixels
  double dpi_x = 96, dpi_y = 96;
};
// Format and size of PNG, JPEG or GIF bytes; nullopt when the bytes are none of these or
// are visibly damaged (truncated, no size).
std::optional<ImageInfo> probe_image(std::string_view bytes);

}  // namespace norvex::ooxml
