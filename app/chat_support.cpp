#include "chat_support.hpp"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "norvex/documents/ooxml.hpp"

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

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
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

std::string redact_file_bytes(std::string bytes, const Redactor& redactor) {
  if (redactor.empty()) return bytes;
  if (bytes.rfind("PK\x03\x04", 0) != 0) return redactor.file_bytes(std::move(bytes));
  std::vector<ooxml::ZipEntry> entries;
  try {
    entries = ooxml::zip_read(bytes);
  } catch (const std::exception&) {
    return bytes;  // not an archive we can read: binary, left whole
  }
  bool changed = false;
  for (auto& entry : entries) {
    // The parts are XML (text, relationships, properties); embedded media and other
    // binary parts are left alone, since a replacement inside them only damages them.
    if (Redactor::is_binary(entry.data)) continue;
    const bool markup = ends_with(entry.name, ".xml") || ends_with(entry.name, ".rels");
    std::string redacted = markup ? redactor.xml(entry.data) : redactor.text(entry.data);
    if (redacted != entry.data) {
      entry.data = std::move(redacted);
      changed = true;
    }
  }
  return changed ? ooxml::zip_write(entries) : bytes;
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
  return ends_with(t, "kitty") || t.rfind("foot", 0) == 0 || t == "alacritty";
}

}  // namespace norvex::app
