#include "norvex/host/redactor.hpp"

#include <algorithm>

#include "norvex/common/escape.hpp"

namespace norvex {

void Redactor::add(std::string_view secret) {
  const size_t b = secret.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return;
  const size_t e = secret.find_last_not_of(" \t\r\n");
  const std::string core(secret.substr(b, e - b + 1));
  for (const std::string& form : {core, html_escape(core)}) {
    if (std::find(secrets_.begin(), secrets_.end(), form) == secrets_.end())
      secrets_.push_back(form);
  }
  std::stable_sort(secrets_.begin(), secrets_.end(),
                   [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

std::string Redactor::text(std::string_view text) const {
  std::string s(text);
  for (const auto& secret : secrets_) {
    for (size_t pos = 0; (pos = s.find(secret, pos)) != std::string::npos; pos += kMark.size())
      s.replace(pos, secret.size(), kMark);
  }
  return s;
}

}  // namespace norvex
