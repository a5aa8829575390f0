#pragma once
// One place that knows every secret of a session (API keys, from whatever source) and
// takes them out of text, file names and file bytes before anything is shown or written.
#include <string>
#include <string_view>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

class Redactor {
 public:
  static constexpr std::string_view kMark = "[redacted]";
  // Secrets shorter than this are taken out only as whole words: a one-letter key would
  // otherwise tear every word that holds the letter.
  static constexpr size_t kWholeWordBelow = 8;

  // Registers a secret. Surrounding whitespace is not part of it (the services strip it
  // too); a blank secret is ignored, since redacting spaces would destroy every text.
  void add(std::string_view secret);
  bool empty() const { return secrets_.empty(); }

  // Every occurrence of every secret (and of its HTML-escaped form) replaced by kMark.
  std::string text(std::string_view text) const;
  // XML markup: secrets taken out of the character data and attribute values only, so
  // element and attribute names (and the document) stay whole.
  std::string xml(std::string_view markup) const;
  // The bytes of a file: text is redacted; binary bytes (images, archives, HDF5) are
  // returned unchanged, since a replacement inside them only damages them.
  std::string file_bytes(std::string bytes) const;
  // Every text and every object key inside a JSON value.
  json value(const json& v) const;

  // Holds a NUL byte or is not valid UTF-8: not text.
  static bool is_binary(std::string_view bytes);

 private:
  std::string text_in(std::string_view text, bool long_only) const;

  std::vector<std::string> secrets_;  // longest first, so a secret inside another goes too
};

}  // namespace norvex
