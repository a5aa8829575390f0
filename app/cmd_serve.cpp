// `norvex serve`: the assistant as a local web page. One engine behind it: the page is
// another notebook host (src/norvex/serve), the questions and the :saved and :report
// commands run exactly as in `norvex chat`, and the transcript and downloads are written
// into DIR as the chat writes them. The API key stays in this process: never sent to the
// page, never printed.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "chat_commands.hpp"
#include "chat_support.hpp"
#include "commands.hpp"
#include "index_offer.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/display/report.hpp"
#include "norvex/display/show_tree.hpp"
#include "norvex/host/console_host.hpp"
#include "norvex/host/host.hpp"
#include "norvex/serve/web_server.hpp"

extern char** environ;

namespace norvex::app {
namespace {

struct ServeCliOptions {
  std::string data;
  std::optional<std::string> model;
  std::optional<std::string> api_key;
  std::optional<std::string> base_url;
  std::optional<std::string> host;
  int port = 8765;
  std::string out = "norvex_out";
  bool open = false;
  ChatCommandOptions commands;
};

// Opens the address in the desktop's browser; false when there is no way to.
bool open_in_browser(const std::string& url) {
  for (const char* opener : {"xdg-open", "sensible-browser"}) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(opener), const_cast<char*>(url.c_str()), nullptr};
    if (posix_spawnp(&pid, opener, nullptr, nullptr, argv, environ) != 0) continue;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
      return true;
  }
  return false;
}

