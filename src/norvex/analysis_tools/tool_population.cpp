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

// ---- select: the cell types counted and the groups (bars) ----

struct PopulationChoice {
  std::string group_col;   // the bars' obs column
  bool by_sample = false;  // the bars are samples
  Categories celltypes, groups;
  std::vector<char> celltype_ok;  // per cell-type code: counted
  std::vector<int32_t> bars;      // requested groups in the order asked; empty: all
  bool groups_requested = false;
};

PopulationChoice select_population(const AnnData& adata, const PopulationComputeConfig& cfg) {
  PopulationChoice s;
  if (cfg.group_by == "condition")
    s.group_col = cfg.condition_col;
  else if (cfg.group_by == "sample")
    s.group_col = cfg.sample_col;
  else
    s.group_col = cfg.group_by;  // any obs column named directly
  s.by_sample = s.group_col == cfg.sample_col;
  s.celltypes = obs_categories(adata, cfg.celltype_col);
  s.groups = obs_categories(adata, s.group_col);
  s.celltype_ok.assign(s.celltypes.categories.size(), 1);
  if (const auto& want = cfg.celltypes) {
    std::fill(s.celltype_ok.begin(), s.celltype_ok.end(), 0);
    for (auto& m : match_values(*want, s.celltypes.categories, cfg.celltype_col + " value(s)"))
      s.celltype_ok[s.celltypes.find(m)] = 1;
  }
  // Bars: requested groups in the order asked, else every group that has cells.
  s.groups_requested = cfg.groups.has_value();
  if (cfg.groups)
    for (auto& m : match_values(*cfg.groups, s.groups.categories, s.group_col + " value(s)"))
      s.bars.push_back(s.groups.find(m));
  return s;
}

// ---- compute: counts per group and cell type ----

struct PopulationCounts {
  std::vector<std::vector<long long>> counts;  // per group code, per cell-type code
  std::vector<long long> totals;               // per group code: counted cells
  long long grand = 0;                         // counted cells of the bars
  std::vector<int32_t> bars;                   // group codes, in drawing order
  std::vector<size_t> segments;                // cell-type codes with cells in the bars
  // By sample: each sample's condition (the one most of its cells have).
  std::vector<std::string> bar_condition;
};

// Samples are easier to compare sorted by their condition, which is shown under each bar.
void sample_conditions(PopulationCounts& c, const PopulationChoice& s, const AnnData& adata,
                       const std::string& cond_col) {
  const size_t n_grp = s.groups.categories.size();
  c.bar_condition.assign(n_grp, "");
  if (!s.by_sample || !adata.obs.has(cond_col)) return;
  std::vector<int32_t> bar_condition_code(n_grp, -1);
  const Categories cond = obs_categories(adata, cond_col);
  std::vector<std::map<int32_t, long long>> tally(n_grp);
  for (size_t i = 0; i < s.groups.codes.size(); ++i)
    if (s.groups.codes[i] >= 0 && cond.codes[i] >= 0) ++tally[s.groups.codes[i]][cond.codes[i]];
  for (size_t g = 0; g < n_grp; ++g) {
    long long best = -1;
    for (auto& [k, n] : tally[g])
      if (n > best) best = n, c.bar_condition[g] = cond.categories[k], bar_condition_code[g] = k;
  }
  if (!s.groups_requested)
    std::stable_sort(c.bars.begin(), c.bars.end(), [&](int32_t a, int32_t b) {
      return bar_condition_code[a] < bar_condition_code[b];
    });
}

