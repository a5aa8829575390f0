// The box-plot tools: per-sample values compared across conditions. The sample, not the
// cell, is the unit: cells of one sample are not independent, so testing cells would
// count one patient many times (pseudoreplication).
//   plot_box_for_gene_expression_with_signif_difference: mean expression per sample of the
//     cells of a type;
//   plot_box_for_celltype_population_with_signif_difference: cell-type proportions per
//     sample;
//   plot_box_for_cci_with_signif_difference: interaction scores per sample from
//     uns['CCI_sample'].
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>

#include "norvex/analysis_tools/comparison_steps.hpp"
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

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
  std::optional<std::string> parent_col;
  SignifTestConfig test;
  BoxPlotStyle style;
  ObsFilter obs_filter;
};

constexpr size_t kMaxPanels = 24;
const char* kUnitNote =
    "Unit: sample. Testing samples rather than cells keeps pseudoreplication out.";

// ---- present: what the three box tools share ----

// The figure with one panel per computed panel, titled by `title`, its brackets thinned
// when a panel has many pairs (*thinned says so).
plotting::GroupComparisonPlot box_figure(const PanelComparisons& stats,
                                         const std::vector<std::string>& groups,
                                         const BoxPlotStyle& style,
                                         const std::function<std::string(size_t)>& title,
                                         bool* thinned) {
  plotting::GroupComparisonPlot p;
  p.kind = plotting::GroupComparisonPlot::Kind::Box;
  p.groups = groups;
  for (size_t k = 0; k < stats.panels.size(); ++k) {
    plotting::GroupPanel gp;
    gp.title = title(k);
    gp.values = stats.panels[k].values;
    gp.brackets = panel_brackets(stats.comparisons, k, thinned);
    p.panels.push_back(std::move(gp));
  }
  const size_t ncols = std::max<size_t>(1, std::min<size_t>(p.panels.size(), 4));
  const size_t nrows = std::max<size_t>(1, (p.panels.size() + ncols - 1) / ncols);
  const double panel_w = std::max(2.0, 0.6 * p.groups.size() + 0.9);
  p.size.width_in = std::clamp(std::max(style.width, ncols * panel_w + 0.6), 3.0, 30.0);
  p.size.height_in =
      std::clamp(std::max(style.height, nrows * (3.3 + extra_panel_height_in(p)) + 1.3), 3.0, 30.0);
  p.show_points = style.show_points;
  for (size_t g = 0; g < p.groups.size(); ++g)
    p.group_colors.push_back(category_color(p.groups[g], g));
  return p;
}

// The footnote: what a point and a box show, the test, and the notes on few samples and
// thinned brackets.
std::string box_footnote(const std::string& first_line, const SignifTestConfig& test, bool thinned,
                         const PanelComparisons& stats) {
  bool few = false;
  for (const PanelValues& panel : stats.panels)
    for (const auto& values : panel.values)
      few |= !values.empty() && values.size() < plotting::kMinBoxValues;
  const std::string attainable = attainable_p_note(stats.comparisons);
  return first_line +
         (few ? " Groups of fewer than " + std::to_string(plotting::kMinBoxValues) +
                    " samples: their points and median, no box."
              : std::string()) +
         "\n" + stars_note(test.test, test.correction) +
         (attainable.empty() ? std::string() : "\n" + attainable) +
         (thinned ? std::string("\n") + kThinnedNote : std::string());
}

// `data` heads each table as "Selected <data>s for comparisons" and "... for per_sample".
json box_result(const std::string& data, const std::string& png, const Table& comparisons,
                const Table& per_sample) {
  json result = json::object();
  result["data"] = data;
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] =
      json{{"comparisons", comparisons.to_json()}, {"per_sample", per_sample.to_json()}};
  return result;
}

// ---- per-sample mean expression ----

struct BoxGeneSelection {
  ExpressionSelection cells;
  SampleGroups samples;
};

