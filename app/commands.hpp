#pragma once
// Each subcommand lives in its own file and registers itself here at start-up.
#include <CLI/CLI.hpp>
#include <functional>

namespace norvex::app {

// Adds one subcommand (its options and callback) to the program.
using CommandSetup = std::function<void(CLI::App& app)>;

struct CommandRegistrar {
  explicit CommandRegistrar(CommandSetup setup);
};

// The program's exit code, set by the subcommand that ran.
int& exit_code();

// Runs a subcommand body: library errors become "error: <message>" and exit code 1.
int run_guarded(const std::function<int()>& body);

}  // namespace norvex::app
