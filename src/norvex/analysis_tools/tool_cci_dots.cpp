// plot_cci_dots: ligand-receptor pairs between chosen source and target cell types from the
// precomputed cell-cell interaction results, as a dot grid (one condition, or several side by
// side).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <set>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/precomputed_results.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/plotting/result_plots.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";

// ---- plot_cci_dots ----
struct CCIComputeConfig {
  std::string cci_key;
  std::optional<std::string> condition;
  std::optional<TextList> conditions;
  std::optional<TextList> source_celltypes;
  std::optional<TextList> target_celltypes;
  long long n_top;
  double pval_cutoff;
};
struct CCIDotPlotConfig {
  std::optional<std::string> title;
  double width;
  std::optional<double> height;
};
struct CciDotsArgs {
  std::optional<TextList> target_genes;
  CCIComputeConfig compute;
  CCIDotPlotConfig plot;
};

// Permutation p-values of 0 mean "below the resolution"; sizes stop at 1e-3.
constexpr double kMinP = 1e-3;

double significance(double p) {
  return std::isfinite(p) ? -std::log10(std::max(p, kMinP)) : 0.0;
}

std::vector<std::string> gene_tokens(const InteractionResult& r, size_t i) {
  std::vector<std::string> out = {ascii_lower(r.ligand[i]), ascii_lower(r.receptor[i])};
  // Complex names ("integrin_a4b1_complex") and pairs ("SPP1_CD44") hold gene symbols too.
  std::string cur;
  for (char ch : r.pair[i] + "_") {
    if (ch == '_' || ch == ':' || ch == '|') {
      if (!cur.empty()) out.push_back(ascii_lower(cur));
      cur.clear();
    } else {
      cur += ch;
    }
  }
  return out;
}

std::vector<std::string> distinct_of(const std::vector<InteractionResult>& rs,
                                     std::vector<std::string> InteractionResult::*field) {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& r : rs)
    for (const auto& v : r.*field)
      if (seen.insert(v).second) out.push_back(v);
  return out;
}

