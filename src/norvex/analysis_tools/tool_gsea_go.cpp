// Not built yet: registered with its parameter table and function definition so routing
// and planning treat it like the others; calling it raises a clear RuntimeError instead of
// producing a wrong figure (register_pending_tool). Building it: replace
// register_pending_tool with register_tool and a run function.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

// ---- plot_gsea_go ----
struct GSAComputeConfig {
  std::string gsa_key;
  std::optional<std::string> celltype;
  std::optional<std::string> comparison;
  long long n_top;
  double pval_cutoff;
};
struct GSABarPlotConfig {
  std::optional<std::string> title;
  double width;
  double height;
};
struct GSADotPlotConfig {
  std::optional<std::string> title;
  double width;
  double height;
};
struct GseaGoArgs {
  GSAComputeConfig compute;
  GSABarPlotConfig bar;
  GSADotPlotConfig dot;
};

}  // namespace

void register_plot_gsea_go() {
  const RecordParams<GSAComputeConfig> compute{
      "GSAComputeConfig",
      "",
      {
          param(&GSAComputeConfig::gsa_key, "gsa_key", "GSA_up"),
          param(&GSAComputeConfig::celltype, "celltype", nullptr),
          param(&GSAComputeConfig::comparison, "comparison", nullptr),
          param(&GSAComputeConfig::n_top, "n_top", 10),
          param(&GSAComputeConfig::pval_cutoff, "pval_cutoff", 0.05),
      }};
  const RecordParams<GSABarPlotConfig> bar{"GSABarPlotConfig",
                                           "",
                                           {
                                               param(&GSABarPlotConfig::title, "title", nullptr),
                                               param(&GSABarPlotConfig::width, "width", 8.0),
                                               param(&GSABarPlotConfig::height, "height", 6.0),
                                           }};
  const RecordParams<GSADotPlotConfig> dot{"GSADotPlotConfig",
                                           "",
                                           {
                                               param(&GSADotPlotConfig::title, "title", nullptr),
                                               param(&GSADotPlotConfig::width, "width", 8.0),
                                               param(&GSADotPlotConfig::height, "height", 6.0),
                                           }};
  register_pending_tool(
      "plot_gsea_go",
      "Shows precomputed GO over-representation (uns['GSA_up'], uns['GSA_vs_ref_up']) or GSEA "
      "(uns['GSEA'], uns['GSEA_vs_ref']) results for one cell type and comparison as bar and dot "
      "plots of the top terms. compute_cfg.gsa_key names the result, celltype and comparison "
      "select the table (values as in DATA CONTEXT).",
      ToolParams<GseaGoArgs>({
          record(&GseaGoArgs::compute, "compute_cfg", compute),
          record(&GseaGoArgs::bar, "bar_cfg", bar),
          record(&GseaGoArgs::dot, "dot_cfg", dot),
      }));
}

}  // namespace norvex::detail
