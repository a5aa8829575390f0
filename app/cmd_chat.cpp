// `norvex chat`: one assistant over a dataset, one question per input line, until the end
// of input. Console lines go to the terminal as printed; everything shown also goes into
// DIR/transcript.html, and downloads are written into DIR.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "chat_commands.hpp"
#include "commands.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/host/console_host.hpp"
#include "norvex/host/host.hpp"

namespace norvex::app {
namespace {

struct ChatOptions {
  std::string data;
  std::optional<std::string> model;
  std::optional<std::string> api_key;
  std::optional<std::string> base_url;
  std::string out = "norvex_out";
  bool show_router = false;
  ChatCommandOptions commands;
};

bool blank(const std::string& line) {
  return line.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

int run_chat(const ChatOptions& o) {
  ConsoleHost host(std::cout, std::cerr, std::filesystem::path(o.out));
  if (o.api_key) host.add_secret(*o.api_key);
  ScopedHost scoped(host);

  AssistantOptions options;
  options.api_key = o.api_key;
  if (o.model) options.model_to_use = *o.model;
  options.adata = o.data;
  options.rem_router = !o.show_router;
  options.base_url = o.base_url;
  norvex assistant(options);
  ChatCommands commands(assistant, host, o.commands);

  const bool interactive = isatty(STDIN_FILENO) != 0;
  std::string line;
  while (true) {
    if (interactive) {
      std::cout << "norvex> " << std::flush;
    }
    if (!std::getline(std::cin, line)) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (blank(line)) continue;
    host.begin_cell(line);
    if (ChatCommands::is_command(line)) {
      if (!commands.run(line)) break;
      continue;
    }
    try {
      assistant.ask(line);
    } catch (const std::exception& e) {
      // One failed question does not end the session; the assistant's history is intact.
      host.end_open_line();
      host.print(std::string("❌ ERROR: ") + error_type_name(e) + ": " + e.what());
    }
    host.end_open_line();
  }
  commands.finish();
  if (interactive) std::cout << std::endl;
  return 0;
}

const CommandRegistrar chat([](CLI::App& app) {
  auto* cmd = app.add_subcommand("chat", "Ask questions about a dataset, one per input line");
  auto o = std::make_shared<ChatOptions>();
  cmd->add_option("--data", o->data, "the .h5ad dataset")->required();
  cmd->add_option("--model", o->model, "model name (default gpt-5; gemini-* uses Gemini)");
  cmd->add_option("--api-key", o->api_key, "the model service's API key");
  cmd->add_option("--base-url", o->base_url, "service endpoint (a gateway or a test server)");
  cmd->add_option("--out", o->out, "folder for transcript.html and downloads")
      ->capture_default_str();
  cmd->add_flag("--show-router", o->show_router, "show each question's routing record");
  add_chat_command_options(cmd, o->commands);
  cmd->callback([o] { exit_code() = run_guarded([&] { return run_chat(*o); }); });
});

}  // namespace
}  // namespace norvex::app