BoxGeneSelection select_box_gene(const AnnData& adata, const BoxGeneArgs& args,
                                 Warnings& warnings) {
  const ObsFilter& f = args.obs_filter;
  canonical_test_name(args.test.test);
  adjust_pvalues({}, args.test.correction);
  BoxGeneSelection s;
  select_genes(s.cells, adata, requested_genes(args.target_genes, args.genes.features),
               args.genes.layer, args.genes.use_raw, warnings);
  s.samples = sample_groups(adata, args.test, f.condition_col, f.conditions);
  s.cells.celltypes = obs_categories(adata, f.celltype_col);
  select_celltype_panels(s.cells, f);
  const size_t n_panels = s.cells.genes.size() * s.cells.n_celltype_panels();
  if (n_panels > kMaxPanels)
    throw ValueError(std::to_string(n_panels) + " panels (genes x cell types); at " + "most " +
                     std::to_string(kMaxPanels) + " fit one figure");
  load_expression(s.cells, adata);
  return s;
}

json present_box_gene(const BoxGeneSelection& s, const BoxGeneStats& stats,
                      const BoxGeneArgs& args) {
  const std::vector<std::string>& genes = s.cells.genes;
  const std::string& group_col = s.samples.group_col;
  const bool several = genes.size() > 1 || s.cells.n_celltype_panels() > 1;
  bool thinned = false;
  plotting::GroupComparisonPlot p = box_figure(
      stats, s.samples.groups, args.style,
      [&](size_t k) {
        const PanelValues& panel = stats.panels[k];
        return several ? panel.feature + " · " + panel.celltype : panel.feature;
      },
      &thinned);
  const std::vector<int32_t>& ct_sel = s.cells.chosen;
  p.title = args.style.title.value_or(
      (genes.size() == 1 ? genes[0] : join_limited(genes, 4)) + " per-sample mean expression" +
      (ct_sel.size() == 1 ? " in " + s.cells.celltypes.categories[ct_sel[0]] : "") + " by " +
      group_col);
  p.subtitle = std::string(kUnitNote) + " Expression from " + s.cells.source.label + ".";
  p.y_label = "Mean expression per sample";
  p.shared_y = true;  // every panel is a mean of one expression source
  p.footnote = box_footnote(
      "Point: one sample (mean over its cells of the type); box: quartiles, whiskers 1.5 IQR.",
      args.test, thinned, stats);
  json t_gene = json::array(), t_ct = json::array(), t_sample = json::array(),
       t_group = json::array(), t_n = json::array(), t_mean = json::array();
  for (const SampleMean& m : stats.per_sample) {
    t_gene.push_back(m.gene);
    t_ct.push_back(m.celltype);
    t_sample.push_back(m.sample);
    t_group.push_back(m.group);
    t_n.push_back(m.n_cells);
    t_mean.push_back(m.mean);
  }
  Table per_sample;
  per_sample.add_column("gene", t_gene)
      .add_column("celltype", t_ct)
      .add_column(args.test.sample_col, t_sample)
      .add_column(group_col, t_group)
      .add_column("n_cells", t_n)
      .add_column("mean_expression", t_mean);
  return box_result("per-sample gene expression result", plotting::render_group_comparison_png(p),
                    comparison_table(stats.comparisons, s.samples.groups, "gene"), per_sample);
}

json run_box_gene(AnnData& adata, const BoxGeneArgs& args, Warnings& warnings) {
  const BoxGeneSelection s = select_box_gene(adata, args, warnings);
  const BoxGeneStats stats =
      compute_box_gene_stats(s.cells, s.samples, args.test.test, args.test.correction);
  return present_box_gene(s, stats, args);
}

// ---- per-sample cell-type proportions ----

