#pragma once
// The one way a planned tool runs, for a fresh request, a rerun, `norvex tool` and the
// Python package: precondition, status line, run, timing, close, then the tool's warnings
// on lines of their own.
#include <string>
#include <vector>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex {

// What a tool run produced: the storable result and what the tool warned about.
struct ToolRun {
  std::string tool;
  // The result trimmed to what is kept: "data", "img_base64", "table_summaries", "images",
  // "html_base64".
  json plot_result = json::object();
  // Each img_base64 figure as rendered, in payload order (PNG, SVG and PDF as asked; all
  // empty for a payload the run did not draw).
  std::vector<plotting::RenderedFigure> figures;
  std::vector<std::string> warnings;  // message texts, without the "⚠️ WARNING: " prefix
  json exec_args;                     // the keyword arguments the tool was called with
};

struct ToolRunOptions {
  // Config map used to pick the keyword arguments when the callable names none.
  const ToolConfigMap* config_map = nullptr;
  // The "🛠️ Generating plots .. done (s)" line; off where the caller reports otherwise.
  bool status_line = true;
  // Resolution and vector formats of the figures drawn.
  plotting::RenderOptions render{0, true, false};
};

// KeyError for a tool that is not among `funcs`; the tool's own error when it cannot run at
// all. Called before any model call is spent on planning it.
const ToolFunction& runnable_tool(const ToolFuncs& funcs, const std::string& tool);

// Runs `tool` with `exec_args` (filtered to what it accepts, show=false). The tool's
// error propagates after the open status line is ended; an Interrupted stop is checked
// before and after the run.
ToolRun run_planned_tool(NotebookHost& host, const ToolFuncs& funcs, AnnData& adata,
                         const std::string& tool, const json& exec_args,
                         const ToolRunOptions& options = {});

// The notebook snippet that reproduces the run (the same arguments, show=True).
std::string reproduction_code(const ToolRun& run);

// The result mapping's warnings, as a tool reports them: a list of texts under "warnings"
// (anything else there is ignored).
std::vector<std::string> result_warnings(const json& result);

// Prints each warning as a "⚠️ WARNING: " line.
void show_warnings(NotebookHost& host, const std::vector<std::string>& warnings);

}  // namespace norvex
