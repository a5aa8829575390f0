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
#include <map>
#include <set>

#include "norvex/analysis_tools/comparisons.hpp"
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"
#include "norvex/host/host.hpp"

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
constexpr size_t kMaxCciPanels = 12;  // the strongest interactions when more qualify
const char* kUnitNote =
    "Unit: sample. Testing samples rather than cells keeps pseudoreplication out.";

// Samples and the group each belongs to (the group most of its cells have), over the cells
// `keep` admits; groups in the order asked for, else in category order.
struct SampleGroups {
  Categories samples;
  std::vector<int32_t> group_of_sample;  // -1: sample not used
  std::vector<std::string> groups;
  std::string group_col;
};

SampleGroups sample_groups(const AnnData& adata, const SignifTestConfig& test,
                           const std::string& condition_col,
                           const std::optional<TextList>& conditions) {
  SampleGroups sg;
  sg.group_col = group_column(adata, test.group_by, condition_col);
  if (!adata.obs.has(test.sample_col)) {
    const auto close = close_choices(test.sample_col, adata.obs.columns());
    throw KeyError("'" + test.sample_col + "' is not an obs column (test_cfg.sample_col names " +
                   "the samples). " +
                   (close.empty() ? "" : "Close obs columns: " + join_limited(close) + ". ") +
                   "Obs columns: " + join_limited(adata.obs.columns()));
  }
  if (sg.group_col == test.sample_col)
    throw ValueError(
        "test_cfg.group_by is the sample column itself: samples are the unit "
        "compared, so group them by a condition-like column");
  sg.samples = obs_categories(adata, test.sample_col);
  const Categories grp = obs_categories(adata, sg.group_col);
  std::vector<int32_t> order_of(grp.categories.size(), -1);
  std::vector<std::string> wanted;
  if (conditions && sg.group_col == condition_col)
    wanted = match_values(*conditions, grp.categories, sg.group_col + " value(s)");
  std::vector<std::map<int32_t, long long>> tally(sg.samples.categories.size());
  for (size_t i = 0; i < grp.codes.size(); ++i)
    if (sg.samples.codes[i] >= 0 && grp.codes[i] >= 0) ++tally[sg.samples.codes[i]][grp.codes[i]];
  std::vector<int32_t> major(tally.size(), -1);
  std::set<int32_t> present;
  for (size_t s = 0; s < tally.size(); ++s) {
    long long best = 0;
    for (auto& [g, n] : tally[s])
      if (n > best) best = n, major[s] = g;
    if (major[s] >= 0) present.insert(major[s]);
  }
  if (!wanted.empty()) {
    for (auto& w : wanted) {
      const int32_t code = grp.find(w);
      if (order_of[code] < 0) {
        order_of[code] = static_cast<int32_t>(sg.groups.size());
        sg.groups.push_back(w);
      }
    }
  } else {
    for (int32_t g : present) {
      order_of[g] = static_cast<int32_t>(sg.groups.size());
      sg.groups.push_back(grp.categories[g]);
    }
  }
  sg.group_of_sample.assign(tally.size(), -1);
  for (size_t s = 0; s < tally.size(); ++s)
    if (major[s] >= 0) sg.group_of_sample[s] = order_of[major[s]];
  if (sg.groups.empty()) throw ValueError("No samples belong to the requested groups");
  return sg;
}

void size_figure(plotting::GroupComparisonPlot& p, const BoxPlotStyle& style) {
  const size_t ncols = std::max<size_t>(1, std::min<size_t>(p.panels.size(), 4));
  const size_t nrows = std::max<size_t>(1, (p.panels.size() + ncols - 1) / ncols);
  const double panel_w = std::max(2.0, 0.6 * p.groups.size() + 0.9);
  p.size.width_in = std::clamp(std::max(style.width, ncols * panel_w + 0.6), 3.0, 30.0);
  p.size.height_in =
      std::clamp(std::max(style.height, nrows * (3.3 + extra_panel_height_in(p)) + 1.3), 3.0, 30.0);
  p.show_points = style.show_points;
  for (size_t g = 0; g < p.groups.size(); ++g)
    p.group_colors.push_back(category_color(p.groups[g], g));
}