PopulationSelection select_box_population(const AnnData& adata, const BoxPopulationArgs& args) {
  const ObsFilter& f = args.obs_filter;
  canonical_test_name(args.test.test);
  adjust_pvalues({}, args.test.correction);
  PopulationSelection s;
  s.samples = sample_groups(adata, args.test, f.condition_col, f.conditions);
  s.celltype_col = f.celltype_col;
  s.celltypes = obs_categories(adata, f.celltype_col);
  if (f.celltypes) {
    for (auto& m : match_values(*f.celltypes, s.celltypes.categories, f.celltype_col + " value(s)"))
      if (std::find(s.shown.begin(), s.shown.end(), s.celltypes.find(m)) == s.shown.end())
        s.shown.push_back(s.celltypes.find(m));
  }
  s.parent_col = args.parent_col;
  if (args.parent_col) s.parents = obs_categories(adata, *args.parent_col);
  return s;
}

json present_box_population(const PopulationSelection& s, const BoxPopulationStats& stats,
                            const BoxPopulationArgs& args) {
  const std::string& group_col = s.samples.group_col;
  bool thinned = false;
  plotting::GroupComparisonPlot p = box_figure(
      stats, s.samples.groups, args.style,
      [&](size_t k) {
        std::string title = stats.panels[k].feature;
        if (stats.panel_parents[k]) title += "\nof " + *stats.panel_parents[k];
        return title;
      },
      &thinned);
  p.title = args.style.title.value_or("Cell-type proportions per sample by " + group_col);
  p.subtitle = std::string(kUnitNote) +
               (args.parent_col ? " Share of the cells of the parent type (" + *args.parent_col +
                                      ") in each sample."
                                : " Share of all cells of each sample (" + s.celltype_col + ").");
  p.y_label = args.parent_col ? "Cells of the type (% of the parent type)"
                              : "Cells of the type (% of the sample)";
  p.footnote = box_footnote("Point: one sample; box: quartiles, whiskers 1.5 IQR.", args.test,
                            thinned, stats);
  json t_ct = json::array(), t_sample = json::array(), t_group = json::array(), t_n = json::array(),
       t_total = json::array(), t_prop = json::array();
  for (const SampleShare& r : stats.per_sample) {
    t_ct.push_back(r.celltype);
    t_sample.push_back(r.sample);
    t_group.push_back(r.group);
    t_n.push_back(r.n_cells);
    t_total.push_back(r.total);
    t_prop.push_back(r.percent);
  }
  Table per_sample;
  per_sample.add_column("celltype", t_ct)
      .add_column(args.test.sample_col, t_sample)
      .add_column(group_col, t_group)
      .add_column("n_cells", t_n)
      .add_column(args.parent_col ? "parent_total" : "sample_total", t_total)
      .add_column("percent", t_prop);
  return box_result(
      "per-sample cell-type population result", plotting::render_group_comparison_png(p),
      comparison_table(stats.comparisons, s.samples.groups, "celltype", false), per_sample);
}

json run_box_population(AnnData& adata, const BoxPopulationArgs& args, Warnings&) {
  const PopulationSelection s = select_box_population(adata, args);
  const BoxPopulationStats stats =
      compute_box_population_stats(s, args.test.test, args.test.correction);
  return present_box_population(s, stats, args);
}

// ---- per-sample interaction scores ----

// A column of a CCI table as text or numbers; KeyError naming the table's columns.
const Column& cci_column(const DataFrame& t, const std::string& name, const std::string& where) {
  if (!t.has(name))
    throw KeyError("uns['CCI_sample']['" + where + "'] has no column '" + name +
                   "'. Its columns: " + join_limited(t.columns()));
  return t.col(name);
}

