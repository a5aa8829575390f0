// Tools whose analyses are not built yet. They are registered with their parameter tables
// and function definitions so routing and planning treat them like the others; calling one
// raises a clear RuntimeError instead of producing a wrong figure. Building one: move its
// structs and table into a file of its own with the run function, and register it there.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

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

// ---- plot_sankey ----
struct SankeyArgs {
  ObsFilter obs_filter;
};

void register_plot_sankey() {
  register_pending_tool(
      "plot_sankey",
      "Sankey diagram of how cells flow between annotation levels (celltype_major -> "
      "celltype_minor -> celltype_subset) or between conditions, as an interactive HTML plot.",
      ToolParams<SankeyArgs>({
          record(&SankeyArgs::obs_filter, "obs_filter", obs_filter_params()),
      }));
}

}  // namespace

void register_pending_tools() {
  register_plot_gsea_go();
  register_plot_cci_dots();
  register_plot_cnv_heatmap();
  register_plot_markers_and_expression_dot();
  register_plot_violin();
  register_box_plots();
  register_plot_sankey();
}

}  // namespace norvex::detail
