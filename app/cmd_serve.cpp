// `norvex serve`: the assistant as a local web page. One engine behind it: the page is
// another notebook host (src/norvex/serve), the questions and the :saved and :report
// commands run exactly as in `norvex chat`, and the transcript and downloads are written
// into DIR as the chat writes them. The API key stays in this process: never sent to the
// page, never printed.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chat_commands.hpp"
#include "chat_support.hpp"
#include "commands.hpp"
#include "index_offer.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/display/report.hpp"
#include "norvex/display/show_tree.hpp"
#include "norvex/documents/redaction.hpp"
#include "norvex/host/console_host.hpp"
#include "norvex/host/host.hpp"
#include "norvex/serve/web_server.hpp"

extern char** environ;

namespace norvex::app {
namespace {

namespace fs = std::filesystem;

struct ServeCliOptions {
  std::string data;
  std::optional<std::string> model;
  std::optional<std::string> api_key;
  std::optional<std::string> base_url;
  std::string wire = "auto";
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

// Passes on only the files offered: the side panel's report is written into DIR like every
// download, while its status lines stay out of the conversation's record.
class DownloadsOnly : public NotebookHost {
 public:
  explicit DownloadsOnly(NotebookHost& target) : target_(target) {}
  void print(std::string_view, bool) override {}
  void display_html(const std::string&) override {}
  void offer_download(const Download& file) override { target_.offer_download(file); }
  void display_image(const std::string&, const std::string&) override {}
  void display_json(const json&) override {}
  void set_next_input(const std::string&) override {}
  void print_error(std::string_view) override {}

 private:
  NotebookHost& target_;
};

size_t saved_count(const AnnData& adata) {
  if (!adata.uns.contains("norvex_tx") || !adata.uns.at("norvex_tx").is_dict()) return 0;
  return adata.uns.at("norvex_tx").dict().size();
}

// Counts per value of an obs column, in order of first appearance.
json value_counts(const Column& column) {
  std::vector<std::pair<std::string, long long>> counts;
  std::map<std::string, size_t> at;
  for (size_t i = 0; i < column.size(); ++i) {
    std::string text = column.text_at(i);
    auto [it, fresh] = at.emplace(text, counts.size());
    if (fresh) counts.emplace_back(std::move(text), 0);
    ++counts[it->second].second;
  }
  json out = json::array();
  for (auto& [name, n] : counts) out.push_back(json::array({name, n}));
  return out;
}

// What the side panel shows of the dataset: its columns and their kinds, the cell types,
// conditions and samples with their counts, and which precomputed results it holds.
json dataset_facts(const AnnData& adata) {
  json facts = {{"obs", json::array()}};
  for (const auto& name : adata.obs.columns()) {
    const Column& column = adata.obs.col(name);
    json entry = {{"name", name}, {"kind", column.dtype_name()}};
    if (column.is_categorical()) entry["levels"] = std::to_string(column.categories->size());
    facts["obs"].push_back(std::move(entry));
  }
  const auto counted = [&](const char* key, std::initializer_list<const char*> names) {
    for (const char* name : names) {
      if (!adata.obs.has(name)) continue;
      facts[key] = {{"column", name}, {"counts", value_counts(adata.obs.col(name))}};
      return;
    }
  };
  counted("celltypes", {"celltype_major", "celltype_minor", "celltype_subset", "celltype"});
  counted("conditions", {"condition"});
  counted("samples", {"sample", "sample_id", "orig.ident"});
  json results = json::array();
  for (const char* key : {"DEG", "DEG_vs_ref", "GSEA", "GSEA_vs_ref", "GSA_up", "GSA_vs_ref_up",
                          "CCI", "CCI_sample"}) {
    if (adata.uns.contains(key)) results.push_back(key);
  }
  if (adata.obs.has("ploidy_dec")) results.push_back("CNV");
  facts["results"] = std::move(results);
  return facts;
}

// A command from the page that names a file may write only a dataset inside the output
// folder: any web page the user visits can put text in the question box. Relative names
// are taken inside that folder. Returns the command to run, or nullopt after saying why not.
std::optional<std::string> page_command(const std::string& line, const fs::path& out,
                                        NotebookHost& host) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty() || words[0] != ":write") return line;
  std::string rewritten = ":write";
  int files = 0;
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "--force") {
      rewritten += " --force";
      continue;
    }
    ++files;
    fs::path target(words[i]);
    if (target.is_relative()) target = out / target;
    std::error_code ec;
    fs::path root = fs::weakly_canonical(fs::absolute(out, ec), ec);
    if (root.has_relative_path() && root.filename().empty()) root = root.parent_path();
    // The folder the file lands in, symlinks resolved, must be the output folder or below.
    const fs::path parent = fs::weakly_canonical(fs::absolute(target, ec).parent_path(), ec);
    const bool inside =
        !root.empty() &&
        std::mismatch(root.begin(), root.end(), parent.begin(), parent.end()).first == root.end();
    const bool dataset = ascii_lower(target.extension().string()) == ".h5ad";
    if (!inside || !dataset || fs::is_symlink(target, ec)) {
      host.print("❌ ERROR: From the page, :write writes only an .h5ad file inside " + out.string() +
                 " (the --out folder); " + words[i] + " is not one.");
      return std::nullopt;
    }
    rewritten += " " + (parent / target.filename()).string();
  }
  if (files != 1) return line;  // the command itself says what it needs
  return rewritten;
}

