#include "norvex/assistant/tool_run.hpp"

#include "norvex/assistant/arguments.hpp"
#include "norvex/assistant/flow_util.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/history/pick_keys.hpp"
#include "norvex/host/interrupt.hpp"

namespace norvex {

const ToolFunction& runnable_tool(const ToolFuncs& funcs, const std::string& tool) {
  auto fn = funcs.find(tool);
  if (fn == funcs.end()) throw key_error(tool);
  if (fn->second.ensure_runnable) fn->second.ensure_runnable();
  return fn->second;
}

std::vector<std::string> result_warnings(const json& result) {
  std::vector<std::string> out;
  if (!result.is_object()) return out;
  auto it = result.find("warnings");
  if (it == result.end() || !it->is_array()) return out;
  for (const json& w : *it)
    if (w.is_string()) out.push_back(w.get<std::string>());
  return out;
}

void show_warnings(NotebookHost& host, const std::vector<std::string>& warnings) {
  for (const auto& w : warnings) host.print("⚠️ WARNING: " + w);
}

std::string reproduction_code(const ToolRun& run) {
  json args = run.exec_args;
  if (args.is_object()) args["show"] = true;
  return detail::notebook_repro_code(run.tool, args);
}

namespace {

// Matches each img_base64 PNG to the figure drawn for it (the result carries only PNGs).
void attach_figures(ToolRun& run, const plotting::RenderScope& scope) {
  const json& imgs =
      run.plot_result.contains("img_base64") ? run.plot_result["img_base64"] : json();
  auto figure_of = [&](const json& b64) {
    plotting::RenderedFigure f;
    if (!b64.is_string()) return f;
    try {
      if (const auto* drawn = scope.find(base64_decode(b64.get<std::string>()))) {
        f.png = drawn->png;
        f.svg = drawn->svg;
        f.pdf = drawn->pdf;
        f.width_px = drawn->width_px;
        f.height_px = drawn->height_px;
      }
    } catch (const std::exception&) {
      // Not base64: no figure of ours; the display reports the payload itself.
    }
    return f;
  };
  if (imgs.is_string()) {
    run.figures.push_back(figure_of(imgs));
  } else if (imgs.is_array() || imgs.is_object()) {
    for (const json& b64 : imgs) run.figures.push_back(figure_of(b64));
  }
}

}  // namespace

ToolRun run_planned_tool(NotebookHost& host, const ToolFuncs& funcs, AnnData& adata,
                         const std::string& tool, const json& exec_args,
                         const ToolRunOptions& options) {
  const ToolFunction& fn = runnable_tool(funcs, tool);
  json args = filter_kwargs_for_fn(fn, exec_args, tool, options.config_map);
  if (args.is_object()) args["show"] = false;

  detail::Stopwatch watch;
  if (options.status_line) host.print("🛠️ Generating plots .. ", false);
  json result;
  plotting::RenderScope scope(options.render);
  try {
    check_interrupt();
    result = fn(adata, args);
    check_interrupt();
    if (!result.is_object())
      throw TypeError("tool '" + tool + "' returned " + py_type_name(result) +
                      ", expected a result mapping");
  } catch (...) {
    // The error report that follows starts on a line of its own.
    if (options.status_line) host.print("");
    throw;
  }
  ToolRun run;
  run.tool = tool;
  run.exec_args = args;
  run.warnings = result_warnings(result);
  run.plot_result =
      pick_keys(result, {"data", "img_base64", "table_summaries", "images", "html_base64"});
  attach_figures(run, scope);
  if (options.status_line) host.print("done (" + watch.seconds() + ")");
  show_warnings(host, run.warnings);
  return run;
}

}  // namespace norvex
