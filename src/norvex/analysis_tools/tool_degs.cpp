// plot_degs_gene_ranking: top up- and down-regulated genes of one cell type and comparison
// from the precomputed differential-expression results.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/dataset/nested_results.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex::detail {

namespace {

const std::vector<std::string> kDegKeys = {"DEG", "DEG_vs_ref"};

// The arguments, filled from the parameter table in register_plot_degs_gene_ranking.
struct DEGComputeConfig {
  std::string deg_key;
  std::optional<std::string> celltype;
  std::optional<std::string> comparison;
  long long n_top;
  std::string rank_by;
  double pval_adj_cutoff;
  double min_abs_logfc;
};
struct DEGPlotConfig {
  std::string plot_type;
  long long label_top_n;
  std::optional<std::string> title;
  double width;
  double height;
};
struct DegRankingArgs {
  std::optional<TextList> target_genes;
  DEGComputeConfig compute;
  DEGPlotConfig plot;
};

// Resolves a requested key: exact, case-insensitive, then the one key containing it.
std::string resolve_key(const std::vector<std::string>& keys,
                        const std::optional<std::string>& want, const std::string& what) {
  if (keys.empty()) throw ValueError("No " + what + " entries found");
  if (!want) return keys.front();
  for (auto& k : keys)
    if (k == *want) return k;
  for (auto& k : keys)
    if (ascii_lower(k) == ascii_lower(*want)) return k;
  std::vector<std::string> containing;
  for (auto& k : keys)
    if (ascii_lower(k).find(ascii_lower(*want)) != std::string::npos) containing.push_back(k);
  if (containing.size() == 1) return containing.front();
  throw ValueError("Unknown " + what + ": '" + *want + "'. Valid values: " + join_limited(keys));
}

struct DegTable {
  std::vector<std::string> names;
  std::vector<double> scores, lfc, pvals, padj;
  // Each gene's direction: 1 up, -1 down, 0 unknown. From a direction column when the table
  // has one (scores are often stored unsigned, and up and down tables kept apart), else from
  // the sign of the log fold change.
  std::vector<int8_t> dir;
};

// Spellings of a direction column seen in upstream tables.
const char* const kDirectionColumns[] = {"direction", "regulation", "updown", "up_down", "change"};

int8_t direction_of(const std::string& text) {
  const std::string t = ascii_lower(text);
  if (t.rfind("up", 0) == 0 || t == "+" || t == "1" || t == "pos" || t == "positive") return 1;
  if (t.rfind("down", 0) == 0 || t.rfind("dn", 0) == 0 || t == "-" || t == "-1" || t == "neg" ||
      t == "negative")
    return -1;
  return 0;
}

double num_at(const Column& c, size_t i) {
  json v = c.json_at(i);
  return v.is_number() ? v.get<double>() : std::numeric_limits<double>::quiet_NaN();
}

DegTable read_table(const DataFrame& df, const std::string& where) {
  for (const char* col : {"names", "scores", "logfoldchanges", "pvals", "pvals_adj"})
    if (!df.has(col))
      throw ValueError(where + " has no '" + col +
                       "' column (columns: " + join_limited(df.columns()) + ")");
  DegTable t;
  const size_t n = df.n_rows();
  for (size_t i = 0; i < n; ++i) {
    t.names.push_back(df.col("names").text_at(i));
    t.scores.push_back(num_at(df.col("scores"), i));
    t.lfc.push_back(num_at(df.col("logfoldchanges"), i));
    t.pvals.push_back(num_at(df.col("pvals"), i));
    t.padj.push_back(num_at(df.col("pvals_adj"), i));
  }
  const Column* direction = nullptr;
  for (const std::string& col : df.columns())
    for (const char* spelling : kDirectionColumns)
      if (!direction && ascii_lower(col) == spelling) direction = &df.col(col);
  for (size_t i = 0; i < n; ++i) {
    int8_t d = direction && !direction->is_missing(i) ? direction_of(direction->text_at(i)) : 0;
    if (d == 0 && std::isfinite(t.lfc[i])) d = t.lfc[i] > 0 ? 1 : (t.lfc[i] < 0 ? -1 : 0);
    t.dir.push_back(d);
  }
  return t;
}

std::string sci(double v) {
  if (std::isnan(v)) return "NA";
  char buf[32];
  if (v != 0 && std::fabs(v) < 1e-3)
    std::snprintf(buf, sizeof buf, "%.1e", v);
  else
    std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

json num_or_null(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

// ---- select: the one result table shown ----

struct DegSelection {
  std::string celltype, comparison;
  std::string where;  // "uns['DEG']['<celltype>']['<comparison>']"
  DegTable table;
};

DegSelection select_degs(const AnnData& adata, const DEGComputeConfig& cfg) {
  const std::string& deg_key = cfg.deg_key;
  if (!adata.uns.contains(deg_key)) {
    std::vector<std::string> present;
    for (auto& k : kDegKeys)
      if (adata.uns.contains(k)) present.push_back(k);
    throw KeyError("uns['" + deg_key + "'] not found. Differential-expression results present: " +
                   (present.empty() ? std::string("none") : join_limited(present)));
  }
  // Cell types by their real names: one holding "/" is stored as nested groups.
  const std::vector<NamedResults> by_ct = named_results(adata.uns.at(deg_key).dict());
  std::vector<std::string> celltypes;
  for (const NamedResults& r : by_ct) celltypes.push_back(r.name);
  DegSelection s;
  s.celltype = resolve_key(celltypes, cfg.celltype, "cell type in uns['" + deg_key + "']");
  const UnsDict& by_cmp = *std::find_if(by_ct.begin(), by_ct.end(), [&](const NamedResults& r) {
                             return r.name == s.celltype;
                           })->tables;
  s.comparison = resolve_key(NamedResults{s.celltype, &by_cmp}.table_keys(), cfg.comparison,
                             "comparison for '" + s.celltype + "'");
  s.where = "uns['" + deg_key + "']['" + s.celltype + "']['" + s.comparison + "']";
  s.table = read_table(by_cmp.at(s.comparison).table(), s.where);
  return s;
}

// ---- compute: significance, and the genes shown ----

struct DegRanking {
  const std::vector<double>* metric = nullptr;  // the table's scores or log fold changes
  // Per gene: its direction when significant (padj and |log2FC| cut-offs), else 0.
  std::vector<int8_t> status;
  // The genes shown, top to bottom: the requested ones by the metric, else the top up
  // genes and then the top down genes.
  std::vector<size_t> chosen;
  bool requested = false;
  size_t n_missing = 0;          // requested genes not in the table
  bool unsigned_metric = false;  // top genes ranked by adjusted p-value (see choose_top)
};

// The requested genes found in the table (exact, then case-insensitive), by the metric.
// ValueError when none is.
void choose_requested(DegRanking& r, const DegSelection& s, const TextList& genes) {
  const DegTable& t = s.table;
  const size_t n = t.names.size();
  for (auto& g : genes) {
    size_t hit = n;
    for (size_t i = 0; i < n && hit == n; ++i)
      if (t.names[i] == g) hit = i;
    for (size_t i = 0; i < n && hit == n; ++i)
      if (ascii_lower(t.names[i]) == ascii_lower(g)) hit = i;
    if (hit == n)
      ++r.n_missing;
    else if (std::find(r.chosen.begin(), r.chosen.end(), hit) == r.chosen.end())
      r.chosen.push_back(hit);
  }
  if (r.chosen.empty()) {
    std::vector<std::string> examples(t.names.begin(), t.names.begin() + std::min<size_t>(8, n));
    throw ValueError("None of the requested genes (" + join_limited(genes, 10) + ") is in " +
                     s.where + ". Gene names there look like: " + join_limited(examples));
  }
  const std::vector<double>& metric = *r.metric;
  std::sort(r.chosen.begin(), r.chosen.end(),
            [&](size_t a, size_t b) { return metric[a] > metric[b]; });
}

// The n_top strongest significant genes of each direction. Signed metrics put the strongest
// down genes at the bottom. Unsigned ones (all >= 0, such as U statistics) are high for the
// strongest genes of either direction, so the highest would mix weak "down" genes in: both
// directions are then ranked by adjusted p-value (then the metric), strongest first.
void choose_top(DegRanking& r, const DegTable& t, long long n_top) {
  const std::vector<double>& metric = *r.metric;
  const size_t n = t.names.size();
  bool signed_metric = false;
  for (double m : metric) signed_metric |= std::isfinite(m) && m < 0;
  r.unsigned_metric = !signed_metric;
  std::vector<size_t> order(n), up, down;
  for (size_t i = 0; i < n; ++i) order[i] = i;
  auto key = [](double v) { return std::isnan(v) ? -INFINITY : v; };
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (!signed_metric && key(-t.padj[a]) != key(-t.padj[b]))
      return key(-t.padj[a]) > key(-t.padj[b]);
    return key(metric[a]) > key(metric[b]);
  });
  for (size_t i : order)
    if (r.status[i] == 1 && static_cast<long long>(up.size()) < n_top) up.push_back(i);
  r.chosen = up;
  if (signed_metric) {
    for (auto it = order.rbegin(); it != order.rend(); ++it)
      if (r.status[*it] == -1 && static_cast<long long>(down.size()) < n_top) down.push_back(*it);
    for (auto it = down.rbegin(); it != down.rend(); ++it) r.chosen.push_back(*it);
  } else {
    for (size_t i : order)
      if (r.status[i] == -1 && static_cast<long long>(down.size()) < n_top) down.push_back(i);
    r.chosen.insert(r.chosen.end(), down.begin(), down.end());
  }
}

DegRanking compute_degs(const DegSelection& s, const DegRankingArgs& args) {
  const DEGComputeConfig& cfg = args.compute;
  const DegTable& t = s.table;
  const size_t n = t.names.size();
  const double lfc_cut = std::fabs(cfg.min_abs_logfc);
  DegRanking r;
  r.metric = cfg.rank_by == "scores" ? &t.scores : &t.lfc;
  // Significant genes carry their direction; a gene without a fold change passes on its
  // adjusted p-value alone when the table gives its direction.
  r.status.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const bool lfc_ok = std::isfinite(t.lfc[i]) ? std::fabs(t.lfc[i]) >= lfc_cut : t.dir[i] != 0;
    if (t.padj[i] < cfg.pval_adj_cutoff && lfc_ok) r.status[i] = t.dir[i];
  }
  r.requested = args.target_genes.has_value();
  if (args.target_genes)
    choose_requested(r, s, *args.target_genes);
  else
    choose_top(r, t, cfg.n_top);
  return r;
}

