// Not built yet: registered with its parameter table and function definition so routing
// and planning treat it like the others; calling it raises a clear RuntimeError instead of
// producing a wrong figure (register_pending_tool). Building it: replace
// register_pending_tool with register_tool and a run function.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

// ---- the box-plot tools ----
struct BoxGeneArgs {
  std::optional<TextList> target_genes;
  SignifTestConfig test;
  FeatureSelectConfig genes;
  BoxPlotStyle style;
  ObsFilter obs_filter;
};
struct BoxCciArgs {
  std::optional<TextList> target_genes;
  SignifTestConfig test;
  FeatureSelectConfig features;
  BoxPlotStyle style;
};
struct BoxPopulationArgs {
  SignifTestConfig test;
  BoxPlotStyle style;
  ObsFilter obs_filter;
};

}  // namespace

void register_box_plots() {
  register_pending_tool(
      "plot_box_for_gene_expression_with_signif_difference",
      "Box plots of per-sample mean gene expression between conditions within selected cell "
      "types, with significance tests.",
      ToolParams<BoxGeneArgs>({
          target_genes_param(&BoxGeneArgs::target_genes, kGenes),
          record(&BoxGeneArgs::test, "test_cfg", signif_test_params()),
          record(&BoxGeneArgs::genes, "gene_cfg", feature_select_params()),
          record(&BoxGeneArgs::style, "style", box_plot_style_params()),
          record(&BoxGeneArgs::obs_filter, "obs_filter", obs_filter_params()),
      }));
  register_pending_tool(
      "plot_box_for_cci_with_signif_difference",
      "Box plots of per-sample interaction strength (uns['CCI_sample']) for selected "
      "ligand-receptor pairs between conditions, with significance tests.",
      ToolParams<BoxCciArgs>({
          target_genes_param(&BoxCciArgs::target_genes, kGenes),
          record(&BoxCciArgs::test, "test_cfg", signif_test_params()),
          record(&BoxCciArgs::features, "feature_cfg", feature_select_params()),
          record(&BoxCciArgs::style, "style", box_plot_style_params()),
      }));
  register_pending_tool(
      "plot_box_for_celltype_population_with_signif_difference",
      "Box plots of per-sample cell-type proportions between conditions with significance "
      "tests (population changes tested across samples).",
      ToolParams<BoxPopulationArgs>({
          record(&BoxPopulationArgs::test, "test_cfg", signif_test_params()),
          record(&BoxPopulationArgs::style, "style", box_plot_style_params()),
          record(&BoxPopulationArgs::obs_filter, "obs_filter", obs_filter_params()),
      }));
}

}  // namespace norvex::detail