json box_result(const std::string& data, const std::string& png, const Table& comparisons,
                const Table& per_sample, bool show) {
  show_images(show, {png});
  json result = json::object();
  result["data"] = data;
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] =
      json{{"comparisons", comparisons.to_json()}, {"per_sample", per_sample.to_json()}};
  return result;
}

// ---- per-sample mean expression ----

json run_box_gene(AnnData& adata, const BoxGeneArgs& args, bool show) {
  const ObsFilter& f = args.obs_filter;
  canonical_test_name(args.test.test);
  adjust_pvalues({}, args.test.correction);
  TextList requested;
  for (const auto* list : {&args.target_genes, &args.genes.features})
    if (*list) requested.insert(requested.end(), (*list)->begin(), (*list)->end());
  if (requested.empty())
    throw ValueError("No genes given: set target_genes to the gene symbols to compare");
  const ExpressionSource src = expression_source(adata, args.genes.layer, args.genes.use_raw);
  const std::vector<std::string> genes = resolve_genes(requested, source_gene_names(adata, src),
                                                       src.raw ? "raw var names" : "var names");
  const SampleGroups sg = sample_groups(adata, args.test, f.condition_col, f.conditions);
  const Categories cts = obs_categories(adata, f.celltype_col);
  std::vector<int32_t> ct_sel;
  if (f.celltypes)
    for (auto& m : match_values(*f.celltypes, cts.categories, f.celltype_col + " value(s)"))
      if (std::find(ct_sel.begin(), ct_sel.end(), cts.find(m)) == ct_sel.end())
        ct_sel.push_back(cts.find(m));
  const size_t n_ct = ct_sel.empty() ? 1 : ct_sel.size();
  if (genes.size() * n_ct > kMaxPanels)
    throw ValueError(std::to_string(genes.size() * n_ct) + " panels (genes x cell types); at " +
                     "most " + std::to_string(kMaxPanels) + " fit one figure");
  std::vector<int32_t> panel_of_ct(cts.categories.size(), ct_sel.empty() ? 0 : -1);
  for (size_t k = 0; k < ct_sel.size(); ++k) panel_of_ct[ct_sel[k]] = static_cast<int32_t>(k);

  const auto expr = source_expression(adata, src, genes);
  const size_t n_samples = sg.samples.categories.size();
  plotting::GroupComparisonPlot p;
  p.kind = plotting::GroupComparisonPlot::Kind::Box;
  p.groups = sg.groups;
  std::vector<Comparison> cmp;
  json t_gene = json::array(), t_ct = json::array(), t_sample = json::array(),
       t_group = json::array(), t_n = json::array(), t_mean = json::array();
  for (size_t gi = 0; gi < genes.size(); ++gi) {
    std::vector<std::vector<double>> sum(n_ct, std::vector<double>(n_samples, 0.0));
    std::vector<std::vector<long long>> cnt(n_ct, std::vector<long long>(n_samples, 0));
    for (size_t i = 0; i < adata.n_obs(); ++i) {
      const int32_t s = sg.samples.codes[i], c = cts.codes[i];
      if (s < 0 || c < 0 || sg.group_of_sample[s] < 0 || panel_of_ct[c] < 0) continue;
      sum[panel_of_ct[c]][s] += expr[gi][i];
      ++cnt[panel_of_ct[c]][s];
    }
    for (size_t k = 0; k < n_ct; ++k) {
      const std::string ct = ct_sel.empty() ? "all cells" : cts.categories[ct_sel[k]];
      plotting::GroupPanel gp;
      gp.values.assign(sg.groups.size(), {});
      for (size_t s = 0; s < n_samples; ++s) {
        if (!cnt[k][s]) continue;  // no cells of the type: no mean to show
        const int32_t g = sg.group_of_sample[s];
        const double mean = sum[k][s] / static_cast<double>(cnt[k][s]);
        gp.values[g].push_back(mean);
        t_gene.push_back(genes[gi]);
        t_ct.push_back(ct);
        t_sample.push_back(sg.samples.categories[s]);
        t_group.push_back(sg.groups[g]);
        t_n.push_back(cnt[k][s]);
        t_mean.push_back(mean);
      }
      compare_groups(cmp, p.panels.size(), genes[gi], ct, gp.values, args.test.test);
      gp.title = genes.size() > 1 || n_ct > 1 ? genes[gi] + " · " + ct : genes[gi];
      p.panels.push_back(std::move(gp));
    }
  }
  adjust_comparisons(cmp, args.test.correction);
  bool thinned = false;
  for (size_t k = 0; k < p.panels.size(); ++k)
    p.panels[k].brackets = panel_brackets(cmp, k, &thinned);
  size_figure(p, args.style);
  p.title = args.style.title.value_or(
      (genes.size() == 1 ? genes[0] : join_limited(genes, 4)) + " per-sample mean expression" +
      (ct_sel.size() == 1 ? " in " + cts.categories[ct_sel[0]] : "") + " by " + sg.group_col);
  p.subtitle = std::string(kUnitNote) + " Expression from " + src.label + ".";
  p.y_label = "Mean expression per sample";
  p.footnote =
      "Point: one sample (mean over its cells of the type); box: quartiles, whiskers "
      "1.5 IQR.\n" +
      stars_note(args.test.test, args.test.correction) +
      (thinned ? std::string("\n") + kThinnedNote : std::string());
  Table per_sample;
  per_sample.add_column("gene", t_gene)
      .add_column("celltype", t_ct)
      .add_column(args.test.sample_col, t_sample)
      .add_column(sg.group_col, t_group)
      .add_column("n_cells", t_n)
      .add_column("mean_expression", t_mean);
  return box_result("per-sample gene expression comparison",
                    plotting::render_group_comparison_png(p),
                    comparison_table(cmp, sg.groups, "gene"), per_sample, show);
}