// ---- present ----

struct DegFigureText {
  std::string shown_cmp;  // "Primary vs rest"
  std::string title, source_note, selection_note;
};

DegFigureText figure_text(const DegSelection& s, const DegRanking& r, const DegRankingArgs& args) {
  const DEGComputeConfig& cfg = args.compute;
  DegFigureText x;
  // "Primary_vs_rest" reads better as "Primary vs rest" in titles and legends.
  x.shown_cmp = s.comparison;
  for (size_t at; (at = x.shown_cmp.find("_vs_")) != std::string::npos;)
    x.shown_cmp.replace(at, 4, " vs ");
  x.title = args.plot.title.value_or(s.celltype + ": " + x.shown_cmp);
  x.source_note = cfg.deg_key == "DEG" ? "vs rest" : "vs reference";
  if (r.requested) {
    x.selection_note =
        std::to_string(r.chosen.size()) + " requested genes" +
        (r.n_missing == 0 ? "" : " (" + std::to_string(r.n_missing) + " not in the results)");
  } else {
    char buf[128];
    std::snprintf(buf, sizeof buf, "top %lld per direction · padj < %g, |log2FC| ≥ %g", cfg.n_top,
                  cfg.pval_adj_cutoff, std::fabs(cfg.min_abs_logfc));
    x.selection_note = buf;
    if (r.unsigned_metric) x.selection_note += " · ranked by padj (unsigned " + cfg.rank_by + ")";
  }
  return x;
}

