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

// ---- select: the conditions, their interactions, and the rows passing the filters ----

// One row of one condition's interactions.
struct Hit {
  size_t cond, row;
};

struct CciDotsSelection {
  std::vector<std::string> conditions;
  std::vector<InteractionResult> results;  // per condition
  std::set<std::string> genes_wanted;      // lower case; empty: every pair
  std::vector<std::string> genes_missing;  // requested genes in no pair ("'X'")
  bool have_p = false;                     // some table has p-values
  std::vector<Hit> hits;                   // rows of the chosen cell types involving a wanted gene
};

// The conditions drawn: those asked for, else the first stored.
void select_conditions(CciDotsSelection& s, const AnnData& adata, const CCIComputeConfig& cfg) {
  const std::vector<std::string> available = interaction_conditions(adata, cfg.cci_key);
  const std::string top = "uns['" + cfg.cci_key + "']";
  if (cfg.conditions)
    s.conditions = match_values(*cfg.conditions, available, "condition in " + top);
  else if (cfg.condition)
    s.conditions = match_values({*cfg.condition}, available, "condition in " + top);
  else if (!available.empty())
    s.conditions = {available.front()};
  if (s.conditions.empty()) throw ValueError(top + " holds no interaction tables");
  for (const auto& c : s.conditions) s.results.push_back(read_interactions(adata, cfg.cci_key, c));
}

// The requested genes that take part in some pair (lower case); ValueError when none does.
void select_pair_genes(CciDotsSelection& s, const std::optional<TextList>& target_genes,
                       const std::string& top) {
  if (!target_genes) return;
  std::set<std::string> present;
  for (const auto& r : s.results)
    for (size_t i = 0; i < r.pair.size(); ++i)
      for (auto& t : gene_tokens(r, i)) present.insert(t);
  for (const auto& g : *target_genes) {
    if (present.count(ascii_lower(g)))
      s.genes_wanted.insert(ascii_lower(g));
    else
      s.genes_missing.push_back("'" + g + "'");
  }
  if (s.genes_wanted.empty()) {
    std::vector<std::string> examples = distinct_of(s.results, &InteractionResult::ligand);
    if (examples.size() > 12) examples.resize(12);
    throw ValueError("None of the requested genes (" + join_limited(*target_genes, 10) +
                     ") takes part in a ligand-receptor pair of " + top +
                     ". Genes there include: " + join_limited(examples));
  }
}

CciDotsSelection select_cci_dots(const AnnData& adata, const CciDotsArgs& args) {
  const CCIComputeConfig& cfg = args.compute;
  const std::string top = "uns['" + cfg.cci_key + "']";
  CciDotsSelection s;
  select_conditions(s, adata, cfg);
  const std::vector<std::string> sources_all = distinct_of(s.results, &InteractionResult::source);
  const std::vector<std::string> targets_all = distinct_of(s.results, &InteractionResult::target);
  std::optional<std::set<std::string>> src_keep, dst_keep;
  if (cfg.source_celltypes) {
    auto v = match_values(*cfg.source_celltypes, sources_all, "source cell type in " + top);
    src_keep.emplace(v.begin(), v.end());
  }
  if (cfg.target_celltypes) {
    auto v = match_values(*cfg.target_celltypes, targets_all, "target cell type in " + top);
    dst_keep.emplace(v.begin(), v.end());
  }
  select_pair_genes(s, args.target_genes, top);
  s.have_p = std::any_of(s.results.begin(), s.results.end(),
                         [](const InteractionResult& r) { return !r.pvalue_column.empty(); });
  // Candidate dots: every row passing the cell-type and gene filters.
  for (size_t c = 0; c < s.results.size(); ++c) {
    const InteractionResult& r = s.results[c];
    for (size_t i = 0; i < r.pair.size(); ++i) {
      if (src_keep && !src_keep->count(r.source[i])) continue;
      if (dst_keep && !dst_keep->count(r.target[i])) continue;
      if (!s.genes_wanted.empty()) {
        bool any = false;
        for (auto& t : gene_tokens(r, i)) any |= s.genes_wanted.count(t) > 0;
        if (!any) continue;
      }
      s.hits.push_back({c, i});
    }
  }
  return s;
}

// ---- compute: the pairs (rows) and source → target columns drawn, and their dots ----

