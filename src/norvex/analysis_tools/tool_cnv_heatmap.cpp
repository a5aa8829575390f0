// Not built yet: registered with its parameter table and function definition so routing
// and planning treat it like the others; calling it raises a clear RuntimeError instead of
// producing a wrong figure (register_pending_tool). Building it: replace
// register_pending_tool with register_tool and a run function.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

// ---- plot_cnv_heatmap ----
struct CNVComputeConfig {
  std::string groupby;
  std::optional<TextList> celltypes;
};
struct CNVHeatmapStyle {
  std::string cmap;
  std::optional<double> vmin;
  std::optional<double> vmax;
  double width;
  double height;
};
struct CNVDataKeys {
  std::string obsm_key;
  std::string uns_key;
};
struct CnvHeatmapArgs {
  CNVComputeConfig compute;
  CNVHeatmapStyle style;
  CNVDataKeys data_keys;
};

}  // namespace

void register_plot_cnv_heatmap() {
  const RecordParams<CNVComputeConfig> compute{
      "CNVComputeConfig",
      "",
      {
          param(&CNVComputeConfig::groupby, "groupby", "celltype_major"),
          param(&CNVComputeConfig::celltypes, "celltypes", nullptr),
      }};
  const RecordParams<CNVHeatmapStyle> style{"CNVHeatmapStyle",
                                            "",
                                            {
                                                param(&CNVHeatmapStyle::cmap, "cmap", "bwr"),
                                                param(&CNVHeatmapStyle::vmin, "vmin", nullptr),
                                                param(&CNVHeatmapStyle::vmax, "vmax", nullptr),
                                                param(&CNVHeatmapStyle::width, "width", 10.0),
                                                param(&CNVHeatmapStyle::height, "height", 6.0),
                                            }};
  const RecordParams<CNVDataKeys> data_keys{"CNVDataKeys",
                                            "",
                                            {
                                                param(&CNVDataKeys::obsm_key, "obsm_key", "X_cnv"),
                                                param(&CNVDataKeys::uns_key, "uns_key", "cnv"),
                                            }};
  register_pending_tool(
      "plot_cnv_heatmap",
      "Heatmap of inferred copy-number variation (obsm['X_cnv']) by genomic position, cells "
      "grouped by cell type (compute_cfg.groupby), to tell tumour from normal cells.",
      ToolParams<CnvHeatmapArgs>({
          record(&CnvHeatmapArgs::compute, "compute_cfg", compute),
          record(&CnvHeatmapArgs::style, "style", style),
          record(&CnvHeatmapArgs::data_keys, "data_keys", data_keys),
      }));
}

}  // namespace norvex::detail