std::string ranking_png(const DegSelection& s, const DegRanking& r, const DegFigureText& x,
                        const DegRankingArgs& args) {
  const DegTable& t = s.table;
  const std::vector<double>& metric = *r.metric;
  plotting::RankingPlot p;
  p.size.width_in = args.plot.width;
  p.size.height_in = std::max(args.plot.height, 1.6 + 0.28 * r.chosen.size());
  for (size_t i : r.chosen) {
    p.labels.push_back(t.names[i]);
    p.values.push_back(std::isfinite(metric[i]) ? metric[i] : 0.0);
    p.value_notes.push_back("padj " + sci(t.padj[i]));
    p.directions.push_back(t.dir[i]);
  }
  p.title = x.title;
  p.subtitle = "Differential expression (" + x.source_note + ") · " + x.selection_note;
  p.x_label = args.compute.rank_by == "scores" ? "DE score" : "log2 fold change";
  p.up_label = "Up in " + x.shown_cmp;
  p.down_label = "Down in " + x.shown_cmp;
  p.neutral_label = "Direction unknown";
  if (r.chosen.empty()) {
    p.subtitle = "No gene passes padj < " + sci(args.compute.pval_adj_cutoff) + " and |log2FC| ≥ " +
                 sci(std::fabs(args.compute.min_abs_logfc));
  }
  return plotting::render_ranking_png(p);
}

