#include "chat_support.hpp"

#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace norvex::app {
namespace {

std::optional<std::string> nonblank_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (s.find_first_not_of(" \t\r\n") == std::string::npos) return std::nullopt;
  return s;
}

bool blank(const std::string& s) {
  return s.find_first_not_of(" \t\r\n") == std::string::npos;
}

bool is_gemini(const std::string& model) {
  return model.rfind("gemini", 0) == 0;
}

}  // namespace

KeyChoice choose_api_key(const std::string& model, const std::optional<std::string>& api_key,
                         const std::optional<std::string>& base_url) {
  KeyChoice choice;
  if (api_key && !blank(*api_key)) {
    choice.key = *api_key;
  } else if (is_gemini(model)) {
    choice.key = nonblank_env("GOOGLE_API_KEY");
    if (!choice.key) choice.key = nonblank_env("GEMINI_API_KEY");
  } else {
    choice.key = nonblank_env("OPENAI_API_KEY");
  }
  // A local OpenAI-compatible server usually takes any key, or none.
  if (!is_gemini(model) && base_url && !blank(*base_url)) choice.needs_key = false;
  return choice;
}

std::string missing_key_message(const std::string& model) {
  return "No API key found for the model " + model +
         ".\nGive one with --api-key KEY, or set OPENAI_API_KEY (GEMINI_API_KEY for gemini-* "
         "models),\nor use a local OpenAI-compatible server with --base-url URL.";
}

bool terminal_shows_hyperlinks() {
  if (isatty(STDOUT_FILENO) == 0) return false;
  const char* term = std::getenv("TERM");
  if (!term || std::string(term) == "dumb") return false;
  // Terminals that show OSC 8 links; others may print the sequence's text, so they get
  // plain paths.
  if (const char* vte = std::getenv("VTE_VERSION"); vte && std::atoi(vte) >= 5000) return true;
  for (const char* name : {"KITTY_WINDOW_ID", "WT_SESSION", "KONSOLE_VERSION", "WEZTERM_PANE"})
    if (std::getenv(name)) return true;
  if (const char* program = std::getenv("TERM_PROGRAM")) {
    for (std::string_view known : {"iTerm.app", "WezTerm", "vscode", "ghostty"})
      if (known == program) return true;
  }
  const std::string t = term;
  return t.ends_with("kitty") || t.rfind("foot", 0) == 0 || t == "alacritty";
}

}  // namespace norvex::app
