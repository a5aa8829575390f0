#pragma once
// One place that knows every secret of a session (API keys, from whatever source) and
// takes them out of text, file names and file bytes before anything is shown or written.
#include <string>
#include <string_view>
#include <vector>

namespace norvex {

class Redactor {
 public:
  static constexpr std::string_view kMark = "[redacted]";

  // Registers a secret. Surrounding whitespace is not part of it (the services strip it
  // too); a blank secret is ignored, since redacting spaces would destroy every text.
  void add(std::string_view secret);
  bool empty() const { return secrets_.empty(); }

  // Every occurrence of every secret (and of its HTML-escaped form) replaced by kMark.
  std::string text(std::string_view text) const;

 private:
  std::vector<std::string> secrets_;  // longest first, so a secret inside another goes too
};

}  // namespace norvex
