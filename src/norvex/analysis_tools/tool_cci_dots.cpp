// Not built yet: registered with its parameter table and function definition so routing
// and planning treat it like the others; calling it raises a clear RuntimeError instead of
// producing a wrong figure (register_pending_tool). Building it: replace
// register_pending_tool with register_tool and a run function.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

// ---- plot_cci_dots ----
struct CCIComputeConfig {
  std::string cci_key;
  std::optional<std::string> condition;
  std::optional<TextList> source_celltypes;
  std::optional<TextList> target_celltypes;
  long long n_top;
  double pval_cutoff;
};
struct CCIDotPlotConfig {
  std::optional<std::string> title;
  double width;
  double height;
};
struct CciDotsArgs {
  std::optional<TextList> target_genes;
  CCIComputeConfig compute;
  CCIDotPlotConfig plot;
};

}  // namespace

void register_plot_cci_dots() {
  const RecordParams<CCIComputeConfig> compute{
      "CCIComputeConfig",
      "",
      {
          param(&CCIComputeConfig::cci_key, "cci_key", "CCI"),
          param(&CCIComputeConfig::condition, "condition", nullptr),
          param(&CCIComputeConfig::source_celltypes, "source_celltypes", nullptr),
          param(&CCIComputeConfig::target_celltypes, "target_celltypes", nullptr),
          param(&CCIComputeConfig::n_top, "n_top", 20),
          param(&CCIComputeConfig::pval_cutoff, "pval_cutoff", 0.05),
      }};
  const RecordParams<CCIDotPlotConfig> plot{"CCIDotPlotConfig",
                                            "",
                                            {
                                                param(&CCIDotPlotConfig::title, "title", nullptr),
                                                param(&CCIDotPlotConfig::width, "width", 9.0),
                                                param(&CCIDotPlotConfig::height, "height", 7.0),
                                            }};
  register_pending_tool(
      "plot_cci_dots",
      "Dot plot of cell-cell interactions (CellPhoneDB, uns['CCI'] per condition or "
      "uns['CCI_sample'] per sample): ligand-receptor pairs between source and target cell "
      "types, dot size by significance, colour by mean expression. target_genes restricts the "
      "pairs to those involving these genes.",
      ToolParams<CciDotsArgs>({
          target_genes_param(&CciDotsArgs::target_genes, kGenes),
          record(&CciDotsArgs::compute, "compute_cfg", compute),
          record(&CciDotsArgs::plot, "plot_cfg", plot),
      }));
}

}  // namespace norvex::detail
