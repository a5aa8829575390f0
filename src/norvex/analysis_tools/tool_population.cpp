// plot_celltype_population: cell-type proportions per condition or per sample.
#include <algorithm>
#include <map>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex::detail {

namespace {

// The arguments, filled from the parameter table in register_plot_celltype_population.
struct PopulationComputeConfig {
  std::string celltype_col;
  std::string group_by;
  std::string condition_col;
  std::string sample_col;
  std::optional<TextList> celltypes;
  std::optional<TextList> groups;
};
struct PopulationPlotConfig {
  bool show_percent_labels;
  bool show_counts;
  std::optional<std::string> title;
  double width;
  double height;
};
struct PopulationArgs {
  PopulationComputeConfig compute;
  PopulationPlotConfig plot;
};

json run_plot_celltype_population(AnnData& adata, const PopulationArgs& args, bool show) {
  const PopulationComputeConfig& cfg = args.compute;
  const PopulationPlotConfig& style = args.plot;

  const std::string& ct_col = cfg.celltype_col;
  const std::string& cond_col = cfg.condition_col;
  const std::string& sample_col = cfg.sample_col;
  const std::string& group_by = cfg.group_by;
  std::string group_col;
  if (group_by == "condition")
    group_col = cond_col;
  else if (group_by == "sample")
    group_col = sample_col;
  else
    group_col = group_by;  // any obs column named directly
  const bool by_sample = group_col == sample_col;

  const Categories cts = obs_categories(adata, ct_col);
  const Categories grp = obs_categories(adata, group_col);

  std::vector<char> ct_ok(cts.categories.size(), 1);
  if (const auto& want = cfg.celltypes) {
    std::fill(ct_ok.begin(), ct_ok.end(), 0);
    for (auto& m : match_values(*want, cts.categories, ct_col + " value(s)"))
      ct_ok[cts.find(m)] = 1;
  }

  // Bars: requested groups in the order asked, else every group that has cells.
  std::vector<int32_t> bars;
  const auto& want_groups = cfg.groups;
  if (want_groups) {
    for (auto& m : match_values(*want_groups, grp.categories, group_col + " value(s)"))
      bars.push_back(grp.find(m));
  }

  const size_t n_ct = cts.categories.size(), n_grp = grp.categories.size();
  std::vector<std::vector<long long>> counts(n_grp, std::vector<long long>(n_ct, 0));
  for (size_t i = 0; i < cts.codes.size(); ++i) {
    const int32_t c = cts.codes[i], g = grp.codes[i];
    if (c < 0 || g < 0 || !ct_ok[c]) continue;
    ++counts[g][c];
  }
  std::vector<long long> totals(n_grp, 0);
  for (size_t g = 0; g < n_grp; ++g)
    for (size_t c = 0; c < n_ct; ++c) totals[g] += counts[g][c];
  if (!want_groups)
    for (size_t g = 0; g < n_grp; ++g)
      if (totals[g] > 0) bars.push_back(static_cast<int32_t>(g));
  long long grand = 0;
  for (int32_t g : bars) grand += totals[g];
  if (grand == 0) throw ValueError("No cells match the requested cell types and groups");

  // Samples are easier to compare sorted by their condition, which is shown under each bar.
  std::vector<std::string> bar_condition(n_grp);
  std::vector<int32_t> bar_condition_code(n_grp, -1);
  if (by_sample && adata.obs.has(cond_col)) {
    const Categories cond = obs_categories(adata, cond_col);
    std::vector<std::map<int32_t, long long>> tally(n_grp);
    for (size_t i = 0; i < grp.codes.size(); ++i)
      if (grp.codes[i] >= 0 && cond.codes[i] >= 0) ++tally[grp.codes[i]][cond.codes[i]];
    for (size_t g = 0; g < n_grp; ++g) {
      long long best = -1;
      for (auto& [c, n] : tally[g])
        if (n > best) best = n, bar_condition[g] = cond.categories[c], bar_condition_code[g] = c;
    }
    if (!want_groups)
      std::stable_sort(bars.begin(), bars.end(), [&](int32_t a, int32_t b) {
        return bar_condition_code[a] < bar_condition_code[b];
      });
  }

  std::vector<size_t> segs;
  for (size_t c = 0; c < n_ct; ++c) {
    if (!ct_ok[c]) continue;
    long long n = 0;
    for (int32_t g : bars) n += counts[g][c];
    if (n > 0) segs.push_back(c);
  }

  plotting::StackedBarPlot p;
  p.size.width_in = style.width;
  p.size.height_in = style.height;
  for (size_t c : segs) {
    p.segments.push_back(cts.categories[c]);
    p.segment_colors.push_back(category_color(cts.categories[c], c));
  }
  for (int32_t g : bars) {
    p.bars.push_back(grp.categories[g]);
    if (style.show_counts) p.bar_annotations.push_back("n=" + format_count(totals[g]));
    if (by_sample) p.bar_groups.push_back(bar_condition[g]);
    std::vector<double> shares;
    for (size_t c : segs)
      shares.push_back(totals[g] ? static_cast<double>(counts[g][c]) / totals[g] : 0.0);
    p.shares.push_back(shares);
  }
  p.percent_labels = style.show_percent_labels;
  p.title = style.title.value_or("Cell-type composition per " + group_col);
  p.subtitle = ct_col + " · " + format_count(grand) + " cells" +
               (cfg.celltypes ? " · shares within the selected cell types" : "");
  p.x_label = group_col;
  p.legend_title = ct_col;
  const std::string png = plotting::render_stacked_bars_png(p);

  // Long table: one row per group and cell type, counts and shares side by side.
  json col_group = json::array(), col_cond = json::array(), col_ct = json::array(),
       col_n = json::array(), col_total = json::array(), col_prop = json::array();
  for (int32_t g : bars) {
    for (size_t c : segs) {
      col_group.push_back(grp.categories[g]);
      if (by_sample) col_cond.push_back(bar_condition[g]);
      col_ct.push_back(cts.categories[c]);
      col_n.push_back(counts[g][c]);
      col_total.push_back(totals[g]);
      col_prop.push_back(totals[g] ? static_cast<double>(counts[g][c]) / totals[g] : 0.0);
    }
  }
  Table t;
  t.add_column(group_col, col_group);
  if (by_sample) t.add_column(cond_col, col_cond);
  t.add_column(ct_col, col_ct)
      .add_column("n_cells", col_n)
      .add_column("group_total", col_total)
      .add_column("proportion", col_prop);

  show_images(show, {png});
  json result = json::object();
  result["data"] = "cell-type population";
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] = json{{group_col, t.to_json()}};
  return result;
}