// The scores of every interaction in every sample's table; gene_a / gene_b per pair when the
// tables name them.
void read_sample_scores(CciSelection& s, const AnnData& adata, const std::string& sample_col,
                        std::map<std::string, std::pair<std::string, std::string>>& pair_genes,
                        Warnings& warnings) {
  const UnsDict& per = adata.uns.at("CCI_sample").dict();
  std::vector<std::string> unknown_samples;
  for (const auto& sample : per.keys()) {
    if (!per.at(sample).is_table()) continue;
    const int32_t code = s.samples.samples.find(sample);
    if (code < 0 || s.samples.group_of_sample[code] < 0) {
      if (code < 0) unknown_samples.push_back("'" + sample + "'");
      continue;
    }
    const size_t sc_code = static_cast<size_t>(code);
    s.used_samples.insert(sc_code);
    const DataFrame& t = per.at(sample).table();
    const Column& pc = cci_column(t, "interacting_pair", sample);
    const Column& sc = cci_column(t, "source", sample);
    const Column& tc = cci_column(t, "target", sample);
    const Column& mc = cci_column(t, "mean", sample);
    const Column* ga = t.has("gene_a") ? &t.col("gene_a") : nullptr;
    const Column* gb = t.has("gene_b") ? &t.col("gene_b") : nullptr;
    for (size_t r = 0; r < t.n_rows(); ++r) {
      const json v = mc.json_at(r);
      if (!v.is_number()) continue;
      const std::string pair = pc.text_at(r);
      s.scores[{pair, sc.text_at(r), tc.text_at(r)}][sc_code] = v.get<double>();
      if (ga && gb) pair_genes[pair] = {ga->text_at(r), gb->text_at(r)};
    }
  }
  if (!unknown_samples.empty())
    warnings.push_back("uns['CCI_sample'] entries that are not samples of obs['" + sample_col +
                       "'], left out: " + join_limited(unknown_samples));
  if (s.scores.empty()) throw ValueError("uns['CCI_sample'] holds no interaction scores");
}

// Values of `want` matched among `from`; ValueError naming close choices for an unknown one.
std::set<std::string> pick_values(const std::optional<TextList>& want,
                                  const std::vector<std::string>& from, const std::string& what) {
  std::set<std::string> out;
  if (!want) return out;
  for (auto& w : *want) {
    try {
      for (auto& m : match_values({w}, from, what)) out.insert(m);
    } catch (const ValueError&) {
      const auto close = close_choices(w, from);
      throw ValueError("Unknown " + what + ": '" + w + "'. " +
                       (close.empty() ? "" : "Close choices: " + join_limited(close) + ". ") +
                       "Valid values: " + join_limited(from));
    }
  }
  return out;
}

CciSelection select_box_cci(const AnnData& adata, const BoxCciArgs& args, Warnings& warnings) {
  canonical_test_name(args.test.test);
  adjust_pvalues({}, args.test.correction);
  if (!adata.uns.contains("CCI_sample") || !adata.uns.at("CCI_sample").is_dict())
    throw KeyError("The dataset has no per-sample interaction results (uns['CCI_sample'])");
  CciSelection s;
  s.samples = sample_groups(adata, args.test, "condition", std::nullopt);
  std::map<std::string, std::pair<std::string, std::string>> pair_genes;
  read_sample_scores(s, adata, args.test.sample_col, pair_genes, warnings);

  std::vector<std::string> all_pairs, all_types;
  for (auto& [k, v] : s.scores) {
    all_pairs.push_back(k.pair);
    all_types.push_back(k.source);
    all_types.push_back(k.target);
  }
  std::sort(all_pairs.begin(), all_pairs.end());
  all_pairs.erase(std::unique(all_pairs.begin(), all_pairs.end()), all_pairs.end());
  std::sort(all_types.begin(), all_types.end());
  all_types.erase(std::unique(all_types.begin(), all_types.end()), all_types.end());

  s.sources = pick_values(args.features.sources, all_types, "source cell type");
  s.targets = pick_values(args.features.targets, all_types, "target cell type");
  s.pairs = pick_values(args.features.features, all_pairs, "ligand-receptor pair");
  if (args.target_genes) {
    std::vector<std::string> missing;
    for (auto& g : *args.target_genes) {
      bool any = false;
      for (auto& [pair, ab] : pair_genes)
        if (ascii_lower(ab.first) == ascii_lower(g) || ascii_lower(ab.second) == ascii_lower(g))
          s.pairs.insert(pair), any = true;
      if (!any) missing.push_back("'" + g + "'");
    }
    if (!missing.empty() && s.pairs.empty())
      throw ValueError("No ligand-receptor pair in uns['CCI_sample'] involves " +
                       join_limited(missing) + ". Pairs: " + join_limited(all_pairs));
    if (!missing.empty())
      warnings.push_back("No ligand-receptor pair involves " + join_limited(missing) +
                         "; left out");
  }
  if (s.pairs.empty())
    throw ValueError(
        "Choose ligand-receptor pairs (feature_cfg.features) or genes "
        "(target_genes). Pairs: " +
        join_limited(all_pairs));
  return s;
}