std::string volcano_png(const DegSelection& s, const DegRanking& r, const DegFigureText& x,
                        const DegRankingArgs& args) {
  const DegTable& t = s.table;
  const size_t n = t.names.size();
  const double p_cut = args.compute.pval_adj_cutoff;
  plotting::VolcanoPlot v;
  v.size.width_in = args.plot.width;
  v.size.height_in = args.plot.height;
  double max_finite = 0;
  for (size_t i = 0; i < n; ++i)
    if (t.padj[i] > 0) max_finite = std::max(max_finite, -std::log10(t.padj[i]));
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(t.lfc[i]) || std::isnan(t.padj[i])) continue;
    // p = 0 would be infinitely high; it is drawn just above the highest finite value.
    double y = t.padj[i] > 0 ? -std::log10(t.padj[i]) : max_finite * 1.05 + 1;
    if (std::find(r.chosen.begin(), r.chosen.end(), i) != r.chosen.end() &&
        static_cast<long long>(v.labelled.size()) < 2 * args.plot.label_top_n)
      v.labelled.push_back(v.names.size());
    v.logfc.push_back(t.lfc[i]);
    v.neglog10_p.push_back(y);
    v.status.push_back(r.status[i]);
    v.names.push_back(t.names[i]);
  }
  v.lfc_threshold = std::fabs(args.compute.min_abs_logfc);
  v.p_threshold_neglog10 = p_cut > 0 ? -std::log10(p_cut) : 0;
  v.title = x.title;
  // Genes without a fold change or adjusted p are not drawn, so not counted.
  v.subtitle = "Volcano plot (" + x.source_note + ") · " +
               format_count(static_cast<long long>(v.logfc.size())) + " genes";
  v.up_label = "Up in " + x.shown_cmp;
  v.down_label = "Down in " + x.shown_cmp;
  return plotting::render_volcano_png(v);
}

// The shown genes with their statistics, top to bottom.
Table ranking_table(const DegSelection& s, const DegRanking& r) {
  const DegTable& t = s.table;
  std::vector<std::string> idx;
  json names = json::array(), dir = json::array(), sc = json::array(), lf = json::array(),
       pv = json::array(), pa = json::array(), sig = json::array();
  for (size_t k = 0; k < r.chosen.size(); ++k) {
    size_t i = r.chosen[k];
    idx.push_back(std::to_string(k + 1));
    names.push_back(t.names[i]);
    dir.push_back(t.dir[i] > 0 ? "up" : (t.dir[i] < 0 ? "down" : "none"));
    sc.push_back(num_or_null(t.scores[i]));
    lf.push_back(num_or_null(t.lfc[i]));
    pv.push_back(num_or_null(t.pvals[i]));
    pa.push_back(num_or_null(t.padj[i]));
    sig.push_back(r.status[i] != 0);
  }
  Table tab(idx);
  tab.add_column("names", names)
      .add_column("direction", dir)
      .add_column("scores", sc)
      .add_column("logfoldchanges", lf)
      .add_column("pvals", pv)
      .add_column("pvals_adj", pa)
      .add_column("significant", sig);
  return tab;
}

json run_plot_degs_gene_ranking(AnnData& adata, const DegRankingArgs& args, Warnings&) {
  const DegSelection s = select_degs(adata, args.compute);
  const DegRanking r = compute_degs(s, args);
  const DegFigureText text = figure_text(s, r, args);
  const std::string& plot_type = args.plot.plot_type;
  std::vector<std::string> pngs;
  if (plot_type != "volcano") pngs.push_back(ranking_png(s, r, text, args));
  if (plot_type != "ranking") pngs.push_back(volcano_png(s, r, text, args));
  json result = json::object();
  result["data"] = "gene";
  if (pngs.size() == 1) {
    result["img_base64"] = base64_encode(pngs[0]);
  } else {
    json list = json::array();
    for (auto& p : pngs) list.push_back(base64_encode(p));
    result["img_base64"] = list;
  }
  result["table_summaries"] =
      json{{s.celltype, json{{s.comparison, ranking_table(s, r).to_json()}}}};
  return result;
}

