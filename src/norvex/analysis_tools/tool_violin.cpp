// plot_violin_for_gene_expression_with_signif_difference: expression of genes across the
// groups of an obs column (condition by default) within chosen cell types, cell by cell,
// with pairwise tests between groups.
#include <algorithm>
#include <cmath>

#include "norvex/analysis_tools/comparisons.hpp"
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

json run_plot_violin(AnnData& adata, const ViolinArgs& args, bool show) {
  const ObsFilter& f = args.obs_filter;
  canonical_test_name(args.test.test);       // unknown tests fail before any work
  adjust_pvalues({}, args.test.correction);  // and unknown corrections

  TextList requested;
  for (const auto* list : {&args.target_genes, &args.genes.target_genes})
    if (*list) requested.insert(requested.end(), (*list)->begin(), (*list)->end());
  if (requested.empty())
    throw ValueError("No genes given: set target_genes to the gene symbols to compare");
  const ExpressionSource src = expression_source(adata, args.genes.layer, args.genes.use_raw);
  const std::vector<std::string> genes = resolve_genes(requested, source_gene_names(adata, src),
                                                       src.raw ? "raw var names" : "var names");

  const Categories cts = obs_categories(adata, f.celltype_col);
  const std::string gcol = group_column(adata, args.test.group_by, f.condition_col);
  const Categories grp = obs_categories(adata, gcol);

  // Panels per cell type (all cells pooled when none is chosen).
  std::vector<int32_t> ct_sel;
  if (f.celltypes)
    for (auto& m : match_values(*f.celltypes, cts.categories, f.celltype_col + " value(s)"))
      if (std::find(ct_sel.begin(), ct_sel.end(), cts.find(m)) == ct_sel.end())
        ct_sel.push_back(cts.find(m));
  const size_t n_ct = ct_sel.empty() ? 1 : ct_sel.size();
  if (genes.size() * n_ct > kMaxPanels)
    throw ValueError(std::to_string(genes.size()) + " genes x " + std::to_string(n_ct) +
                     " cell types make " + std::to_string(genes.size() * n_ct) +
                     " panels; at most " + std::to_string(kMaxPanels) +
                     " fit one figure: ask for fewer genes or cell types");

  // Groups: the conditions asked for, in that order, when grouping by condition; else every
  // group with cells. Conditions asked for also filter cells when grouping by another column.
  std::vector<int32_t> group_of_code(grp.categories.size(), -1);
  std::vector<std::string> groups;
  std::vector<char> cond_ok;
  std::vector<int32_t> cond_codes;
  if (f.conditions) {
    if (gcol == f.condition_col) {
      for (auto& m : match_values(*f.conditions, grp.categories, gcol + " value(s)"))
        if (group_of_code[grp.find(m)] < 0) {
          group_of_code[grp.find(m)] = static_cast<int32_t>(groups.size());
          groups.push_back(m);
        }
    } else {
      const Categories cond = obs_categories(adata, f.condition_col);
      cond_ok.assign(cond.categories.size(), 0);
      for (auto& m : match_values(*f.conditions, cond.categories, f.condition_col + " value(s)"))
        cond_ok[cond.find(m)] = 1;
      cond_codes = cond.codes;
    }
  }
  auto cell_in = [&](size_t i) {
    if (cts.codes[i] < 0 || grp.codes[i] < 0) return false;
    if (!cond_codes.empty() && (cond_codes[i] < 0 || !cond_ok[cond_codes[i]])) return false;
    if (!ct_sel.empty() && std::find(ct_sel.begin(), ct_sel.end(), cts.codes[i]) == ct_sel.end())
      return false;
    return true;
  };
  if (groups.empty()) {
    std::vector<char> seen(grp.categories.size(), 0);
    for (size_t i = 0; i < grp.codes.size(); ++i)
      if (cell_in(i)) seen[grp.codes[i]] = 1;
    for (size_t g = 0; g < seen.size(); ++g)
      if (seen[g]) {
        group_of_code[g] = static_cast<int32_t>(groups.size());
        groups.push_back(grp.categories[g]);
      }
  }
  if (groups.empty()) throw ValueError("No cells match the requested cell types and groups");

  std::vector<int32_t> panel_of_ct(cts.categories.size(), ct_sel.empty() ? 0 : -1);
  for (size_t k = 0; k < ct_sel.size(); ++k) panel_of_ct[ct_sel[k]] = static_cast<int32_t>(k);
  const auto expr = source_expression(adata, src, genes);

  plotting::GroupComparisonPlot p;
  p.kind = plotting::GroupComparisonPlot::Kind::Violin;
  p.groups = groups;
  for (size_t g = 0; g < groups.size(); ++g) p.group_colors.push_back(category_color(groups[g], g));
  std::vector<Comparison> cmp;
  size_t n_cells = 0;
  for (size_t gi = 0; gi < genes.size(); ++gi) {
    std::vector<std::vector<std::vector<double>>> vals(
        n_ct, std::vector<std::vector<double>>(groups.size()));
    for (size_t i = 0; i < adata.n_obs(); ++i) {
      if (!cell_in(i)) continue;
      const int32_t g = group_of_code[grp.codes[i]];
      if (g < 0) continue;
      vals[panel_of_ct[cts.codes[i]]][g].push_back(expr[gi][i]);
      if (gi == 0) ++n_cells;
    }
    for (size_t k = 0; k < n_ct; ++k) {
      const std::string ct = ct_sel.empty() ? "all cells" : cts.categories[ct_sel[k]];
      const size_t panel = p.panels.size();
      compare_groups(cmp, panel, genes[gi], ct, vals[k], args.test.test);
      plotting::GroupPanel gp;
      gp.title = genes.size() > 1 || n_ct > 1 ? genes[gi] + " · " + ct : genes[gi];
      gp.values = std::move(vals[k]);
      p.panels.push_back(std::move(gp));
    }
  }
  adjust_comparisons(cmp, args.test.correction);
  bool thinned = false;
  for (size_t k = 0; k < p.panels.size(); ++k)
    p.panels[k].brackets = panel_brackets(cmp, k, &thinned);

  const ViolinPlotStyle& style = args.style;
  const size_t ncols = std::min<size_t>(p.panels.size(), 4);
  const size_t nrows = (p.panels.size() + ncols - 1) / ncols;
  const double panel_w = std::max(2.0, 0.6 * groups.size() + 0.9);
  p.size.width_in = std::clamp(std::max(style.width, ncols * panel_w + 0.6), 3.0, 30.0);
  p.size.height_in =
      std::clamp(std::max(style.height, nrows * (3.3 + extra_panel_height_in(p)) + 1.2), 3.0, 30.0);
  p.show_points = style.show_points;
  p.title = style.title.value_or((genes.size() == 1 ? genes[0] : join_limited(genes, 4)) +
                                 " expression by " + gcol +
                                 (ct_sel.size() == 1 ? " in " + cts.categories[ct_sel[0]] : ""));
  p.subtitle = format_count(static_cast<long long>(n_cells)) + " cells · expression from " +
               src.label + " · unit: cell";
  p.y_label = "Expression";
  p.footnote = "Violin: density of cells; bar: interquartile range; white dot: median.\n" +
               stars_note(args.test.test, args.test.correction) +
               (thinned ? std::string("\n") + kThinnedNote : std::string());
  const std::string png = plotting::render_group_comparison_png(p);

  show_images(show, {png});
  json result = json::object();
  result["data"] = "gene expression comparison";
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] =
      json{{"comparisons", comparison_table(cmp, groups, "gene").to_json()}};
  return result;
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
