// Not built yet: registered with its parameter table and function definition so routing
// and planning treat it like the others; calling it raises a clear RuntimeError instead of
// producing a wrong figure (register_pending_tool). Building it: replace
// register_pending_tool with register_tool and a run function.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

// ---- plot_markers_and_expression_dot ----
struct MarkerFindConfig {
  std::string celltype_col;
  long long n_top;
  std::string method;
};
struct MarkerPlotConfig {
  std::optional<std::string> standard_scale;
  std::optional<std::string> title;
  double width;
  double height;
};
struct MarkerDotArgs {
  std::optional<TextList> target_genes;
  MarkerFindConfig find;
  MarkerPlotConfig plot;
};

}  // namespace

void register_plot_markers_and_expression_dot() {
  const RecordParams<MarkerFindConfig> find{
      "MarkerFindConfig",
      "",
      {
          param(&MarkerFindConfig::celltype_col, "celltype_col", "celltype_major"),
          param(&MarkerFindConfig::n_top, "n_top", 5),
          param(&MarkerFindConfig::method, "method", "wilcoxon"),
      }};
  const RecordParams<MarkerPlotConfig> plot{
      "MarkerPlotConfig",
      "",
      {
          param(&MarkerPlotConfig::standard_scale, "standard_scale", "var"),
          param(&MarkerPlotConfig::title, "title", nullptr),
          param(&MarkerPlotConfig::width, "width", 9.0),
          param(&MarkerPlotConfig::height, "height", 6.0),
      }};
  register_pending_tool(
      "plot_markers_and_expression_dot",
      "Dot plot of marker genes per cell type: dot size is the percent of expressing cells, "
      "colour the mean expression. With target_genes the given genes are shown; otherwise "
      "the top markers of each cell type are found (find_cfg).",
      ToolParams<MarkerDotArgs>({
          target_genes_param(&MarkerDotArgs::target_genes, kGenes),
          record(&MarkerDotArgs::find, "find_cfg", find),
          record(&MarkerDotArgs::plot, "plot_cfg", plot),
      }));
}

}  // namespace norvex::detail
