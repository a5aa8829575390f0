// Not built yet: registered with its parameter table and function definition so routing
// and planning treat it like the others; calling it raises a clear RuntimeError instead of
// producing a wrong figure (register_pending_tool). Building it: replace
// register_pending_tool with register_tool and a run function.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

// ---- plot_violin_for_gene_expression_with_signif_difference ----
struct ViolinSignifTestConfig {
  std::string group_by;
  std::string test;
  std::string correction;
};
struct GeneSelectConfig {
  std::optional<TextList> target_genes;
  std::optional<std::string> layer;
};
struct ViolinPlotStyle {
  bool show_points;
  std::optional<std::string> title;
  double width;
  double height;
};
struct ViolinArgs {
  std::optional<TextList> target_genes;
  ViolinSignifTestConfig test;
  GeneSelectConfig genes;
  ViolinPlotStyle style;
  ObsFilter obs_filter;
};

}  // namespace

void register_plot_violin() {
  const RecordParams<ViolinSignifTestConfig> test{
      "ViolinSignifTestConfig",
      "",
      {
          param(&ViolinSignifTestConfig::group_by, "group_by", "condition"),
          param(&ViolinSignifTestConfig::test, "test", "mannwhitneyu"),
          param(&ViolinSignifTestConfig::correction, "correction", "fdr_bh"),
      }};
  const RecordParams<GeneSelectConfig> genes{
      "GeneSelectConfig",
      "",
      {
          param(&GeneSelectConfig::target_genes, "target_genes", nullptr),
          param(&GeneSelectConfig::layer, "layer", nullptr),
      }};
  const RecordParams<ViolinPlotStyle> style{
      "ViolinPlotStyle",
      "",
      {
          param(&ViolinPlotStyle::show_points, "show_points", false),
          param(&ViolinPlotStyle::title, "title", nullptr),
          param(&ViolinPlotStyle::width, "width", 8.0),
          param(&ViolinPlotStyle::height, "height", 5.0),
      }};
  register_pending_tool(
      "plot_violin_for_gene_expression_with_signif_difference",
      "Violin plots of gene expression between conditions (or another obs grouping) within "
      "selected cell types, with significance tests between groups.",
      ToolParams<ViolinArgs>({
          target_genes_param(&ViolinArgs::target_genes, kGenes),
          record(&ViolinArgs::test, "test_cfg", test),
          record(&ViolinArgs::genes, "gene_cfg", genes),
          record(&ViolinArgs::style, "style", style),
          record(&ViolinArgs::obs_filter, "obs_filter", obs_filter_params()),
      }));
}

}  // namespace norvex::detail
