// `norvex chat`: one assistant over a dataset, one question per input line, until the end
// of input. Refuses to start without an API key. Console lines go to the terminal (control
// characters made visible); everything shown also goes into DIR/transcript.html, and
// images and downloads are written into DIR as files of their own.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "chat_commands.hpp"
#include "chat_signals.hpp"
#include "chat_support.hpp"
#include "commands.hpp"
#include "index_offer.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/documents/redaction.hpp"
#include "norvex/host/console_host.hpp"
#include "norvex/host/host.hpp"
#include "norvex/host/interrupt.hpp"

namespace norvex::app {
namespace {

struct ChatOptions {
  std::string data;
  std::optional<std::string> model;
  std::optional<std::string> api_key;
  std::optional<std::string> base_url;
  std::string wire = "auto";
  std::string out = "norvex_out";
  bool show_router = false;
  ChatCommandOptions commands;
};

bool blank(const std::string& line) {
  return line.find_first_not_of(" \t\r\n\v\f") == std::string::npos;
}

// "norvex · FILE (N cells × G genes) · model M · transcript PATH": what was opened and
// where the record goes.
std::string start_line(const ChatOptions& o, const std::string& model, Assistant& assistant,
                       const ConsoleHost& host, bool transcript_open) {
  const auto& adata = assistant.configured("adata").adata;
  std::string line = "norvex · " + std::filesystem::path(o.data).filename().string();
  if (adata) {
    line += " (" + std::to_string(adata->n_obs()) + " cells × " + std::to_string(adata->n_vars()) +
            " genes)";
  }
  line += " · model " + model;
  if (!transcript_open) {
    line += " · no transcript";
  } else {
    line += " · transcript " + host.transcript_path()->string();
    if (host.transcript_continued()) line += " (continued after the earlier conversation)";
  }
  return line;
}

int run_chat(const ChatOptions& o) {
  ConsoleHost host(std::cout, std::cerr, std::filesystem::path(o.out));
  // Nothing in the folder changes until the conversation has started.
  host.hold_transcript();
  host.set_hyperlinks(terminal_shows_hyperlinks());
  host.set_file_filter([&host](std::string_view, std::string bytes) {
    return redact_document(std::move(bytes), host.redactor());
  });

  const std::string model = o.model.value_or(AssistantOptions{}.model_to_use);
  const KeyChoice key = choose_api_key(model, o.api_key, o.base_url);
  // Every key the client might send is a secret, whichever way it was given.
  if (o.api_key) host.add_secret(*o.api_key);
  if (key.key) host.add_secret(*key.key);
  if (!key.key && key.needs_key) {
    host.print_error("error: " + missing_key_message(model));
    return 1;
  }

  AssistantOptions options;
  // The client gets exactly the key checked and redacted here; an empty one for a local
  // server that takes none.
  options.api_key = key.key ? key.key : std::optional<std::string>("");
  options.model_to_use = model;
  options.adata = o.data;
  options.rem_router = !o.show_router;
  options.base_url = o.base_url;
  options.wire = parse_wire_choice(o.wire);
  options.tool_funcs =
      offering_gene_index(builtin_tool_funcs(), [&host]() -> NotebookHost& { return host; });
  options.host = &host;
  std::optional<Assistant> assistant;
  try {
    assistant.emplace(options);
  } catch (const std::exception& e) {
    host.print_error(std::string("error: ") + error_type_name(e) + ": " + e.what());
    return 1;
  }

  const bool transcript_open = host.start_transcript();
  host.print(start_line(o, model, *assistant, host, transcript_open));
  ChatCommands commands(*assistant, host, o.commands);

  const bool interactive = isatty(STDIN_FILENO) != 0;
  ChatSignals signals;
  std::string line;
  while (true) {
    if (interactive) {
      std::cout << "norvex> " << std::flush;
    }
    // End of input, or a signal at the prompt (or during the last line): the end, as :quit.
    if (!signals.read_line(line)) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (blank(line)) continue;
    host.begin_cell(line);
    if (ChatCommands::is_command(line)) {
      if (!commands.run(line)) break;
      // A command runs to its end; a Ctrl+C during it is forgotten.
      signals.rearm();
      continue;
    }
    try {
      assistant->ask(line);
    } catch (const Interrupted&) {
      // Stopped between model calls or tool steps, before the history changed.
      host.end_open_line();
      host.print("ℹ️ INFO: Question cancelled; the history is as it was.");
    } catch (const std::exception& e) {
      // One failed question does not end the session; the assistant's history is intact.
      host.end_open_line();
      host.print(std::string("❌ ERROR: ") + error_type_name(e) + ": " + e.what());
    }
    host.end_open_line();
    signals.rearm();
  }
  commands.finish();
  if (interactive) std::cout << std::endl;
  return 0;
}

const CommandRegistrar chat([](CLI::App& app) {
  auto* cmd = app.add_subcommand("chat", "Ask questions about a dataset, one per input line");
  auto o = std::make_shared<ChatOptions>();
  cmd->add_option("--data", o->data, "the .h5ad dataset")->required();
  add_model_options(cmd, o->model, o->api_key, o->base_url, o->wire);
  cmd->add_option("--out", o->out, "folder for transcript.html and downloads")
      ->capture_default_str();
  cmd->add_flag("--show-router", o->show_router, "show each question's routing record");
  add_chat_command_options(cmd, o->commands);
  cmd->callback([o] { exit_code() = run_guarded([&] { return run_chat(*o); }); });
});

}  // namespace
}  // namespace norvex::app