json present_box_cci(const CciSelection& s, const BoxCciStats& stats, const BoxCciArgs& args) {
  bool thinned = false;
  plotting::GroupComparisonPlot p = box_figure(
      stats, s.samples.groups, args.style,
      [&](size_t k) { return stats.panels[k].feature + "\n" + stats.panels[k].celltype; },
      &thinned);
  const size_t n_panels = stats.panels.size();
  p.title = args.style.title.value_or("Interaction scores per sample by " + s.samples.group_col);
  p.subtitle =
      std::string(kUnitNote) + (stats.n_candidates > n_panels
                                    ? " Top " + std::to_string(n_panels) + " of " +
                                          std::to_string(stats.n_candidates) + " by mean score."
                                    : "");
  p.y_label = "Interaction score (CCI_sample mean)";
  p.shared_y = true;  // one score for every pair
  p.footnote = box_footnote(
      "Point: one sample; a pair not detected in a sample counts as 0. Box: quartiles, "
      "whiskers 1.5 IQR.",
      args.test, thinned, stats);
  json t_f = json::array(), t_ct = json::array(), t_sample = json::array(), t_group = json::array(),
       t_score = json::array();
  for (const SampleScore& r : stats.per_sample) {
    t_f.push_back(r.feature);
    t_ct.push_back(r.celltype);
    t_sample.push_back(r.sample);
    t_group.push_back(r.group);
    t_score.push_back(r.score);
  }
  Table per_sample;
  per_sample.add_column("feature", t_f)
      .add_column("celltype", t_ct)
      .add_column(args.test.sample_col, t_sample)
      .add_column(s.samples.group_col, t_group)
      .add_column("score", t_score);
  return box_result("per-sample interaction result", plotting::render_group_comparison_png(p),
                    comparison_table(stats.comparisons, s.samples.groups, "feature"), per_sample);
}

json run_box_cci(AnnData& adata, const BoxCciArgs& args, Warnings& warnings) {
  const CciSelection s = select_box_cci(adata, args, warnings);
  const BoxCciStats stats = compute_box_cci_stats(s, args.test.test, args.test.correction);
  return present_box_cci(s, stats, args);
}

const char* kBoxGeneDefinition = R"(Tool: plot_box_for_gene_expression_with_signif_difference
Box plots of per-sample mean expression of target genes (the mean over the cells of the
chosen cell type in each sample), one point per sample, compared across conditions. The
sample is the unit, which keeps pseudoreplication out; prefer it to the violin tool when
samples (patients) are to be compared. One panel per gene (and cell type when several).
- target_genes: gene symbols; obs_filter.celltypes: cell types EXACTLY as in DATA CONTEXT.
- test_cfg.group_by: "condition" or another obs column; test_cfg.sample_col: the sample
  column (default "sample"); test_cfg.test: "mannwhitneyu", "t-test_welch" or "kruskal";
  test_cfg.correction: "fdr_bh", "bonferroni" or "none". group_by must have one value per
  sample (a condition, not a per-cell label such as a cell-cycle phase).
- Few samples: with fewer than 4 samples in a group Mann-Whitney U can never reach
  p < 0.05 (3 vs 3 cannot go below 0.1); choose test_cfg.test "t-test_welch" (Welch's
  t-test on the per-sample values) then.
