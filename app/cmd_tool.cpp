// `norvex tool NAME --data FILE --args JSON --out DIR [--format png,svg,pdf] [--dpi N]`:
// runs one analysis tool directly, without any model, and writes its figure(s) in the
// formats asked, tables (CSV), a JSON summary and the reproduction snippet.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "commands.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/tool_run.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/documents/documents.hpp"
#include "norvex/host/host.hpp"

namespace norvex::app {
namespace {

namespace fs = std::filesystem;

std::string csv_field(const json& v) {
  std::string s = v.is_null() ? "" : (v.is_string() ? v.get<std::string>() : v.dump());
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string table_csv(const Table& t) {
  std::string out = "";
  for (const auto& c : t.columns()) out += "," + csv_field(json(c));
  out += "\n";
  for (size_t r = 0; r < t.n_rows(); ++r) {
    out += csv_field(json(t.index()[r]));
    for (size_t c = 0; c < t.n_cols(); ++c) out += "," + csv_field(t.at(r, c));
    out += "\n";
  }
  return out;
}

// As the transcript is written: never through a symbolic link planted in the folder, only
// over a regular file, and never blocking on a FIFO.
void write_bytes(const fs::path& path, const std::string& bytes) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) {
    const int e = errno;
    // ENXIO: a FIFO no one reads, which the non-blocking open refuses.
    throw FileError("could not write " + path.string() + ": " +
                    (e == ELOOP   ? "it is a symbolic link, which is not followed"
                     : e == ENXIO ? "it is not a regular file"
                                  : std::string(std::strerror(e))));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw FileError("could not write " + path.string() + ": it is not a regular file");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  bool ok = ::ftruncate(fd, 0) == 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  const int e = errno;
  if (::close(fd) != 0) ok = false;
  if (!ok) throw FileError("could not write " + path.string() + ": " + std::strerror(e));
}

json parse_args(const std::string& text) {
  std::string body = text;
  if (!body.empty() && body[0] == '@') {
    const std::string file = body.substr(1);
    std::error_code ec;
    // A FIFO or a device would block the read or never end.
    if (fs::exists(file, ec) && !fs::is_regular_file(file, ec))
      throw FileError("cannot read arguments file " + file + ": it is not a regular file");
    std::ifstream f(file, std::ios::binary);
    if (!f) throw FileError("cannot read arguments file " + file);
    std::stringstream ss;
    ss << f.rdbuf();
    body = ss.str();
  }
  json args;
  try {
    // The reader every JSON input goes through, with its nesting limit.
    args = parse_json_text(body);
  } catch (const JSONDecodeError& e) {
    throw ValueError("--args is not valid JSON (" + std::string(e.what()) +
                     "): " + utf8_prefix(text, 200));
  }
  if (!args.is_object()) throw TypeError("--args must be a JSON object of tool arguments");
  return args;
}

struct FigureFormats {
  bool png = false, svg = false, pdf = false;
};

// "png,svg,pdf" in any order and case; ValueError naming an unknown format.
FigureFormats parse_formats(const std::string& text) {
  FigureFormats f;
  std::stringstream ss(text);
  std::string item;
  while (std::getline(ss, item, ',')) {
    std::string t;
    for (char c : item)
      if (c != ' ') t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "png") {
      f.png = true;
    } else if (t == "svg") {
      f.svg = true;
    } else if (t == "pdf") {
      f.pdf = true;
    } else {
      throw ValueError("--format: unknown figure format '" + item + "'; choose from png, svg, pdf");
    }
  }
  if (!f.png && !f.svg && !f.pdf) throw ValueError("--format names no figure format");
  return f;
}

// Resolutions a figure can be drawn at without exhausting memory on large figures.
constexpr int kMinDpi = 36, kMaxDpi = 1200;

int run_tool(const std::string& name, const std::string& data, const std::string& args_text,
             const std::string& out_dir, const std::string& format_text, int dpi) {
  const auto& funcs = builtin_tool_funcs();
  if (!funcs.count(name)) {
    std::string names;
    for (auto& n : tool_names()) names += (names.empty() ? "" : ", ") + n;
    throw KeyError("unknown tool '" + name + "'. Tools: " + names);
  }
  const FigureFormats formats = parse_formats(format_text);
  if (dpi != 0 && (dpi < kMinDpi || dpi > kMaxDpi))
    throw ValueError("--dpi must be between " + std::to_string(kMinDpi) + " and " +
                     std::to_string(kMaxDpi) + ", got " + std::to_string(dpi));
  const json planned = parse_args(args_text);
  auto adata = AnnData::read_h5ad(data);
  adata->obs_names_make_unique();
  adata->var_names_make_unique();

  const json defaults = build_tool_defaults_v3(funcs, builtin_tool_config_map());
  MaterializedArgs args = materialize_tool_args(name, planned, defaults, builtin_tool_config_map());
  NotebookHost& host = terminal_host();
  ToolRunOptions run_options;
  run_options.config_map = &builtin_tool_config_map();
  run_options.render = plotting::RenderOptions{dpi, formats.svg, formats.pdf};
  const ToolRun run = run_planned_tool(host, funcs, *adata, name, args.exec_args, run_options);
  const json& result = run.plot_result;

  fs::create_directories(out_dir);
  json summary = json::object();
  summary["tool"] = name;
  summary["args"] = args.full_args_dict;
  summary["data"] = result.value("data", json());
  summary["images"] = json::array();
  summary["tables"] = json::object();
  summary["warnings"] = run.warnings;

  auto save_file = [&](const std::string& file_name, const std::string& bytes) {
    const std::string file = safe_file_name(file_name);
    write_bytes(fs::path(out_dir) / file, bytes);
    summary["images"].push_back(file);
    host.print("wrote " + (fs::path(out_dir) / file).string());
  };
  size_t figure_index = 0;
  auto save_image = [&](const std::string& stem, const json& b64) {
    const size_t at = figure_index++;
    if (!b64.is_string()) return;
    if (formats.png) save_file(stem + ".png", base64_decode(b64.get<std::string>()));
    const plotting::RenderedFigure* f = at < run.figures.size() ? &run.figures[at] : nullptr;
    // A payload the tool did not draw itself has no vector form.
    if (formats.svg && f && !f->svg.empty()) save_file(stem + ".svg", f->svg);
    if (formats.pdf && f && !f->pdf.empty()) save_file(stem + ".pdf", f->pdf);
  };
  if (result.contains("img_base64")) {
    const json& img = result["img_base64"];
    if (img.is_string()) {
      save_image(name, img);
    } else if (img.is_array()) {
      for (size_t i = 0; i < img.size(); ++i)
        save_image(name + "_" + std::to_string(i + 1), img[i]);
    } else if (img.is_object()) {
      for (auto& [k, v] : img.items()) save_image(name + "_" + k, v);
    }
  }
  if (result.contains("html_base64") && result["html_base64"].is_string()) {
    const std::string file = safe_file_name(name + ".html");
    write_bytes(fs::path(out_dir) / file, base64_decode(result["html_base64"].get<std::string>()));
    host.print("wrote " + (fs::path(out_dir) / file).string());
  }
  auto save_table = [&](const std::string& key, const json& t) {
    if (!Table::is_table(t)) return;
    const std::string file = safe_file_name(key + ".csv");
    write_bytes(fs::path(out_dir) / file, table_csv(Table::from_json(t)));
    summary["tables"][key] = file;
    host.print("wrote " + (fs::path(out_dir) / file).string());
  };
  if (result.contains("table_summaries") && result["table_summaries"].is_object()) {
    for (auto& [k, v] : result["table_summaries"].items()) {
      if (Table::is_table(v)) {
        save_table(k, v);
      } else if (v.is_object()) {
        for (auto& [case_name, t] : v.items()) save_table(k + "-" + case_name, t);
      }
    }
  } else if (result.contains("table_summaries")) {
    save_table("table", result["table_summaries"]);
  }
  // The snippet the chat shows for this run, so a figure made here can be reproduced too.
  const std::string code = reproduction_code(run);
  summary["plot_code"] = code;
  write_bytes(fs::path(out_dir) / "reproduce.py", code + (code.ends_with('\n') ? "" : "\n"));
  host.print("wrote " + (fs::path(out_dir) / "reproduce.py").string());
  write_bytes(fs::path(out_dir) / "result.json", dump_json(summary, 2) + "\n");
  host.print("wrote " + (fs::path(out_dir) / "result.json").string());
  return 0;
}

const CommandRegistrar tool_command([](CLI::App& app) {
  auto* cmd =
      app.add_subcommand("tool", "Run one analysis tool directly (no model) and write its outputs");
  auto name = std::make_shared<std::string>();
  auto data = std::make_shared<std::string>();
  auto args = std::make_shared<std::string>("{}");
  auto out = std::make_shared<std::string>(".");
  auto format = std::make_shared<std::string>("png");
  auto dpi = std::make_shared<int>(0);
  cmd->add_option("name", *name, "tool name, e.g. plot_umap")->required();
  cmd->add_option("--data", *data, "an .h5ad dataset")->required();
  cmd->add_option("--args", *args, "tool arguments as a JSON object, or @FILE");
  cmd->add_option("--out", *out, "output folder (created when missing)");
  cmd->add_option("--format", *format, "figure formats, comma-separated: png, svg, pdf");
  cmd->add_option("--dpi", *dpi, "figure resolution in dots per inch (default: each figure's own)");
  cmd->callback([=] {
    exit_code() = run_guarded([&] { return run_tool(*name, *data, *args, *out, *format, *dpi); });
  });
});

}  // namespace
}  // namespace norvex::app