// ---- per-sample cell-type proportions ----

json run_box_population(AnnData& adata, const BoxPopulationArgs& args, bool show) {
  const ObsFilter& f = args.obs_filter;
  canonical_test_name(args.test.test);
  adjust_pvalues({}, args.test.correction);
  const SampleGroups sg = sample_groups(adata, args.test, f.condition_col, f.conditions);
  const Categories cts = obs_categories(adata, f.celltype_col);
  std::vector<int32_t> shown;
  if (f.celltypes) {
    for (auto& m : match_values(*f.celltypes, cts.categories, f.celltype_col + " value(s)"))
      if (std::find(shown.begin(), shown.end(), cts.find(m)) == shown.end())
        shown.push_back(cts.find(m));
  }
  const size_t n_samples = sg.samples.categories.size(), n_ct = cts.categories.size();
  std::vector<std::vector<long long>> cnt(n_samples, std::vector<long long>(n_ct, 0));
  std::vector<long long> total(n_samples, 0);
  for (size_t i = 0; i < cts.codes.size(); ++i) {
    const int32_t s = sg.samples.codes[i], c = cts.codes[i];
    if (s < 0 || sg.group_of_sample[s] < 0) continue;
    ++total[s];  // every cell of the sample counts, typed or not
    if (c >= 0) ++cnt[s][c];
  }
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
  Categories parents;
  if (args.parent_col) {
    parents = obs_categories(adata, *args.parent_col);
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
    if (!args.parent_col) return total[s];
    return parent_of[c] < 0 ? 0 : parent_total[s][parent_of[c]];
  };
  if (shown.size() > kMaxPanels)
    throw ValueError(std::to_string(shown.size()) + " cell types in " + f.celltype_col +
                     "; at most " + std::to_string(kMaxPanels) +
                     " fit one figure: choose some with obs_filter.celltypes");

  plotting::GroupComparisonPlot p;
  p.kind = plotting::GroupComparisonPlot::Kind::Box;
  p.groups = sg.groups;
  std::vector<Comparison> cmp;
  json t_ct = json::array(), t_sample = json::array(), t_group = json::array(), t_n = json::array(),
       t_total = json::array(), t_prop = json::array();
  for (int32_t c : shown) {
    plotting::GroupPanel gp;
    gp.values.assign(sg.groups.size(), {});
    for (size_t s = 0; s < n_samples; ++s) {
      const long long denom = denominator(s, c);
      if (!denom) continue;  // no cells of the parent in this sample: no share to show
      const int32_t g = sg.group_of_sample[s];
      const double share = 100.0 * cnt[s][c] / static_cast<double>(denom);
      gp.values[g].push_back(share);
      t_ct.push_back(cts.categories[c]);
      t_sample.push_back(sg.samples.categories[s]);
      t_group.push_back(sg.groups[g]);
      t_n.push_back(cnt[s][c]);
      t_total.push_back(denom);
      t_prop.push_back(share);
    }
    compare_groups(cmp, p.panels.size(), cts.categories[c], "", gp.values, args.test.test);
    gp.title = cts.categories[c];
    if (args.parent_col && parent_of[c] >= 0)
      gp.title += "\nof " + parents.categories[parent_of[c]];
    p.panels.push_back(std::move(gp));
  }
  adjust_comparisons(cmp, args.test.correction);
  bool thinned = false;
  for (size_t k = 0; k < p.panels.size(); ++k)
    p.panels[k].brackets = panel_brackets(cmp, k, &thinned);
  size_figure(p, args.style);
  p.title = args.style.title.value_or("Cell-type proportions per sample by " + sg.group_col);
  p.subtitle = std::string(kUnitNote) +
               (args.parent_col ? " Share of the cells of the parent type (" + *args.parent_col +
                                      ") in each sample."
                                : " Share of all cells of each sample (" + f.celltype_col + ").");
  p.y_label = args.parent_col ? "Cells of the type (% of the parent type)"
                              : "Cells of the type (% of the sample)";
  p.footnote = "Point: one sample; box: quartiles, whiskers 1.5 IQR.\n" +
               stars_note(args.test.test, args.test.correction) +
               (thinned ? std::string("\n") + kThinnedNote : std::string());
  Table per_sample;
  per_sample.add_column("celltype", t_ct)
      .add_column(args.test.sample_col, t_sample)
      .add_column(sg.group_col, t_group)
      .add_column("n_cells", t_n)
      .add_column(args.parent_col ? "parent_total" : "sample_total", t_total)
      .add_column("percent", t_prop);
  return box_result("per-sample cell-type population comparison",
                    plotting::render_group_comparison_png(p),
                    comparison_table(cmp, sg.groups, "celltype", false), per_sample, show);
}

