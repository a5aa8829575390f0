#include "chat_commands.hpp"

#include <filesystem>
#include <sstream>
#include <vector>

#include "index_offer.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/common/text.hpp"
#include "norvex/display/report.hpp"
#include "norvex/history/saved_store.hpp"

namespace norvex::app {
namespace {

namespace fs = std::filesystem;

const char* kCommandList =
    ":saved, :report, :write FILE.h5ad [--force], :history, :usage, :index, :help, :quit";

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool same_file(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

std::string count_of(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

size_t saved_count(const AnnData& adata) {
  if (!adata.uns.contains("norvex_tx") || !adata.uns.at("norvex_tx").is_dict()) return 0;
  return adata.uns.at("norvex_tx").dict().size();
}

}  // namespace

void add_model_options(CLI::App* cmd, std::optional<std::string>& model,
                       std::optional<std::string>& api_key, std::optional<std::string>& base_url,
                       std::string& wire) {
  cmd->add_option("--model", model, "model name (default gpt-5; gemini-* uses Gemini)");
  cmd->add_option("--api-key", api_key,
                  "the model service's API key (else OPENAI_API_KEY; GEMINI_API_KEY for gemini-*)");
  cmd->add_option("--base-url", base_url,
                  "service endpoint: a gateway, or a local OpenAI-compatible server (no key "
                  "needed on this machine)");
  cmd->add_option("--wire", wire,
                  "OpenAI request shape: auto (Responses on api.openai.com, Chat Completions "
                  "at any other --base-url), responses or chat")
      ->check(CLI::IsMember({"auto", "responses", "chat"}))
      ->capture_default_str();
}

void add_chat_command_options(CLI::App* chat, ChatCommandOptions& options) {
  chat->add_option("--save-on-exit", options.save_on_exit,
                   "write the dataset with its saved queries to this .h5ad file at the end");
}

ChatCommands::ChatCommands(Assistant& assistant, NotebookHost& host, ChatCommandOptions options)
    : assistant_(assistant), host_(host), options_(std::move(options)) {
  if (options_.save_on_exit && assistant_.file_h5ad &&
      same_file(*options_.save_on_exit, *assistant_.file_h5ad)) {
    throw ValueError("--save-on-exit " + *options_.save_on_exit +
                     " is the dataset this session reads; choose another file");
  }
}

bool ChatCommands::is_command(const std::string& line) {
  size_t first = line.find_first_not_of(" \t");
  return first != std::string::npos && line[first] == ':';
}

bool ChatCommands::run(const std::string& line) {
  try {
    return run_one(line);
  } catch (const std::exception& e) {
    // A failing command does not end the session.
    host_.print(std::string("❌ ERROR: ") + error_type_name(e) + ": " + e.what());
    return true;
  }
}

bool ChatCommands::run_one(const std::string& line) {
  std::vector<std::string> w = words(line);
  const std::string name = w.empty() ? ":" : w[0];
  if (name == ":quit") return false;
  if (name == ":help") {
    host_.print("ℹ️ INFO: Commands (any other line is a question):");
    host_.print("   :saved                    the saved queries of this dataset");
    host_.print("   :report                   the Word report of the saved queries");
    host_.print("   :write FILE.h5ad [--force] the dataset with its saved queries");
    host_.print("   :history                  the answered requests in memory, newest first");
    host_.print(
        "   :usage                    tokens and estimated cost of this session, per model");
    host_.print("   :index                    a gene index of the dataset, for fast gene reads");
    host_.print("   :help                     this list");
    host_.print("   :quit                     end the session");
    host_.print(
        "   A status line's \"done (0.01, 3381)\" is the seconds taken and the tokens used.");
  } else if (name == ":saved") {
    assistant_.check_saved();
  } else if (name == ":report") {
    generate_norvex_report(host_, *assistant_.configured("adata").adata);
  } else if (name == ":history") {
    list_history();
  } else if (name == ":usage") {
    for (const std::string& l : assistant_.usage_ledger->summary_lines()) host_.print(l);
  } else if (name == ":index") {
    build_index_with_progress(*assistant_.configured("adata").adata, host_);
  } else if (name == ":write") {
    bool force = false;
    std::vector<std::string> files;
    for (size_t i = 1; i < w.size(); ++i) {
      if (w[i] == "--force")
        force = true;
      else
        files.push_back(w[i]);
    }
    if (files.size() != 1) {
      host_.print("❌ ERROR: :write needs one file name: :write FILE.h5ad [--force]");
    } else {
      write(files[0], force);
    }
  } else {
    host_.print("❌ ERROR: Unknown command " + name + ". Commands: " + kCommandList);
  }
  return true;
}

void ChatCommands::list_history() {
  const auto& buf = assistant_.t_hist.buf;
  if (buf.empty()) {
    host_.print("ℹ️ INFO: No transactions in memory.");
    return;
  }
  host_.print("ℹ️ INFO: transactions in memory, newest first");
  for (size_t i = 0; i < buf.size(); ++i) {
    const json& tx = buf[i];
    const json tool = tx.is_object() ? tx.value("plot_func", json("-")) : json("-");
    const json query = tx.is_object() ? tx.value("query", json("")) : json("");
    // Numbered from 1, as the saved-query listing is.
    std::string line = "   " + std::to_string(i + 1) + ": " + py_str(tool) + ", " +
                       utf8_prefix(py_str(query), 50) + " .. ";
    if (tx.is_object() && tx.contains("explanation") && !tx["explanation"].is_null())
      line += "(explained)";
    host_.print(line);
  }
}

void ChatCommands::write(const std::string& file, bool force) {
  const fs::path target(file);
  if (!force && assistant_.file_h5ad && same_file(target, *assistant_.file_h5ad)) {
    host_.print("❌ ERROR: " + file +
                " is the dataset this session was opened from; add --force to overwrite it.");
    return;
  }
  // The writer goes through a temporary beside the target, renamed over it only once
  // complete: a failed write never leaves a damaged file, and the source stays readable.
  try {
    assistant_.write_h5ad(target.string());
  } catch (const std::exception& e) {
    host_.print("❌ ERROR: Could not write " + file + ": " + error_type_name(e) + ": " + e.what());
    return;
  }
  host_.print(
      "ℹ️ INFO: Wrote " + file + " (" +
      count_of(saved_count(*assistant_.configured("adata").adata), "saved query", "saved queries") +
      ").");
}

void ChatCommands::finish() {
  if (options_.save_on_exit) write(*options_.save_on_exit, false);
}

}  // namespace norvex::app