struct CciDotsLayout {
  std::vector<std::string> pairs;   // rows: the top n_top pairs by their strongest score
  std::vector<std::string> combos;  // columns per condition: "source → target", in name order
  struct Drawn {
    size_t row, col;  // col counts across the conditions' column blocks
    Hit hit;
  };
  std::vector<Drawn> drawn;                  // by row, then column
  double smin = INFINITY, smax = -INFINITY;  // scores drawn
};

bool significant(const CciDotsSelection& s, const Hit& h, double pval_cutoff) {
  const double p = s.results[h.cond].pvalue[h.row];
  return !s.have_p || (std::isfinite(p) && p < pval_cutoff);
}
double hit_score(const CciDotsSelection& s, const Hit& h) {
  const double v = s.results[h.cond].score[h.row];
  return std::isfinite(v) ? v : 0.0;
}
std::string column_of(const CciDotsSelection& s, const Hit& h) {
  return s.results[h.cond].source[h.row] + " → " + s.results[h.cond].target[h.row];
}

// Pairs ranked by their strongest significant interaction; the top n_top are drawn.
std::vector<std::string> top_pairs(const CciDotsSelection& s, const CCIComputeConfig& cfg) {
  std::map<std::string, double> pair_best;
  for (const Hit& h : s.hits) {
    if (!significant(s, h, cfg.pval_cutoff)) continue;
    const std::string& p = s.results[h.cond].pair[h.row];
    pair_best[p] = std::max(pair_best.count(p) ? pair_best[p] : -INFINITY, hit_score(s, h));
  }
  std::vector<std::string> pairs;
  for (auto& [p, v] : pair_best) pairs.push_back(p);
  std::stable_sort(pairs.begin(), pairs.end(), [&](const std::string& a, const std::string& b) {
    return pair_best[a] > pair_best[b];
  });
  if (static_cast<long long>(pairs.size()) > cfg.n_top) pairs.resize(cfg.n_top);
  return pairs;
}

// Columns: source → target combinations with a significant chosen pair. Each pair's
// strongest combination is always shown (so no chosen pair is left without a dot); the
// others, strongest first, up to 24 columns (a wider grid stops being readable).
std::vector<std::string> top_combos(const CciDotsSelection& s, const std::set<std::string>& pairs,
                                    double pval_cutoff) {
  std::map<std::string, double> column_best;
  std::map<std::string, std::pair<double, std::string>> pair_best_column;
  for (const Hit& h : s.hits) {
    if (!significant(s, h, pval_cutoff) || !pairs.count(s.results[h.cond].pair[h.row])) continue;
    const std::string col = column_of(s, h);
    const double v = hit_score(s, h);
    column_best[col] = std::max(column_best.count(col) ? column_best[col] : -INFINITY, v);
    auto& best = pair_best_column[s.results[h.cond].pair[h.row]];
    if (best.second.empty() || v > best.first) best = {v, col};
  }
  std::set<std::string> combo_set;
  for (auto& [p, best] : pair_best_column) combo_set.insert(best.second);
  std::vector<std::string> by_strength;
  for (auto& [k, v] : column_best) by_strength.push_back(k);
  std::stable_sort(
      by_strength.begin(), by_strength.end(),
      [&](const std::string& a, const std::string& b) { return column_best[a] > column_best[b]; });
  for (const std::string& k : by_strength)
    if (combo_set.size() < 24) combo_set.insert(k);
  // In name order, so a source's targets sit together.
  return std::vector<std::string>(combo_set.begin(), combo_set.end());
}

CciDotsLayout compute_cci_dots(const CciDotsSelection& s, const CCIComputeConfig& cfg) {
  CciDotsLayout out;
  out.pairs = top_pairs(s, cfg);
  out.combos =
      top_combos(s, std::set<std::string>(out.pairs.begin(), out.pairs.end()), cfg.pval_cutoff);
  const std::set<std::string> combo_set(out.combos.begin(), out.combos.end());
  // Each condition's block of columns, side by side.
  std::map<std::pair<size_t, std::string>, size_t> col_index;
  size_t n_cols = 0;
  for (size_t c = 0; c < s.results.size(); ++c)
    for (const auto& k : out.combos) col_index[{c, k}] = n_cols++;
  std::map<std::string, size_t> row_index;
  for (size_t i = 0; i < out.pairs.size(); ++i) row_index[out.pairs[i]] = i;
  for (const Hit& h : s.hits) {
    const std::string& p = s.results[h.cond].pair[h.row];
    if (!row_index.count(p) || !combo_set.count(column_of(s, h))) continue;
    out.drawn.push_back({row_index[p], col_index[{h.cond, column_of(s, h)}], h});
    out.smin = std::min(out.smin, hit_score(s, h));
    out.smax = std::max(out.smax, hit_score(s, h));
  }
  std::sort(out.drawn.begin(), out.drawn.end(),
            [](const CciDotsLayout::Drawn& a, const CciDotsLayout::Drawn& b) {
              return a.row != b.row ? a.row < b.row : a.col < b.col;
            });
  return out;
}