- gene_cfg.layer / gene_cfg.use_raw: another expression source (raw by default when present).
Returns the figure, the comparison table (gene, celltype, group1, group2, n1, n2 in samples,
statistic, pval, pval_adj, method) and the per-sample means.)";

const char* kBoxPopulationDefinition =
    R"(Tool: plot_box_for_celltype_population_with_signif_difference
Box plots of per-sample cell-type proportions (% of all cells of each sample), one point per
sample, compared across conditions with significance tests; one panel per cell type.
- obs_filter.celltype_col: the cell-type level; obs_filter.celltypes: the cell types to show
  (EXACTLY as in DATA CONTEXT), omit for all; obs_filter.conditions: only these conditions.
- parent_col: proportions among a parent level instead of all cells, e.g. "celltype_major"
  with celltype_col "celltype_minor" gives CD8 T cells among T cells.
- test_cfg: group_by, sample_col, test ("mannwhitneyu", "t-test_welch", "kruskal"),
  correction ("fdr_bh", "bonferroni", "none"). With fewer than 4 samples per group choose
  "t-test_welch" (Mann-Whitney U cannot reach p < 0.05 there).
Returns the figure, the comparison table (celltype, group1, group2, n1, n2, statistic, pval,
pval_adj, method) and the per-sample proportions. Use for "do macrophages expand in
metastasis?" when samples are to be compared.)";

const char* kBoxCciDefinition = R"(Tool: plot_box_for_cci_with_signif_difference
Box plots of per-sample interaction scores from uns['CCI_sample'] for ligand-receptor pairs
between source and target cell types, one point per sample, compared across conditions.
- feature_cfg.features: interacting pairs as in the CCI tables (e.g. "CD274_PDCD1"), or
  target_genes: pairs involving these genes; feature_cfg.sources / feature_cfg.targets: the
  sending / receiving cell types (omit for all). At most 12 panels, the strongest first.
- test_cfg: group_by, sample_col, test, correction as in the other box tools; with fewer
  than 4 samples per group choose test "t-test_welch".
Returns the figure, the comparison table (feature, celltype "source → target", group1,
group2, n1, n2, statistic, pval, pval_adj, method) and the per-sample scores.)";

}  // namespace

// ---- the box tools' statistics (comparison_steps.hpp) ----

BoxGeneStats compute_box_gene_stats(const ExpressionSelection& sel, const SampleGroups& sg,
                                    const std::string& test, const std::string& correction) {
  BoxGeneStats out;
  const size_t n_ct = sel.n_celltype_panels(), n_samples = sg.samples.categories.size();
  for (size_t gi = 0; gi < sel.genes.size(); ++gi) {
    std::vector<std::vector<double>> sum(n_ct, std::vector<double>(n_samples, 0.0));
    std::vector<std::vector<long long>> cnt(n_ct, std::vector<long long>(n_samples, 0));
    for (size_t i = 0; i < sel.celltypes.codes.size(); ++i) {
      const int32_t s = sg.samples.codes[i], k = sel.panel_of_cell(i);
      if (s < 0 || k < 0 || sg.group_of_sample[s] < 0) continue;
      sum[k][s] += sel.expression[gi][i];
      ++cnt[k][s];
    }
    for (size_t k = 0; k < n_ct; ++k) {
      PanelValues panel{sel.genes[gi], sel.panel_celltype(k),
                        std::vector<std::vector<double>>(sg.groups.size())};
      for (size_t s = 0; s < n_samples; ++s) {
        if (!cnt[k][s]) continue;  // no cells of the type: no mean to show
        const int32_t g = sg.group_of_sample[s];
        const double mean = sum[k][s] / static_cast<double>(cnt[k][s]);
        panel.values[g].push_back(mean);
        out.per_sample.push_back({sel.genes[gi], panel.celltype, sg.samples.categories[s],
                                  sg.groups[g], cnt[k][s], mean});
      }
      add_panel(out, std::move(panel), test);
    }
  }
  adjust_comparisons(out.comparisons, correction);
  return out;
}

