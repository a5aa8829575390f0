#pragma once
// The download links the document builders put in HTML, <a download="NAME"
// href="data:MIME;base64,DATA">, found so that a front end can keep the file itself and
// point the link at it (a transcript's folder, a web page's file store).
#include <optional>
#include <string>
#include <string_view>

namespace norvex {

struct DataLink {
  size_t name_begin = 0, name_end = 0;  // the download attribute's value
  size_t href = 0;                      // where href="data: starts
  size_t marker = 0;                    // where ";base64," starts
  size_t data_end = 0;                  // the closing quote of href
  std::string name;                     // entities decoded, as a plain file name
  std::string mime;

  std::string_view base64_data(const std::string& html) const {
    return std::string_view(html).substr(marker + 8, data_end - marker - 8);
  }
};

// The first well-formed link at or after `from`. Scanned by hand: the data runs to
// megabytes, too long for a backtracking regex.
std::optional<DataLink> next_data_link(const std::string& html, size_t from);

// A download's name as a plain file name inside a folder: any path part dropped, control
// characters replaced, never hidden, never empty.
std::string plain_file_name(std::string name);

// Replaces the entities our HTML writers produce with their characters.
void decode_html_entities(std::string& s);

// The file extension for an image MIME type (".img" for one we do not know).
const char* image_extension(const std::string& mime);

}  // namespace norvex
