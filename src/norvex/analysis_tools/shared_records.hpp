#pragma once
// Configuration records that several tools take, declared once: the struct a run function
// reads and the parameter table it is filled from (record class, schema, defaults).
#include <optional>
#include <string>

#include "norvex/analysis_tools/params.hpp"

namespace norvex::detail {

// Which cells: cell types and conditions to keep.
struct ObsFilter {
  std::string celltype_col;
  std::optional<TextList> celltypes;
  std::string condition_col;
  std::optional<TextList> conditions;
};
const RecordParams<ObsFilter>& obs_filter_params();

// The significance test between groups.
struct SignifTestConfig {
  std::string group_by;
  std::string test;
  std::string correction;
  std::string sample_col;
};
const RecordParams<SignifTestConfig>& signif_test_params();

// Which features (genes, or ligand-receptor pairs), which expression (layer, raw), and for
// interactions which sending and receiving cell types.
struct FeatureSelectConfig {
  std::optional<TextList> features;
  std::optional<std::string> layer;
  std::optional<bool> use_raw;
  std::optional<TextList> sources;
  std::optional<TextList> targets;
};
const RecordParams<FeatureSelectConfig>& feature_select_params();

struct BoxPlotStyle {
  bool show_points;
  std::optional<std::string> title;
  double width;
  double height;
};
const RecordParams<BoxPlotStyle>& box_plot_style_params();

}  // namespace norvex::detail