int run_serve(const ServeCliOptions& o) {
  // The record on disk: the chat's transcript and files; its terminal side goes nowhere,
  // the page is what the researcher looks at.
  std::ostream nowhere(nullptr);
  ConsoleHost record(nowhere, std::cerr, std::filesystem::path(o.out));
  record.hold_transcript();
  record.set_file_filter([&record](std::string_view, std::string bytes) {
    return redact_document(std::move(bytes), record.redactor());
  });
  ConsoleHost terminal(std::cout, std::cerr);
  DownloadsOnly report_files(record);

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
  options.wire = parse_wire_choice(o.wire);
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

  // The ledger outlives the server; it is safe to read while a question runs.
  serve.usage = [ledger = assistant->usage_ledger] { return ledger->report(); };

  std::unique_ptr<WebServer> server;
  std::optional<ChatCommands> commands;
  // The history entry each question cell added, to save it from the cell's Save button.
  std::map<long long, json> answers;
  // ":save-cell N" from the saved-analyses panel: the saving flow for cell N's answer, as
  // "save that one" runs it once the earlier answer is chosen.
  auto save_cell = [&](const ServeJob& job) {
    WebHost& page = server->host();
    long long cell = 0;
    try {
      cell = std::stoll(job.text.substr(11));
    } catch (const std::exception&) {
    }
    auto& buf = assistant->t_hist.buf;
    const auto known = answers.find(cell);
    const auto at =
        known == answers.end() ? buf.end() : std::find(buf.begin(), buf.end(), known->second);
    if (at == buf.end()) {
      page.print("❌ ERROR: That answer is no longer in the history (it keeps the latest " +
                 std::to_string(assistant->t_hist.max_buf_len()) + "); ask it again to save it.");
      return;
    }
    json res_to_user = json::object();
    const auto position = static_cast<long long>(at - buf.begin());
    assistant->save_transaction(json::object(), res_to_user, false, position);
    known->second = buf[static_cast<size_t>(position)];
    page.set_cell(cell);
    page.emit("saved");
    page.set_cell(job.cell);
  };
  auto run_job = [&](const ServeJob& job) {
    WebHost& page = server->host();
    if (!job.panel.empty()) {
      // The side panel is not part of the conversation's record.
      page.set_mirror(nullptr);
      if (job.panel == "context") {
        page.emit("dataset", dataset_facts(*adata));
        page.emit("context",
                  {{"text", page.redactor().text(assistant->configured("adata").data_context)}});
        page.emit("tree", {{"text", page.redactor().text(show_tree(*adata))}});
      } else if (job.panel == "saved" && job.text.rfind(":save-cell ", 0) == 0) {
        save_cell(job);
      } else if (job.panel == "saved") {
        assistant->check_saved();
      } else if (job.panel == "report") {
        page.set_mirror(&report_files);
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
      } else if (const auto command = page_command(job.text, o.out, page)) {
        commands->run(*command);
      }
    } else {
      const auto& buf = assistant->t_hist.buf;
      const json before = buf.empty() ? json() : buf.front();
      const size_t length = buf.size();
      const size_t stored = saved_count(*adata);
      // Errors go to the server, which marks the cell failed and goes on.
      assistant->ask(job.text);
      if (!buf.empty() && (buf.size() != length || buf.front() != before)) {
        // This answer entered the history: the page offers to save it, unless the
        // question itself asked for that.
        answers[job.cell] = buf.front();
        page.emit("saveable");
        if (saved_count(*adata) > stored) page.emit("saved");
      }
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
    return redact_document(std::move(bytes), page.redactor());
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
  terminal.print("Press Ctrl+C again to stop at once.");
  // Stopping waits for the running question; a second signal must not wait for a model
  // call that may hang for minutes.
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    server->stop();
    stopped = true;
  });
  while (!stopped) {
    const timespec slice{0, 100'000'000};
    if (sigtimedwait(&stop_signals, nullptr, &slice) <= 0) continue;
    const std::string note =
        "⚠️ WARNING: norvex serve was stopped at once; the question in progress was abandoned"
        " (nothing was saved on exit).";
    record.end_open_line();
    record.print(note);
    terminal.print(note);
    std::_Exit(130);
  }
  stopper.join();
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
  add_model_options(cmd, o->model, o->api_key, o->base_url, o->wire);
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