// ---- present ----

std::string present_grid(const CciDotsSelection& s, const CciDotsLayout& l,
                         const CciDotsArgs& args) {
  const CCIComputeConfig& cfg = args.compute;
  plotting::DotGridPlot g;
  g.rows = l.pairs;
  const bool several = s.results.size() > 1;
  for (size_t c = 0; c < s.results.size(); ++c)
    for (const auto& k : l.combos) {
      g.columns.push_back(k);
      if (several) g.column_groups.push_back(s.conditions[c]);
    }
  for (const auto& d : l.drawn)
    g.dots.push_back({d.row, d.col,
                      s.have_p ? significance(s.results[d.hit.cond].pvalue[d.hit.row]) : 1.0,
                      hit_score(s, d.hit)});
  g.cmap = "reds";
  g.cmin = std::isfinite(l.smin) ? std::min(0.0, l.smin) : 0;
  g.cmax = std::isfinite(l.smax) && l.smax > g.cmin ? l.smax : g.cmin + 1;
  const std::string score_col = s.results.front().score_column;
  g.color_label = score_col == "mean" || score_col == "means" ? "Mean expression" : score_col;
  if (s.have_p) {
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
  for (size_t c = 0; c < s.conditions.size(); ++c) cond_text += (c ? " vs " : "") + s.conditions[c];
  g.title = args.plot.title.value_or("Ligand–receptor interactions · " + cond_text);
  std::string sub = "uns['" + cfg.cci_key + "'] · ";
  sub += l.pairs.size() == static_cast<size_t>(cfg.n_top) ? "top " + std::to_string(l.pairs.size())
                                                          : std::to_string(l.pairs.size());
  sub += " pairs";
  char cut[48];
  std::snprintf(cut, sizeof cut, " with p < %g", cfg.pval_cutoff);
  if (s.have_p) sub += cut;
  if (!s.genes_wanted.empty()) sub += " involving " + join_limited(*args.target_genes, 6);
  if (!s.genes_missing.empty()) sub += " (" + join_limited(s.genes_missing, 6) + " in no pair)";
  g.subtitle = sub;
  g.empty_message = "No ligand–receptor pair" + std::string(s.have_p ? cut : "") +
                    " between the chosen cell types" +
                    (s.genes_wanted.empty() ? "" : " involves the requested genes");
  g.size.width_in = std::max(args.plot.width, 3.6 + 0.3 * g.columns.size());
  // Tall enough for the rows and the slanted column labels, no taller unless asked.
  g.size.height_in = std::max(args.plot.height.value_or(0.0),
                              std::max(4.0, 3.6 + 0.3 * static_cast<double>(g.rows.size())));
  return plotting::render_dot_grid_png(g);
}

// One table per condition: the drawn dots, row by row as drawn.
json dot_tables(const CciDotsSelection& s, const CciDotsLayout& l, double pval_cutoff) {
  json tables = json::object();
  for (size_t c = 0; c < s.results.size(); ++c) {
    const InteractionResult& r = s.results[c];
    json pair = json::array(), lig = json::array(), rec = json::array(), src = json::array(),
         dst = json::array(), sc = json::array(), pv = json::array(), sig = json::array();
    std::vector<std::string> index;
    for (const auto& d : l.drawn) {
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
      sig.push_back(significant(s, d.hit, pval_cutoff));
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
    tables[s.conditions[c]] = t.to_json();
  }
  return tables;
}

json run_plot_cci_dots(AnnData& adata, const CciDotsArgs& args, Warnings&) {
  const CciDotsSelection s = select_cci_dots(adata, args);
  const CciDotsLayout layout = compute_cci_dots(s, args.compute);
  const std::string png = present_grid(s, layout, args);
  json result = json::object();
  result["data"] = "ligand-receptor pair";
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] = dot_tables(s, layout, args.compute.pval_cutoff);
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