const char* kDefinition = R"(Tool: plot_degs_gene_ranking
Shows precomputed differential-expression results (Wilcoxon rank-sum tables with names, scores,
logfoldchanges, pvals, pvals_adj) for ONE cell type and ONE comparison: the top up- and
down-regulated genes as a ranking bar plot, optionally a volcano plot, and the selected genes' table.
- compute_cfg.deg_key: "DEG" (each condition versus the rest) or "DEG_vs_ref" (each condition
  versus the reference condition named in DATA CONTEXT). Use DEG_vs_ref when the user compares
  against the reference/control/normal condition and DATA CONTEXT lists uns['DEG_vs_ref'].
- compute_cfg.celltype: a cell type at the level named by CCI_DEG_BASE / "DEG results for each
  ..." in DATA CONTEXT (usually celltype_minor), EXACTLY as listed there.
- compute_cfg.comparison: the condition whose changes are shown (a value listed under
  conditions in DATA CONTEXT); genes "up" are higher in that condition.
- compute_cfg.n_top: genes per direction (default 10); pval_adj_cutoff and min_abs_logfc
  define significance; rank_by "scores" (default) or "logfoldchanges".
- target_genes: show these genes instead of the top genes (e.g. genes of a named pathway).
- plot_cfg.plot_type: "ranking" (default), "volcano", or "both".
Use for questions about DEGs, differentially expressed / up- or down-regulated genes, marker
changes between conditions within a cell type, or volcano plots.)";

}  // namespace

void register_plot_degs_gene_ranking() {
  const RecordParams<DEGComputeConfig> compute{
      "DEGComputeConfig",
      "Which result and which genes",
      {
          // Other uns keys are looked up too; a missing one lists the results present.
          param(&DEGComputeConfig::deg_key, "deg_key", "DEG",
                "\"DEG\": condition vs rest; \"DEG_vs_ref\": condition vs the reference "
                "condition.")
              .one_of(kDegKeys, Enforce::schema_only),
          param(&DEGComputeConfig::celltype, "celltype", nullptr,
                "Cell type EXACTLY as listed in DATA CONTEXT at the DEG level (CCI_DEG_BASE, "
                "usually celltype_minor)."),
          param(&DEGComputeConfig::comparison, "comparison", nullptr,
                "Condition whose changes are shown, EXACTLY as listed under conditions in DATA "
                "CONTEXT."),
          param(&DEGComputeConfig::n_top, "n_top", 10, "Number of genes per direction.")
              .range(1, 100, Enforce::clamp),
          param(&DEGComputeConfig::rank_by, "rank_by", "scores", "Ranking metric.")
              .one_of({"scores", "logfoldchanges"}),
          // Cut-offs outside the advertised ranges are used as they are.
          param(&DEGComputeConfig::pval_adj_cutoff, "pval_adj_cutoff", 0.05,
                "Adjusted p-value threshold for significance.")
              .range(0, 1, Enforce::schema_only),
          // The run function takes the absolute value.
          param(&DEGComputeConfig::min_abs_logfc, "min_abs_logfc", 0.25,
                "Minimum absolute log2 fold change for significance.")
              .at_least(0, Enforce::schema_only),
      }};
  const RecordParams<DEGPlotConfig> plot{
      "DEGPlotConfig",
      "Appearance",
      {
          param(&DEGPlotConfig::plot_type, "plot_type", "ranking",
                "Ranking bar plot, volcano plot, or both.")
              .one_of({"ranking", "volcano", "both"}),
          // Negative counts label nothing; larger ones label every selected gene.
          param(&DEGPlotConfig::label_top_n, "label_top_n", 10,
                "Genes labelled per direction on the volcano plot.")
              .range(0, 50, Enforce::schema_only),
          param(&DEGPlotConfig::title, "title", nullptr,
                "Figure title; omit for an automatic title."),
          param(&DEGPlotConfig::width, "width", 7.5, "Figure width in inches.").range(3, 30),
          param(&DEGPlotConfig::height, "height", 6.0, "Figure height in inches.").range(3, 30),
      }};
  register_builtin_tool(
      "plot_degs_gene_ranking", kDefinition,
      ToolParams<DegRankingArgs>({
          target_genes_param(
              &DegRankingArgs::target_genes,
              "Specific gene symbols to show instead of the top genes. Concrete symbols only."),
          record(&DegRankingArgs::compute, "compute_cfg", compute),
          record(&DegRankingArgs::plot, "plot_cfg", plot),
      }),
      run_plot_degs_gene_ranking);
}

}  // namespace norvex::detail