// ---- per-sample interaction scores ----

// A column of a CCI table as text or numbers; KeyError naming the table's columns.
const Column& cci_column(const DataFrame& t, const std::string& name, const std::string& where) {
  if (!t.has(name))
    throw KeyError("uns['CCI_sample']['" + where + "'] has no column '" + name +
                   "'. Its columns: " + join_limited(t.columns()));
  return t.col(name);
}

json run_box_cci(AnnData& adata, const BoxCciArgs& args, bool show) {
  canonical_test_name(args.test.test);
  adjust_pvalues({}, args.test.correction);
  if (!adata.uns.contains("CCI_sample") || !adata.uns.at("CCI_sample").is_dict())
    throw KeyError("The dataset has no per-sample interaction results (uns['CCI_sample'])");
  const UnsDict& per = adata.uns.at("CCI_sample").dict();
  const SampleGroups sg = sample_groups(adata, args.test, "condition", std::nullopt);

  // (pair, source, target) -> sample -> score.
  struct Key {
    std::string pair, source, target;
    bool operator<(const Key& o) const {
      return std::tie(pair, source, target) < std::tie(o.pair, o.source, o.target);
    }
  };
  std::map<Key, std::map<size_t, double>> scores;
  std::map<std::string, std::pair<std::string, std::string>> pair_genes;
  std::vector<std::string> unknown_samples;
  std::set<size_t> used_samples;
  for (const auto& sample : per.keys()) {
    if (!per.at(sample).is_table()) continue;
    const int32_t s = sg.samples.find(sample);
    if (s < 0 || sg.group_of_sample[s] < 0) {
      if (s < 0) unknown_samples.push_back("'" + sample + "'");
      continue;
    }
    used_samples.insert(static_cast<size_t>(s));
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
      scores[{pair, sc.text_at(r), tc.text_at(r)}][static_cast<size_t>(s)] = v.get<double>();
      if (ga && gb) pair_genes[pair] = {ga->text_at(r), gb->text_at(r)};
    }
  }
  if (!unknown_samples.empty())
    current_host().print("⚠️ WARNING: uns['CCI_sample'] entries that are not samples of obs['" +
                         args.test.sample_col + "'], left out: " + join_limited(unknown_samples));
  if (scores.empty()) throw ValueError("uns['CCI_sample'] holds no interaction scores");

  std::vector<std::string> all_pairs, all_types;
  for (auto& [k, v] : scores) {
    all_pairs.push_back(k.pair);
    all_types.push_back(k.source);
    all_types.push_back(k.target);
  }
  std::sort(all_pairs.begin(), all_pairs.end());
  all_pairs.erase(std::unique(all_pairs.begin(), all_pairs.end()), all_pairs.end());
  std::sort(all_types.begin(), all_types.end());
  all_types.erase(std::unique(all_types.begin(), all_types.end()), all_types.end());

  auto pick = [](const std::optional<TextList>& want, const std::vector<std::string>& from,
                 const std::string& what) {
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
  };
  const std::set<std::string> src_ok = pick(args.features.sources, all_types, "source cell type");
  const std::set<std::string> dst_ok = pick(args.features.targets, all_types, "target cell type");
  std::set<std::string> pair_ok = pick(args.features.features, all_pairs, "ligand-receptor pair");
  if (args.target_genes) {
    std::vector<std::string> missing;
    for (auto& g : *args.target_genes) {
      bool any = false;
      for (auto& [pair, ab] : pair_genes)
        if (ascii_lower(ab.first) == ascii_lower(g) || ascii_lower(ab.second) == ascii_lower(g))
          pair_ok.insert(pair), any = true;
      if (!any) missing.push_back("'" + g + "'");
    }
    if (!missing.empty() && pair_ok.empty())
      throw ValueError("No ligand-receptor pair in uns['CCI_sample'] involves " +
                       join_limited(missing) + ". Pairs: " + join_limited(all_pairs));
    if (!missing.empty())
      current_host().print("⚠️ WARNING: No ligand-receptor pair involves " +
                           join_limited(missing) + "; left out");
  }
  if (pair_ok.empty())
    throw ValueError(
        "Choose ligand-receptor pairs (feature_cfg.features) or genes "
        "(target_genes). Pairs: " +
        join_limited(all_pairs));

  // Candidates; a pair absent from a sample's table was not detected there: score 0.
  struct Candidate {
    Key key;
    std::vector<std::vector<double>> values;
    double mean = 0;
  };
  std::vector<Candidate> cands;
  for (auto& [k, by_sample] : scores) {
    if (!pair_ok.count(k.pair) || (!src_ok.empty() && !src_ok.count(k.source)) ||
        (!dst_ok.empty() && !dst_ok.count(k.target)))
      continue;
    Candidate c{k, std::vector<std::vector<double>>(sg.groups.size()), 0};
    for (size_t s : used_samples) {
      auto it = by_sample.find(s);
      const double v = it == by_sample.end() ? 0.0 : it->second;
      c.values[sg.group_of_sample[s]].push_back(v);
      c.mean += v / static_cast<double>(used_samples.size());
    }
    cands.push_back(std::move(c));
  }
  if (cands.empty())
    throw ValueError(
        "None of the chosen pairs occurs between the chosen source and target "
        "cell types");
  const size_t n_all = cands.size();
  if (cands.size() > kMaxCciPanels) {
    std::stable_sort(cands.begin(), cands.end(), [](auto& a, auto& b) { return a.mean > b.mean; });
    cands.resize(kMaxCciPanels);
  }

  plotting::GroupComparisonPlot p;
  p.kind = plotting::GroupComparisonPlot::Kind::Box;
  p.groups = sg.groups;
  std::vector<Comparison> cmp;
  json t_f = json::array(), t_ct = json::array(), t_sample = json::array(), t_group = json::array(),
       t_score = json::array();
  for (auto& c : cands) {
    const std::string between = c.key.source + " → " + c.key.target;
    for (size_t s : used_samples) {
      auto it = scores[c.key].find(s);
      t_f.push_back(c.key.pair);
      t_ct.push_back(between);
      t_sample.push_back(sg.samples.categories[s]);
      t_group.push_back(sg.groups[sg.group_of_sample[s]]);
      t_score.push_back(it == scores[c.key].end() ? 0.0 : it->second);
    }
    compare_groups(cmp, p.panels.size(), c.key.pair, between, c.values, args.test.test);
    plotting::GroupPanel gp;
    gp.title = c.key.pair + "\n" + between;
    gp.values = std::move(c.values);
    p.panels.push_back(std::move(gp));
  }
  adjust_comparisons(cmp, args.test.correction);
  bool thinned = false;
  for (size_t k = 0; k < p.panels.size(); ++k)
    p.panels[k].brackets = panel_brackets(cmp, k, &thinned);
  size_figure(p, args.style);
  p.title = args.style.title.value_or("Interaction scores per sample by " + sg.group_col);
  p.subtitle = std::string(kUnitNote) + (n_all > cands.size()
                                             ? " Top " + std::to_string(cands.size()) + " of " +
                                                   std::to_string(n_all) + " by mean score."
                                             : "");
  p.y_label = "Interaction score (CCI_sample mean)";
  p.footnote =
      "Point: one sample; a pair not detected in a sample counts as 0. Box: "
      "quartiles, whiskers 1.5 IQR.\n" +
      stars_note(args.test.test, args.test.correction) +
      (thinned ? std::string("\n") + kThinnedNote : std::string());
  Table per_sample;
  per_sample.add_column("feature", t_f)
      .add_column("celltype", t_ct)
      .add_column(args.test.sample_col, t_sample)
      .add_column(sg.group_col, t_group)
      .add_column("score", t_score);
  return box_result("per-sample interaction comparison", plotting::render_group_comparison_png(p),
                    comparison_table(cmp, sg.groups, "feature"), per_sample, show);
}