BoxPopulationStats compute_box_population_stats(const PopulationSelection& sel,
                                                const std::string& test,
                                                const std::string& correction) {
  const SampleGroups& sg = sel.samples;
  const Categories& cts = sel.celltypes;
  const size_t n_samples = sg.samples.categories.size(), n_ct = cts.categories.size();
  std::vector<std::vector<long long>> cnt(n_samples, std::vector<long long>(n_ct, 0));
  std::vector<long long> total(n_samples, 0);
  for (size_t i = 0; i < cts.codes.size(); ++i) {
    const int32_t s = sg.samples.codes[i], c = cts.codes[i];
    if (s < 0 || sg.group_of_sample[s] < 0) continue;
    ++total[s];  // every cell of the sample counts, typed or not
    if (c >= 0) ++cnt[s][c];
  }
  std::vector<int32_t> shown = sel.shown;
  if (shown.empty())
    for (size_t c = 0; c < n_ct; ++c) {
      long long n = 0;
      for (size_t s = 0; s < n_samples; ++s) n += cnt[s][c];
      if (n > 0) shown.push_back(static_cast<int32_t>(c));
    }
  // Among a parent level: each type's share of the cells of its parent type (the parent
  // most of its cells have), e.g. CD8 T cells among T cells.
  std::vector<int32_t> parent_of(n_ct, -1);
  std::vector<std::vector<long long>> parent_total;
  if (sel.parent_col) {
    const Categories& parents = sel.parents;
    std::vector<std::map<int32_t, long long>> tally(n_ct);
    parent_total.assign(n_samples, std::vector<long long>(parents.categories.size(), 0));
    for (size_t i = 0; i < cts.codes.size(); ++i) {
      const int32_t s = sg.samples.codes[i], c = cts.codes[i], q = parents.codes[i];
      if (q < 0) continue;
      if (c >= 0) ++tally[c][q];
      if (s >= 0 && sg.group_of_sample[s] >= 0) ++parent_total[s][q];
    }
    for (size_t c = 0; c < n_ct; ++c) {
      long long best = 0;
      for (auto& [q, n] : tally[c])
        if (n > best) best = n, parent_of[c] = q;
    }
  }
  auto denominator = [&](size_t s, int32_t c) -> long long {
    if (!sel.parent_col) return total[s];
    return parent_of[c] < 0 ? 0 : parent_total[s][parent_of[c]];
  };
  if (shown.size() > kMaxPanels)
    throw ValueError(std::to_string(shown.size()) + " cell types in " + sel.celltype_col +
                     "; at most " + std::to_string(kMaxPanels) +
                     " fit one figure: choose some with obs_filter.celltypes");

  BoxPopulationStats out;
  for (int32_t c : shown) {
    PanelValues panel{cts.categories[c], "", std::vector<std::vector<double>>(sg.groups.size())};
    for (size_t s = 0; s < n_samples; ++s) {
      const long long denom = denominator(s, c);
      if (!denom) continue;  // no cells of the parent in this sample: no share to show
      const int32_t g = sg.group_of_sample[s];
      const double share = 100.0 * cnt[s][c] / static_cast<double>(denom);
      panel.values[g].push_back(share);
      out.per_sample.push_back(
          {cts.categories[c], sg.samples.categories[s], sg.groups[g], cnt[s][c], denom, share});
    }
    add_panel(out, std::move(panel), test);
    out.panel_parents.push_back(
        sel.parent_col && parent_of[c] >= 0
            ? std::optional<std::string>(sel.parents.categories[parent_of[c]])
            : std::nullopt);
  }
  adjust_comparisons(out.comparisons, correction);
  return out;
}

