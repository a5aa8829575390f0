#pragma once
// The commands of `norvex chat` around the conversation: a line starting with ":" is a
// command, any other line a question. Kept apart from the read loop so each can change
// on its own.
#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "norvex/assistant/norvex.hpp"
#include "norvex/host/host.hpp"

namespace norvex::app {

struct ChatCommandOptions {
  std::optional<std::string> save_on_exit;  // the dataset, with its saved store, at the end
};

// Adds the model-service options that chat and serve share (--model, --api-key,
// --base-url, --wire).
void add_model_options(CLI::App* cmd, std::optional<std::string>& model,
                       std::optional<std::string>& api_key, std::optional<std::string>& base_url,
                       std::string& wire);

// Adds the command-related options (--save-on-exit) to the chat subcommand.
void add_chat_command_options(CLI::App* chat, ChatCommandOptions& options);

class ChatCommands {
 public:
  // ValueError when --save-on-exit names the dataset the session reads (refused before any
  // question is asked, so nothing is lost later).
  ChatCommands(Assistant& assistant, NotebookHost& host, ChatCommandOptions options);

  static bool is_command(const std::string& line);
  // Runs one command line; false when the session should end (:quit).
  bool run(const std::string& line);
  // End of the session: writes the --save-on-exit file when one was given.
  void finish();

 private:
  bool run_one(const std::string& line);
  void write(const std::string& file, bool force);
  void list_history();

  Assistant& assistant_;
  NotebookHost& host_;
  ChatCommandOptions options_;
};

}  // namespace norvex::app