const char* kBoxGeneDefinition = R"(Tool: plot_box_for_gene_expression_with_signif_difference
Box plots of per-sample mean expression of target genes (the mean over the cells of the
chosen cell type in each sample), one point per sample, compared across conditions. The
sample is the unit, which keeps pseudoreplication out; prefer it to the violin tool when
samples (patients) are to be compared. One panel per gene (and cell type when several).
- target_genes: gene symbols; obs_filter.celltypes: cell types EXACTLY as in DATA CONTEXT.
- test_cfg.group_by: "condition" or another obs column; test_cfg.sample_col: the sample
  column (default "sample"); test_cfg.test: "mannwhitneyu", "t-test_welch" or "kruskal";
  test_cfg.correction: "fdr_bh", "bonferroni" or "none".
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
  correction ("fdr_bh", "bonferroni", "none").
Returns the figure, the comparison table (celltype, group1, group2, n1, n2, statistic, pval,
pval_adj, method) and the per-sample proportions. Use for "do macrophages expand in
metastasis?" when samples are to be compared.)";

const char* kBoxCciDefinition = R"(Tool: plot_box_for_cci_with_signif_difference
Box plots of per-sample interaction scores from uns['CCI_sample'] for ligand-receptor pairs
between source and target cell types, one point per sample, compared across conditions.
- feature_cfg.features: interacting pairs as in the CCI tables (e.g. "CD274_PDCD1"), or
  target_genes: pairs involving these genes; feature_cfg.sources / feature_cfg.targets: the
  sending / receiving cell types (omit for all). At most 12 panels, the strongest first.
- test_cfg: group_by, sample_col, test, correction as in the other box tools.
Returns the figure, the comparison table (feature, celltype "source → target", group1,
group2, n1, n2, statistic, pval, pval_adj, method) and the per-sample scores.)";

}  // namespace

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