PopulationCounts compute_population(const PopulationChoice& s, const AnnData& adata,
                                    const std::string& cond_col) {
  const size_t n_ct = s.celltypes.categories.size(), n_grp = s.groups.categories.size();
  PopulationCounts c;
  c.counts.assign(n_grp, std::vector<long long>(n_ct, 0));
  for (size_t i = 0; i < s.celltypes.codes.size(); ++i) {
    const int32_t ct = s.celltypes.codes[i], g = s.groups.codes[i];
    if (ct < 0 || g < 0 || !s.celltype_ok[ct]) continue;
    ++c.counts[g][ct];
  }
  c.totals.assign(n_grp, 0);
  for (size_t g = 0; g < n_grp; ++g)
    for (size_t k = 0; k < n_ct; ++k) c.totals[g] += c.counts[g][k];
  c.bars = s.bars;
  if (!s.groups_requested)
    for (size_t g = 0; g < n_grp; ++g)
      if (c.totals[g] > 0) c.bars.push_back(static_cast<int32_t>(g));
  for (int32_t g : c.bars) c.grand += c.totals[g];
  if (c.grand == 0) throw ValueError("No cells match the requested cell types and groups");
  sample_conditions(c, s, adata, cond_col);
  for (size_t k = 0; k < n_ct; ++k) {
    if (!s.celltype_ok[k]) continue;
    long long n = 0;
    for (int32_t g : c.bars) n += c.counts[g][k];
    if (n > 0) c.segments.push_back(k);
  }
  return c;
}

// The share of cell type `k` in group `g`.
double share_of(const PopulationCounts& c, int32_t g, size_t k) {
  return c.totals[g] ? static_cast<double>(c.counts[g][k]) / c.totals[g] : 0.0;
}

// ---- present ----

std::string present_bars(const PopulationChoice& s, const PopulationCounts& c,
                         const PopulationArgs& args) {
  const PopulationPlotConfig& style = args.plot;
  const std::string& ct_col = args.compute.celltype_col;
  plotting::StackedBarPlot p;
  p.size.width_in = style.width;
  p.size.height_in = style.height;
  for (size_t k : c.segments) {
    p.segments.push_back(s.celltypes.categories[k]);
    p.segment_colors.push_back(category_color(s.celltypes.categories[k], k));
  }
  for (int32_t g : c.bars) {
    p.bars.push_back(s.groups.categories[g]);
    if (style.show_counts) p.bar_annotations.push_back("n=" + format_count(c.totals[g]));
    if (s.by_sample) p.bar_groups.push_back(c.bar_condition[g]);
    std::vector<double> shares;
    for (size_t k : c.segments) shares.push_back(share_of(c, g, k));
    p.shares.push_back(shares);
  }
  p.percent_labels = style.show_percent_labels;
  p.title = style.title.value_or("Cell-type composition per " + s.group_col);
  p.subtitle = ct_col + " · " + format_count(c.grand) + " cells" +
               (args.compute.celltypes ? " · shares within the selected cell types" : "");
  p.x_label = s.group_col;
  p.legend_title = ct_col;
  return plotting::render_stacked_bars_png(p);
}

// Long table: one row per group and cell type, counts and shares side by side.
Table population_table(const PopulationChoice& s, const PopulationCounts& c,
                       const PopulationComputeConfig& cfg) {
  json col_group = json::array(), col_cond = json::array(), col_ct = json::array(),
       col_n = json::array(), col_total = json::array(), col_prop = json::array();
  for (int32_t g : c.bars) {
    for (size_t k : c.segments) {
      col_group.push_back(s.groups.categories[g]);
      if (s.by_sample) col_cond.push_back(c.bar_condition[g]);
      col_ct.push_back(s.celltypes.categories[k]);
      col_n.push_back(c.counts[g][k]);
      col_total.push_back(c.totals[g]);
      col_prop.push_back(share_of(c, g, k));
    }
  }
  Table t;
  t.add_column(s.group_col, col_group);
  if (s.by_sample) t.add_column(cfg.condition_col, col_cond);
  t.add_column(cfg.celltype_col, col_ct)
      .add_column("n_cells", col_n)
      .add_column("group_total", col_total)
      .add_column("proportion", col_prop);
  return t;
}

json run_plot_celltype_population(AnnData& adata, const PopulationArgs& args, Warnings&) {
  const PopulationChoice s = select_population(adata, args.compute);
  const PopulationCounts c = compute_population(s, adata, args.compute.condition_col);
  const std::string png = present_bars(s, c, args);
  json result = json::object();
  result["data"] = "cell-type population";
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] = json{{s.group_col, population_table(s, c, args.compute).to_json()}};
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
