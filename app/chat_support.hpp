#pragma once
// Pieces of `norvex chat` that need more than the console host may use: the API key the
// model client will use (so it can be checked at start and redacted everywhere), the
// redaction of secrets inside the documents written as downloads, and whether the
// terminal shows hyperlinks.
#include <optional>
#include <string>
#include <string_view>

namespace norvex::app {

struct KeyChoice {
  std::optional<std::string> key;  // the key the client will send; nullopt when none
  bool needs_key = true;           // false for an OpenAI-compatible server at --base-url
};

// The key the model's client will use, by the clients' own rules: --api-key, else (Gemini
// models) GOOGLE_API_KEY or GEMINI_API_KEY, (other models) OPENAI_API_KEY. A blank key
// counts as none.
KeyChoice choose_api_key(const std::string& model, const std::optional<std::string>& api_key,
                         const std::optional<std::string>& base_url);

// What to tell a user who started without a key.
std::string missing_key_message(const std::string& model);

// True when standard output is a terminal known to show OSC 8 hyperlinks.
bool terminal_shows_hyperlinks();

}  // namespace norvex::app
