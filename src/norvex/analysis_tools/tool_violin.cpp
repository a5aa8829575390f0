// plot_violin_for_gene_expression_with_signif_difference: expression of genes across the
// groups of an obs column (condition by default) within chosen cell types, cell by cell,
// with pairwise tests between groups.
#include <algorithm>
#include <cmath>

#include "norvex/analysis_tools/comparison_steps.hpp"
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

struct ViolinSignifTestConfig {
  std::string group_by;
  std::string test;
  std::string correction;
};
struct GeneSelectConfig {
  std::optional<TextList> target_genes;
  std::optional<std::string> layer;
  std::optional<bool> use_raw;
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

constexpr size_t kMaxPanels = 24;

// ---- select ----

struct ViolinSelection {
  ExpressionSelection cells;
  ViolinGroups groups;
};

ViolinSelection select_violin(const AnnData& adata, const ViolinArgs& args, Warnings& warnings) {
  const ObsFilter& f = args.obs_filter;
  canonical_test_name(args.test.test);       // unknown tests fail before any work
  adjust_pvalues({}, args.test.correction);  // and unknown corrections
  ViolinSelection s;
  select_genes(s.cells, adata, requested_genes(args.target_genes, args.genes.target_genes),
               args.genes.layer, args.genes.use_raw, warnings);
  s.cells.celltypes = obs_categories(adata, f.celltype_col);
  s.groups = violin_group_column(adata, args.test.group_by, f.condition_col);
  // Panels per cell type (all cells pooled when none is chosen).
  select_celltype_panels(s.cells, f);
  const size_t n_genes = s.cells.genes.size(), n_ct = s.cells.n_celltype_panels();
  if (n_genes * n_ct > kMaxPanels)
    throw ValueError(std::to_string(n_genes) + " genes x " + std::to_string(n_ct) +
                     " cell types make " + std::to_string(n_genes * n_ct) + " panels; at most " +
                     std::to_string(kMaxPanels) +
                     " fit one figure: ask for fewer genes or cell types");
  select_violin_groups(s.groups, s.cells, adata, f);
  load_expression(s.cells, adata);
  return s;
}

// ---- present ----

json present_violin(const ViolinSelection& s, const ViolinStats& stats, const ViolinArgs& args) {
  const std::vector<std::string>& genes = s.cells.genes;
  const std::vector<std::string>& groups = s.groups.groups;
  const size_t n_ct = s.cells.n_celltype_panels();
  plotting::GroupComparisonPlot p;
  p.kind = plotting::GroupComparisonPlot::Kind::Violin;
  p.groups = groups;
  for (size_t g = 0; g < groups.size(); ++g) p.group_colors.push_back(category_color(groups[g], g));
  bool thinned = false;
  for (const PanelValues& panel : stats.panels) {
    plotting::GroupPanel gp;
    gp.title =
        genes.size() > 1 || n_ct > 1 ? panel.feature + " · " + panel.celltype : panel.feature;
    gp.values = panel.values;
    gp.brackets = panel_brackets(stats.comparisons, p.panels.size(), &thinned);
    p.panels.push_back(std::move(gp));
  }

  const ViolinPlotStyle& style = args.style;
  const size_t ncols = std::min<size_t>(p.panels.size(), 4);
  const size_t nrows = (p.panels.size() + ncols - 1) / ncols;
  const double panel_w = std::max(2.0, 0.6 * groups.size() + 0.9);
  p.size.width_in = std::clamp(std::max(style.width, ncols * panel_w + 0.6), 3.0, 30.0);
  p.size.height_in =
      std::clamp(std::max(style.height, nrows * (3.3 + extra_panel_height_in(p)) + 1.2), 3.0, 30.0);
  p.show_points = style.show_points;
  const std::vector<int32_t>& ct_sel = s.cells.chosen;
  p.title = style.title.value_or(
      (genes.size() == 1 ? genes[0] : join_limited(genes, 4)) + " expression by " +
      s.groups.column +
      (ct_sel.size() == 1 ? " in " + s.cells.celltypes.categories[ct_sel[0]] : ""));
  p.subtitle = format_count(static_cast<long long>(stats.n_cells)) + " cells · expression from " +
               s.cells.source.label + " · unit: cell";
  p.y_label = "Expression";
  p.shared_y = true;  // every panel is expression of one source, in one unit
  p.footnote = "Violin: density of cells; bar: interquartile range; white dot: median.\n" +
               stars_note(args.test.test, args.test.correction) +
               (thinned ? std::string("\n") + kThinnedNote : std::string());
  const std::string png = plotting::render_group_comparison_png(p);

  json result = json::object();
  // The table heading reads "Selected <data>s for <key>", here "... tests for comparisons".
  result["data"] = "gene expression test";
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] =
      json{{"comparisons", comparison_table(stats.comparisons, groups, "gene").to_json()}};
  return result;
}

json run_plot_violin(AnnData& adata, const ViolinArgs& args, Warnings& warnings) {
  const ViolinSelection s = select_violin(adata, args, warnings);
  const ViolinStats stats =
      compute_violin_stats(s.cells, s.groups, args.test.test, args.test.correction);
  return present_violin(s, stats, args);
}

const char* kDefinition =
    R"(Tool: plot_violin_for_gene_expression_with_signif_difference