const char* kDefinition = R"(Tool: plot_celltype_population
Computes the cell-type composition (counts and proportions of cells) per condition or per
sample and draws it as stacked bars that each sum to 100%.
- compute_cfg.celltype_col: the cell-type level, "celltype_major" (broad), "celltype_minor" or
  "celltype_subset" (finest). Pick the level whose values in DATA CONTEXT match the user's words.
- compute_cfg.group_by: "condition" for one bar per condition, "sample" for one bar per sample
  (samples are ordered by their condition). compute_cfg.sample_col names the sample column; use
  the sample-like column listed under obs columns in DATA CONTEXT (default "sample").
- compute_cfg.celltypes: only these cell types (values of celltype_col EXACTLY as in DATA CONTEXT);
  proportions are then shares within the selected cell types, e.g. T-cell subsets among T cells.
- compute_cfg.groups: only these conditions / samples, in this order.
Returns the figure and a table with, per group and cell type: n_cells, group_total, proportion.
Use for questions about cell-type proportions, abundance, composition or population changes.)";

}  // namespace

void register_plot_celltype_population() {
  const RecordParams<PopulationComputeConfig> compute{
      "PopulationComputeConfig",
      "What to count",
      {
          // Any obs column works; the planner is offered the cell-type levels.
          param(&PopulationComputeConfig::celltype_col, "celltype_col", "celltype_major",
                "Cell-type level whose proportions are computed.")
              .one_of({"celltype_major", "celltype_minor", "celltype_subset"},
                      Enforce::schema_only),
          // Any other obs column is taken as the grouping column itself.
          param(&PopulationComputeConfig::group_by, "group_by", "condition",
                "One bar per condition or per sample.")
              .one_of({"condition", "sample"}, Enforce::schema_only),
          param(&PopulationComputeConfig::condition_col, "condition_col", "condition",
                "obs column of conditions; keep \"condition\"."),
          param(&PopulationComputeConfig::sample_col, "sample_col", "sample",
                "obs column of samples, as listed under obs columns in DATA CONTEXT."),
          param(&PopulationComputeConfig::celltypes, "celltypes", nullptr,
                "Only these cell types (values of celltype_col EXACTLY as in DATA CONTEXT). "
                "Omit for all."),
          param(&PopulationComputeConfig::groups, "groups", nullptr,
                "Only these conditions (or samples), in display order, EXACTLY as in DATA "
                "CONTEXT. Omit for all."),
      }};
  const RecordParams<PopulationPlotConfig> plot{
      "PopulationPlotConfig",
      "Appearance",
      {
          param(&PopulationPlotConfig::show_percent_labels, "show_percent_labels", true,
                "Write percentages inside segments."),
          param(&PopulationPlotConfig::show_counts, "show_counts", true,
                "Write the number of cells above each bar."),
          param(&PopulationPlotConfig::title, "title", nullptr,
                "Figure title; omit for an automatic title."),
          param(&PopulationPlotConfig::width, "width", 8.0, "Figure width in inches.").range(3, 30),
          param(&PopulationPlotConfig::height, "height", 5.5, "Figure height in inches.")
              .range(3, 30),
      }};
  register_builtin_tool("plot_celltype_population", kDefinition,
                        ToolParams<PopulationArgs>({
                            record(&PopulationArgs::compute, "compute_cfg", compute),
                            record(&PopulationArgs::plot, "plot_cfg", plot),
                        }),
                        run_plot_celltype_population);
}

}  // namespace norvex::detail