json run_plot_cci_dots(AnnData& adata, const CciDotsArgs& args, bool show) {
  const CCIComputeConfig& cfg = args.compute;
  const std::vector<std::string> available = interaction_conditions(adata, cfg.cci_key);
  const std::string top = "uns['" + cfg.cci_key + "']";
  std::vector<std::string> conditions;
  if (cfg.conditions)
    conditions = match_values(*cfg.conditions, available, "condition in " + top);
  else if (cfg.condition)
    conditions = match_values({*cfg.condition}, available, "condition in " + top);
  else if (!available.empty())
    conditions = {available.front()};
  if (conditions.empty()) throw ValueError(top + " holds no interaction tables");

  std::vector<InteractionResult> results;
  for (const auto& c : conditions) results.push_back(read_interactions(adata, cfg.cci_key, c));

  const std::vector<std::string> sources_all = distinct_of(results, &InteractionResult::source);
  const std::vector<std::string> targets_all = distinct_of(results, &InteractionResult::target);
  std::optional<std::set<std::string>> src_keep, dst_keep;
  if (cfg.source_celltypes) {
    auto v = match_values(*cfg.source_celltypes, sources_all, "source cell type in " + top);
    src_keep.emplace(v.begin(), v.end());
  }
  if (cfg.target_celltypes) {
    auto v = match_values(*cfg.target_celltypes, targets_all, "target cell type in " + top);
    dst_keep.emplace(v.begin(), v.end());
  }
  std::set<std::string> genes_wanted;
  std::vector<std::string> genes_missing;
  if (args.target_genes) {
    std::set<std::string> present;
    for (const auto& r : results)
      for (size_t i = 0; i < r.pair.size(); ++i)
        for (auto& t : gene_tokens(r, i)) present.insert(t);
    for (const auto& g : *args.target_genes) {
      if (present.count(ascii_lower(g)))
        genes_wanted.insert(ascii_lower(g));
      else
        genes_missing.push_back("'" + g + "'");
    }
    if (genes_wanted.empty()) {
      std::vector<std::string> examples = distinct_of(results, &InteractionResult::ligand);
      if (examples.size() > 12) examples.resize(12);
      throw ValueError("None of the requested genes (" + join_limited(*args.target_genes, 10) +
                       ") takes part in a ligand-receptor pair of " + top +
                       ". Genes there include: " + join_limited(examples));
    }
  }
  const bool have_p = std::any_of(results.begin(), results.end(), [](const InteractionResult& r) {
    return !r.pvalue_column.empty();
  });

  // Candidate dots: every row passing the cell-type and gene filters.
  struct Hit {
    size_t cond, row;
  };
  std::vector<Hit> hits;
  for (size_t c = 0; c < results.size(); ++c) {
    const InteractionResult& r = results[c];
    for (size_t i = 0; i < r.pair.size(); ++i) {
      if (src_keep && !src_keep->count(r.source[i])) continue;
      if (dst_keep && !dst_keep->count(r.target[i])) continue;
      if (!genes_wanted.empty()) {
        bool any = false;
        for (auto& t : gene_tokens(r, i)) any |= genes_wanted.count(t) > 0;
        if (!any) continue;
      }
      hits.push_back({c, i});
    }
  }
  auto significant = [&](const Hit& h) {
    const double p = results[h.cond].pvalue[h.row];
    return !have_p || (std::isfinite(p) && p < cfg.pval_cutoff);
  };
  auto score = [&](const Hit& h) {
    const double s = results[h.cond].score[h.row];
    return std::isfinite(s) ? s : 0.0;
  };
  // Pairs ranked by their strongest significant interaction; the top n_top are drawn.
  std::map<std::string, double> pair_best;
  std::map<std::string, double> column_best;
  auto column_of = [&](const Hit& h) {
    return results[h.cond].source[h.row] + " → " + results[h.cond].target[h.row];
  };
  for (const Hit& h : hits) {
    if (!significant(h)) continue;
    const std::string& p = results[h.cond].pair[h.row];
    pair_best[p] = std::max(pair_best.count(p) ? pair_best[p] : -INFINITY, score(h));
  }
  std::vector<std::string> pairs;
  for (auto& [p, s] : pair_best) pairs.push_back(p);
  std::stable_sort(pairs.begin(), pairs.end(), [&](const std::string& a, const std::string& b) {
    return pair_best[a] > pair_best[b];
  });
  if (static_cast<long long>(pairs.size()) > cfg.n_top) pairs.resize(cfg.n_top);
  const std::set<std::string> pair_set(pairs.begin(), pairs.end());
  // Columns: source → target combinations with a significant chosen pair. Each pair's
  // strongest combination is always shown (so no chosen pair is left without a dot); the
  // others, strongest first, up to 24 columns (a wider grid stops being readable).
  std::map<std::string, std::pair<double, std::string>> pair_best_column;
  for (const Hit& h : hits) {
    if (!significant(h) || !pair_set.count(results[h.cond].pair[h.row])) continue;
    const std::string col = column_of(h);
    column_best[col] = std::max(column_best.count(col) ? column_best[col] : -INFINITY, score(h));
    auto& best = pair_best_column[results[h.cond].pair[h.row]];
    if (best.second.empty() || score(h) > best.first) best = {score(h), col};
  }
  std::set<std::string> combo_set;
  for (auto& [p, best] : pair_best_column) combo_set.insert(best.second);
  std::vector<std::string> by_strength;
  for (auto& [k, s] : column_best) by_strength.push_back(k);
  std::stable_sort(
      by_strength.begin(), by_strength.end(),
      [&](const std::string& a, const std::string& b) { return column_best[a] > column_best[b]; });
  for (const std::string& k : by_strength)
    if (combo_set.size() < 24) combo_set.insert(k);
  // In name order, so a source's targets sit together.
  const std::vector<std::string> combos(combo_set.begin(), combo_set.end());

  plotting::DotGridPlot g;
  g.rows = pairs;
  const bool several = results.size() > 1;
  std::map<std::pair<size_t, std::string>, size_t> col_index;
  for (size_t c = 0; c < results.size(); ++c)
    for (const auto& k : combos) {
      col_index[{c, k}] = g.columns.size();
      g.columns.push_back(k);
      if (several) g.column_groups.push_back(conditions[c]);
    }
  std::map<std::string, size_t> row_index;
  for (size_t i = 0; i < pairs.size(); ++i) row_index[pairs[i]] = i;
  struct Drawn {
    size_t row, col;
    Hit hit;
  };
  std::vector<Drawn> drawn;
  double smin = INFINITY, smax = -INFINITY;
  for (const Hit& h : hits) {
    const std::string& p = results[h.cond].pair[h.row];
    if (!row_index.count(p) || !combo_set.count(column_of(h))) continue;
    drawn.push_back({row_index[p], col_index[{h.cond, column_of(h)}], h});
    smin = std::min(smin, score(h));
    smax = std::max(smax, score(h));
  }
  std::sort(drawn.begin(), drawn.end(), [](const Drawn& a, const Drawn& b) {
    return a.row != b.row ? a.row < b.row : a.col < b.col;
  });
  for (const Drawn& d : drawn)
    g.dots.push_back({d.row, d.col,
                      have_p ? significance(results[d.hit.cond].pvalue[d.hit.row]) : 1.0,
                      score(d.hit)});
  g.cmap = "reds";
  g.cmin = std::isfinite(smin) ? std::min(0.0, smin) : 0;
  g.cmax = std::isfinite(smax) && smax > g.cmin ? smax : g.cmin + 1;
  const std::string score_col = results.front().score_column;
  g.color_label = score_col == "mean" || score_col == "means" ? "Mean expression" : score_col;
  if (have_p) {
    g.size_label = "p-value";
    g.size_keys = {{significance(0.1), "≥ 0.1"},
                   {significance(0.01), "0.01"},
                   {significance(kMinP), "≤ 0.001"}};
  } else {
    g.size_label = "";
    g.size_keys = {{1.0, "present"}};
  }
  g.x_label = "Source → target cell type";
  std::string cond_text;
  for (size_t c = 0; c < conditions.size(); ++c) cond_text += (c ? " vs " : "") + conditions[c];
  g.title = args.plot.title.value_or("Ligand–receptor interactions · " + cond_text);
  std::string sub = "uns['" + cfg.cci_key + "'] · ";
  sub += pairs.size() == static_cast<size_t>(cfg.n_top) ? "top " + std::to_string(pairs.size())
                                                        : std::to_string(pairs.size());
  sub += " pairs";
  if (have_p) {
    char buf[48];
    std::snprintf(buf, sizeof buf, " with p < %g", cfg.pval_cutoff);
    sub += buf;
  }
  if (!genes_wanted.empty()) sub += " involving " + join_limited(*args.target_genes, 6);
  if (!genes_missing.empty()) sub += " (" + join_limited(genes_missing, 6) + " in no pair)";
  g.subtitle = sub;
  char cut[48];
  std::snprintf(cut, sizeof cut, " with p < %g", cfg.pval_cutoff);
  g.empty_message = "No ligand–receptor pair" + std::string(have_p ? cut : "") +
                    " between the chosen cell types" +
                    (genes_wanted.empty() ? "" : " involves the requested genes");
  g.size.width_in = std::max(args.plot.width, 3.6 + 0.3 * g.columns.size());
  // Tall enough for the rows and the slanted column labels, no taller unless asked.
  g.size.height_in = std::max(args.plot.height.value_or(0.0),
                              std::max(4.0, 3.6 + 0.3 * static_cast<double>(g.rows.size())));
  const std::string png = plotting::render_dot_grid_png(g);
  show_images(show, {png});

  // One table per condition: the drawn dots, row by row as drawn.
  json tables = json::object();
  for (size_t c = 0; c < results.size(); ++c) {
    const InteractionResult& r = results[c];
    json pair = json::array(), lig = json::array(), rec = json::array(), src = json::array(),
         dst = json::array(), sc = json::array(), pv = json::array(), sig = json::array();
    std::vector<std::string> index;
    for (const Drawn& d : drawn) {
      if (d.hit.cond != c) continue;
      const size_t i = d.hit.row;
      index.push_back(std::to_string(index.size() + 1));
      pair.push_back(r.pair[i]);
      lig.push_back(r.ligand[i]);
      rec.push_back(r.receptor[i]);
      src.push_back(r.source[i]);
      dst.push_back(r.target[i]);
      sc.push_back(std::isfinite(r.score[i]) ? json(r.score[i]) : json(nullptr));
      pv.push_back(std::isfinite(r.pvalue[i]) ? json(r.pvalue[i]) : json(nullptr));
      sig.push_back(significant(d.hit));
    }
    Table t(index);
    t.add_column("interacting_pair", pair)
        .add_column("ligand", lig)
        .add_column("receptor", rec)
        .add_column("source", src)
        .add_column("target", dst)
        .add_column(r.score_column.empty() ? "score" : r.score_column, sc)
        .add_column(r.pvalue_column.empty() ? "pvalue" : r.pvalue_column, pv)
        .add_column("significant", sig);
    tables[conditions[c]] = t.to_json();
  }
  json result = json::object();
  result["data"] = "ligand-receptor pair";
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] = tables;
  return result;
}