bool CciSelection::chosen(const CciKey& k) const {
  return pairs.count(k.pair) && (sources.empty() || sources.count(k.source)) &&
         (targets.empty() || targets.count(k.target));
}

BoxCciStats compute_box_cci_stats(const CciSelection& sel, const std::string& test,
                                  const std::string& correction) {
  const SampleGroups& sg = sel.samples;
  struct Candidate {
    const CciKey* key;
    const std::map<size_t, double>* by_sample;
    std::vector<std::vector<double>> values;
    double mean = 0;
  };
  std::vector<Candidate> cands;
  for (auto& [k, by_sample] : sel.scores) {
    if (!sel.chosen(k)) continue;
    Candidate c{&k, &by_sample, std::vector<std::vector<double>>(sg.groups.size()), 0};
    for (size_t s : sel.used_samples) {
      auto it = by_sample.find(s);
      const double v = it == by_sample.end() ? 0.0 : it->second;
      c.values[sg.group_of_sample[s]].push_back(v);
      c.mean += v / static_cast<double>(sel.used_samples.size());
    }
    cands.push_back(std::move(c));
  }
  if (cands.empty())
    throw ValueError(
        "None of the chosen pairs occurs between the chosen source and target "
        "cell types");
  BoxCciStats out;
  out.n_candidates = cands.size();
  if (cands.size() > kMaxCciPanels) {
    std::stable_sort(cands.begin(), cands.end(), [](auto& a, auto& b) { return a.mean > b.mean; });
    cands.resize(kMaxCciPanels);
  }
  for (auto& c : cands) {
    const std::string between = c.key->source + " → " + c.key->target;
    for (size_t s : sel.used_samples) {
      auto it = c.by_sample->find(s);
      out.per_sample.push_back({c.key->pair, between, sg.samples.categories[s],
                                sg.groups[sg.group_of_sample[s]],
                                it == c.by_sample->end() ? 0.0 : it->second});
    }
    add_panel(out, {c.key->pair, between, std::move(c.values)}, test);
  }
  adjust_comparisons(out.comparisons, correction);
  return out;
}

void register_box_plots() {
  register_builtin_tool("plot_box_for_gene_expression_with_signif_difference", kBoxGeneDefinition,
                        ToolParams<BoxGeneArgs>({
                            target_genes_param(&BoxGeneArgs::target_genes, kGenes),
                            record(&BoxGeneArgs::test, "test_cfg", signif_test_params()),
                            record(&BoxGeneArgs::genes, "gene_cfg", feature_select_params()),
                            record(&BoxGeneArgs::style, "style", box_plot_style_params()),
                            record(&BoxGeneArgs::obs_filter, "obs_filter", obs_filter_params()),
                        }),
                        run_box_gene);
  register_builtin_tool("plot_box_for_cci_with_signif_difference", kBoxCciDefinition,
                        ToolParams<BoxCciArgs>({
                            target_genes_param(&BoxCciArgs::target_genes, kGenes),
                            record(&BoxCciArgs::test, "test_cfg", signif_test_params()),
                            record(&BoxCciArgs::features, "feature_cfg", feature_select_params()),
                            record(&BoxCciArgs::style, "style", box_plot_style_params()),
                        }),
                        run_box_cci);
  register_builtin_tool(
      "plot_box_for_celltype_population_with_signif_difference", kBoxPopulationDefinition,
      ToolParams<BoxPopulationArgs>({
          param(&BoxPopulationArgs::parent_col, "parent_col", nullptr,
                "Proportions among the cells of each type's parent in this obs column (e.g. "
                "\"celltype_major\" for celltype_minor types); omit for shares of all cells."),
          record(&BoxPopulationArgs::test, "test_cfg", signif_test_params()),
          record(&BoxPopulationArgs::style, "style", box_plot_style_params()),
          record(&BoxPopulationArgs::obs_filter, "obs_filter", obs_filter_params()),
      }),
      run_box_population);
}

}  // namespace norvex::detail
