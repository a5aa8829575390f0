#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

// Built on first use, so every tool taking one of these records shares one record class.

const RecordParams<ObsFilter>& obs_filter_params() {
  static const RecordParams<ObsFilter> t{
      "ObsFilter",
      "",
      {
          param(&ObsFilter::celltype_col, "celltype_col", "celltype_major"),
          param(&ObsFilter::celltypes, "celltypes", nullptr),
          param(&ObsFilter::condition_col, "condition_col", "condition"),
          param(&ObsFilter::conditions, "conditions", nullptr),
      }};
  return t;
}

const RecordParams<SignifTestConfig>& signif_test_params() {
  static const RecordParams<SignifTestConfig> t{
      "SignifTestConfig",
      "",
      {
          param(&SignifTestConfig::group_by, "group_by", "condition"),
          param(&SignifTestConfig::test, "test", "mannwhitneyu",
                "\"mannwhitneyu\", \"t-test_welch\" or \"kruskal\". With fewer than 4 "
                "samples per group Mann-Whitney U cannot reach p < 0.05 (3 vs 3: p >= 0.1): "
                "use \"t-test_welch\" (Welch's t-test on the per-sample values) there."),
          param(&SignifTestConfig::correction, "correction", "fdr_bh"),
          param(&SignifTestConfig::sample_col, "sample_col", "sample",
                "obs column of samples (the unit of the per-sample box plots)."),
      }};
  return t;
}

const RecordParams<FeatureSelectConfig>& feature_select_params() {
  static const RecordParams<FeatureSelectConfig> t{
      "FeatureSelectConfig",
      "",
      {
          param(&FeatureSelectConfig::features, "features", nullptr),
          param(&FeatureSelectConfig::layer, "layer", nullptr),
          param(&FeatureSelectConfig::use_raw, "use_raw", nullptr,
                "Expression from raw (true) or X (false); omit for raw when the dataset has "
                "it. A layer overrides both."),
          param(&FeatureSelectConfig::sources, "sources", nullptr,
                "Interactions only: sending (ligand) cell types. Omit for all."),
          param(&FeatureSelectConfig::targets, "targets", nullptr,
                "Interactions only: receiving (receptor) cell types. Omit for all."),
      }};
  return t;
}

const RecordParams<BoxPlotStyle>& box_plot_style_params() {
  static const RecordParams<BoxPlotStyle> t{
      "BoxPlotStyle",
      "",
      {
          param(&BoxPlotStyle::show_points, "show_points", true),
          param(&BoxPlotStyle::title, "title", nullptr),
          param(&BoxPlotStyle::width, "width", 8.0),
          param(&BoxPlotStyle::height, "height", 5.0),
      }};
  return t;
}

}  // namespace norvex::detail