const char* kDefinition = R"(Tool: plot_cci_dots
Dot plot of precomputed cell-cell interactions (CellPhoneDB; uns['CCI'] per condition,
uns['CCI_sample'] per sample): ligand-receptor pairs (rows) between source and target cell
types (columns "source → target"), dot size by significance (p-value), colour by mean
expression; the table lists the plotted pairs.
- compute_cfg.cci_key: "CCI" (per condition) or "CCI_sample" (per sample).
- compute_cfg.condition: one condition (or sample) EXACTLY as in DATA CONTEXT; or
  compute_cfg.conditions: several, drawn side by side for comparison.
- compute_cfg.source_celltypes / target_celltypes: cell types at the CCI level
  (CCI_DEG_BASE) EXACTLY as listed in DATA CONTEXT; omit for all.
- target_genes: keep only pairs involving these genes (e.g. integrins ITGA4, ITGB1, ...).
- compute_cfg.n_top: pairs shown (default 20); pval_cutoff (default 0.05).
Use for cell-cell interaction, ligand-receptor, CCI or communication questions.)";

}  // namespace

void register_plot_cci_dots() {
  const RecordParams<CCIComputeConfig> compute{
      "CCIComputeConfig",
      "Which interactions",
      {
          param(&CCIComputeConfig::cci_key, "cci_key", "CCI",
                "\"CCI\": per condition; \"CCI_sample\": per sample.")
              .one_of({"CCI", "CCI_sample"}, Enforce::schema_only),
          param(&CCIComputeConfig::condition, "condition", nullptr,
                "One condition (or sample) EXACTLY as in DATA CONTEXT; omit for the first."),
          param(&CCIComputeConfig::conditions, "conditions", nullptr,
                "Several conditions (or samples) to draw side by side.")
              .single_text_as_list(),
          param(&CCIComputeConfig::source_celltypes, "source_celltypes", nullptr,
                "Source (ligand-sending) cell types; omit for all.")
              .single_text_as_list(),
          param(&CCIComputeConfig::target_celltypes, "target_celltypes", nullptr,
                "Target (receptor-bearing) cell types; omit for all.")
              .single_text_as_list(),
          param(&CCIComputeConfig::n_top, "n_top", 20, "Number of pairs shown.")
              .range(1, 60, Enforce::clamp),
          param(&CCIComputeConfig::pval_cutoff, "pval_cutoff", 0.05,
                "p-value threshold for a significant interaction.")
              .range(0, 1, Enforce::schema_only),
      }};
  const RecordParams<CCIDotPlotConfig> plot{
      "CCIDotPlotConfig",
      "Appearance",
      {
          param(&CCIDotPlotConfig::title, "title", nullptr, "Title; omit for an automatic one."),
          param(&CCIDotPlotConfig::width, "width", 9.0, "Width in inches.").range(3, 30),
          param(&CCIDotPlotConfig::height, "height", nullptr,
                "Height in inches; omit to fit the pairs shown.")
              .range(3, 30),
      }};
  register_builtin_tool("plot_cci_dots", kDefinition,
                        ToolParams<CciDotsArgs>({
                            target_genes_param(&CciDotsArgs::target_genes, kGenes),
                            record(&CciDotsArgs::compute, "compute_cfg", compute),
                            record(&CciDotsArgs::plot, "plot_cfg", plot),
                        }),
                        run_plot_cci_dots);
}

}  // namespace norvex::detail