Violin plots of the expression of target genes across the groups of an obs column (the
conditions by default), cell by cell, within the chosen cell types; one panel per gene (and
cell type when several). Every pair of groups is tested (two-sided Mann-Whitney U by
default) and drawn as a bracket with stars; p-values are Benjamini-Hochberg adjusted across
the figure. Expression comes from raw when the dataset has it, else X.
- target_genes: gene symbols (at most 24 panels: genes x cell types).
- obs_filter.celltype_col: the cell-type level; obs_filter.celltypes: the cell types (values
  EXACTLY as in DATA CONTEXT), omit for all cells pooled.
- obs_filter.conditions: only these conditions, in this order.
- test_cfg.group_by: "condition" or another obs column; test_cfg.test: "mannwhitneyu",
  "t-test_welch" or "kruskal"; test_cfg.correction: "fdr_bh", "bonferroni" or "none".
- gene_cfg.layer / gene_cfg.use_raw: another expression source.
Returns the figure and a table with one row per comparison: gene, celltype, group1, group2,
n1, n2, mean1, mean2, statistic, pval, pval_adj, method.
Use for questions such as "is CD274 higher in tumour than in normal T cells?".)";

}  // namespace

// ---- the violin's groups and statistics (comparison_steps.hpp) ----

bool ViolinGroups::admits(const ExpressionSelection& sel, size_t i) const {
  if (sel.celltypes.codes[i] < 0 || categories.codes[i] < 0) return false;
  if (!condition_codes.empty() && (condition_codes[i] < 0 || !condition_ok[condition_codes[i]]))
    return false;
  return sel.panel_of_cell(i) >= 0;
}

int32_t ViolinGroups::group_of_cell(const ExpressionSelection& sel, size_t i) const {
  return admits(sel, i) ? group_of_code[categories.codes[i]] : -1;
}

ViolinGroups violin_group_column(const AnnData& adata, const std::string& group_by,
                                 const std::string& condition_col) {
  ViolinGroups g;
  g.column = group_column(adata, group_by, condition_col);
  g.categories = obs_categories(adata, g.column);
  return g;
}

void select_violin_groups(ViolinGroups& g, const ExpressionSelection& sel, const AnnData& adata,
                          const ObsFilter& f) {
  // Groups: the conditions asked for, in that order, when grouping by condition; else every
  // group with cells. Conditions asked for also filter cells when grouping by another column.
  const Categories& grp = g.categories;
  g.group_of_code.assign(grp.categories.size(), -1);
  g.groups.clear();
  if (f.conditions) {
    if (g.column == f.condition_col) {
      for (auto& m : match_values(*f.conditions, grp.categories, g.column + " value(s)"))
        if (g.group_of_code[grp.find(m)] < 0) {
          g.group_of_code[grp.find(m)] = static_cast<int32_t>(g.groups.size());
          g.groups.push_back(m);
        }
    } else {
      const Categories cond = obs_categories(adata, f.condition_col);
      g.condition_ok.assign(cond.categories.size(), 0);
      for (auto& m : match_values(*f.conditions, cond.categories, f.condition_col + " value(s)"))
        g.condition_ok[cond.find(m)] = 1;
      g.condition_codes = cond.codes;
    }
  }
  if (g.groups.empty()) {
    std::vector<char> seen(grp.categories.size(), 0);
    for (size_t i = 0; i < grp.codes.size(); ++i)
      if (g.admits(sel, i)) seen[grp.codes[i]] = 1;
    for (size_t c = 0; c < seen.size(); ++c)
      if (seen[c]) {
        g.group_of_code[c] = static_cast<int32_t>(g.groups.size());
        g.groups.push_back(grp.categories[c]);
      }
  }
  if (g.groups.empty()) throw ValueError("No cells match the requested cell types and groups");
}

ViolinStats compute_violin_stats(const ExpressionSelection& sel, const ViolinGroups& g,
                                 const std::string& test, const std::string& correction) {
  ViolinStats out;
  const size_t n_ct = sel.n_celltype_panels(), n_cells = sel.celltypes.codes.size();
  for (size_t gi = 0; gi < sel.genes.size(); ++gi) {
    std::vector<std::vector<std::vector<double>>> vals(
        n_ct, std::vector<std::vector<double>>(g.groups.size()));
    for (size_t i = 0; i < n_cells; ++i) {
      const int32_t group = g.group_of_cell(sel, i);
      if (group < 0) continue;
      vals[sel.panel_of_cell(i)][group].push_back(sel.expression[gi][i]);
      if (gi == 0) ++out.n_cells;
    }
    for (size_t k = 0; k < n_ct; ++k)
      add_panel(out, {sel.genes[gi], sel.panel_celltype(k), std::move(vals[k])}, test);
  }
  adjust_comparisons(out.comparisons, correction);
  return out;
}

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
          param(&GeneSelectConfig::use_raw, "use_raw", nullptr,
                "Expression from raw (true) or X (false); omit for raw when the dataset has "
                "it. A layer overrides both."),
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
  register_builtin_tool("plot_violin_for_gene_expression_with_signif_difference", kDefinition,
                        ToolParams<ViolinArgs>({
                            target_genes_param(&ViolinArgs::target_genes, kGenes),
                            record(&ViolinArgs::test, "test_cfg", test),
                            record(&ViolinArgs::genes, "gene_cfg", genes),
                            record(&ViolinArgs::style, "style", style),
                            record(&ViolinArgs::obs_filter, "obs_filter", obs_filter_params()),
                        }),
                        run_plot_violin);
}

}  // namespace norvex::detail