int run_serve(const ServeCliOptions& o) {
  // The record on disk: the chat's transcript and files; its terminal side goes nowhere,
  // the page is what the researcher looks at.
  std::ostream nowhere(nullptr);
  ConsoleHost record(nowhere, std::cerr, std::filesystem::path(o.out));
  record.hold_transcript();
  record.set_file_filter([&record](std::string_view, std::string bytes) {
    return redact_file_bytes(std::move(bytes), record.redactor());
  });
  ConsoleHost terminal(std::cout, std::cerr);

  const std::string model = o.model.value_or(AssistantOptions{}.model_to_use);
  const KeyChoice key = choose_api_key(model, o.api_key, o.base_url);
  for (const auto& secret : {o.api_key, key.key}) {
    if (!secret) continue;
    record.add_secret(*secret);
    terminal.add_secret(*secret);
  }
  if (!key.key && key.needs_key) {
    terminal.print_error("error: " + missing_key_message(model));
    return 1;
  }

  NotebookHost* offer_to = &terminal;  // the page once it is up
  AssistantOptions options;
  options.api_key = key.key ? key.key : std::optional<std::string>("");
  options.model_to_use = model;
  options.adata = o.data;
  options.base_url = o.base_url;
  options.tool_funcs = offering_gene_index(builtin_tool_funcs(),
                                           [&offer_to]() -> NotebookHost& { return *offer_to; });
  options.host = &terminal;
  std::optional<Assistant> assistant;
  {
    try {
      assistant.emplace(options);
    } catch (const std::exception& e) {
      terminal.print_error(std::string("error: ") + error_type_name(e) + ": " + e.what());
      return 1;
    }
  }
  const auto adata = assistant->configured("adata").adata;

  ServeOptions serve;
  serve.host = o.host.value_or("127.0.0.1");
  serve.port = o.port;
  // Beyond the default loopback address, only with the token printed below.
  if (o.host) serve.token = make_access_token();
  serve.panels = {"context", "saved", "report"};
  serve.page_info = {{"dataset", std::filesystem::path(o.data).filename().string()},
                     {"cells", adata ? adata->n_obs() : 0},
                     {"genes", adata ? adata->n_vars() : 0},
                     {"model", model}};

  std::unique_ptr<WebServer> server;
  std::optional<ChatCommands> commands;
  auto run_job = [&](const ServeJob& job) {
    WebHost& page = server->host();
    if (!job.panel.empty()) {
      // The side panel is not part of the conversation's record.
      page.set_mirror(nullptr);
      if (job.panel == "context") {
        page.emit("context",
                  {{"text", page.redactor().text(assistant->configured("adata").data_context)}});
        page.emit("tree", {{"text", page.redactor().text(show_tree(*adata))}});
      } else if (job.panel == "saved") {
        assistant->check_saved();
      } else if (job.panel == "report") {
        generate_norvex_report(page, *adata);
      }
      return;
    }
    page.set_mirror(&record);
    record.begin_cell(job.text);
    if (ChatCommands::is_command(job.text)) {
      const size_t first = job.text.find_first_not_of(" \t");
      if (job.text.compare(first, 5, ":quit") == 0 &&
          job.text.find_first_not_of(" \t\r\n", first + 5) == std::string::npos) {
        page.print("ℹ️ INFO: The page stays open; stop norvex serve where it was started.");
      } else {
        commands->run(job.text);
      }
    } else {
      // Errors go to the server, which marks the cell failed and goes on.
      assistant->ask(job.text);
    }
    record.end_open_line();
  };

  try {
    server = std::make_unique<WebServer>(serve, run_job);
  } catch (const std::exception& e) {
    terminal.print_error(std::string("error: ") + error_type_name(e) + ": " + e.what());
    return 1;
  }
  WebHost& page = server->host();
  assistant->set_host(page);
  offer_to = &page;
  for (const auto& secret : {o.api_key, key.key}) {
    if (secret) page.add_secret(*secret);
  }
  page.set_file_filter([&page](std::string_view, std::string bytes) {
    return redact_file_bytes(std::move(bytes), page.redactor());
  });
  try {
    commands.emplace(*assistant, page, o.commands);
  } catch (const std::exception& e) {
    terminal.print_error(std::string("error: ") + error_type_name(e) + ": " + e.what());
    return 1;
  }

  // Ctrl+C and termination are waited for here, not handled asynchronously, so the
  // running question finishes and the transcript is complete.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  try {
    server->start();
  } catch (const std::exception& e) {
    terminal.print_error(std::string("error: ") + error_type_name(e) + ": " + e.what());
    return 1;
  }
  const bool transcript_open = record.start_transcript();
  std::string line = "norvex · " + std::filesystem::path(o.data).filename().string();
  if (adata) {
    line += " (" + std::to_string(adata->n_obs()) + " cells × " + std::to_string(adata->n_vars()) +
            " genes)";
  }
  line += " · model " + model;
  line +=
      transcript_open ? " · transcript " + record.transcript_path()->string() : " · no transcript";
  terminal.print(line);
  terminal.print("Open this address in your browser: " + server->url());
  if (serve.token) {
    terminal.print(
        "Anyone with this address can use the assistant with your key and read this "
        "dataset; share it with no one.");
  }
  terminal.print("Press Ctrl+C here to stop.");
  server->enqueue("", "context");
  server->enqueue("", "saved");
  if (o.open && !open_in_browser(server->url()))
    terminal.print("ℹ️ INFO: No browser could be opened; open the address above yourself.");

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  terminal.print("Stopping (the question in progress is finished first).");
  server->stop();
  // What the last command says (the --save-on-exit file written) goes to the terminal.
  page.set_mirror(&terminal);
  page.set_cell(0);
  commands->finish();
  return 0;
}

const CommandRegistrar serve_command([](CLI::App& app) {
  auto* cmd = app.add_subcommand("serve", "The assistant as a web page on this computer");
  auto o = std::make_shared<ServeCliOptions>();
  cmd->add_option("--data", o->data, "the .h5ad dataset")->required();
  cmd->add_option("--model", o->model, "model name (default gpt-5; gemini-* uses Gemini)");
  cmd->add_option("--api-key", o->api_key,
                  "the model service's API key (else OPENAI_API_KEY; GEMINI_API_KEY for gemini-*)");
  cmd->add_option("--base-url", o->base_url, "service endpoint (a gateway or a test server)");
  cmd->add_option("--port", o->port, "port to listen on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  cmd->add_option("--host", o->host,
                  "address to listen on instead of 127.0.0.1; then the page needs the access "
                  "token printed at start");
  cmd->add_option("--out", o->out, "folder for transcript.html and downloads")
      ->capture_default_str();
  cmd->add_flag("--open", o->open, "open the page in the browser");
  add_chat_command_options(cmd, o->commands);
  cmd->callback([o] { exit_code() = run_guarded([&] { return run_serve(*o); }); });
});

}  // namespace
}  // namespace norvex::app
