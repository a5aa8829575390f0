// plot_gsea_go: the top terms of one cell type and comparison from the precomputed GO
// over-representation or GSEA results, as a bar plot and a dot plot.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/precomputed_results.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/plotting/result_plots.hpp"

namespace norvex::detail {

namespace {

// ---- plot_gsea_go ----
struct GSAComputeConfig {
  std::string gsa_key;
  std::optional<std::string> celltype;
  std::optional<std::string> comparison;
  std::optional<TextList> terms;
  long long n_top;
  double pval_cutoff;
};
struct GSABarPlotConfig {
  std::optional<std::string> title;
  double width;
  double height;
};
struct GSADotPlotConfig {
  std::optional<std::string> title;
  double width;
  double height;
};
struct GseaGoArgs {
  GSAComputeConfig compute;
  GSABarPlotConfig bar;
  GSADotPlotConfig dot;
};

const std::vector<std::string> kGsaKeys = {"GSA_up", "GSA_vs_ref_up", "GSEA", "GSEA_vs_ref"};

std::string sci(double v) {
  if (std::isnan(v)) return "NA";
  char buf[32];
  std::snprintf(buf, sizeof buf, v != 0 && std::fabs(v) < 1e-3 ? "%.1e" : "%.3g", v);
  return buf;
}

// A stored q of 0 is below what the method resolves, never a probability of zero: for
// permutations, one over their number (not stored with the result); for an exact test, the
// journal convention.
std::string q_text(double q, bool permutations) {
  if (q == 0) return permutations ? "< 1/permutations" : "< 0.001";
  return sci(q);
}

// Terms of the Gene Ontology as the common tools name them: an id "GO:0006955" anywhere
// (g:Profiler, Enrichr's "immune response (GO:0006955)") or MSigDB's "GOBP_" style names.
// Most terms must look so: a custom pathway database is not labelled GO.
bool go_terms(const std::vector<std::string>& terms) {
  size_t go = 0;
  for (const std::string& t : terms)
    go += t.find("GO:") != std::string::npos || t.rfind("GOBP_", 0) == 0 ||
          t.rfind("GOCC_", 0) == 0 || t.rfind("GOMF_", 0) == 0;
  return !terms.empty() && 2 * go > terms.size();
}

double neglog10(double p) {
  if (!std::isfinite(p)) return std::numeric_limits<double>::quiet_NaN();
  // p = 0 (permutation floors) is drawn at the resolution of a double, not at infinity.
  return -std::log10(std::max(p, 1e-300));
}

// "Tumor_vs_rest" reads better as "Tumor vs rest".
std::string shown(std::string s) {
  for (size_t at; (at = s.find("_vs_")) != std::string::npos;) s.replace(at, 4, " vs ");
  return s;
}

// The stored rows, every column, in the order drawn.
Table rows_table(const DataFrame& df, const std::vector<size_t>& rows) {
  std::vector<std::string> index;
  for (size_t r : rows) index.push_back(df.index().empty() ? std::to_string(r) : df.index()[r]);
  Table t(index);
  for (const std::string& col : df.columns()) {
    json values = json::array();
    for (size_t r : rows) values.push_back(df.col(col).json_at(r));
    t.add_column(col, values);
  }
  return t;
}

// ---- select: the result and the terms shown ----

struct GseaSelection {
  EnrichmentResult res;
  // The terms shown (positions in res), top to bottom: GSEA from the most positive NES
  // down, GO by significance.
  std::vector<size_t> chosen;
  std::string selection;  // "3 requested terms", "top 10 terms with padj < 0.05"
};

GseaSelection select_gsea(const AnnData& adata, const GSAComputeConfig& cfg) {
  GseaSelection s;
  s.res = read_enrichment(adata, cfg.gsa_key, cfg.celltype, cfg.comparison);
  const EnrichmentResult& res = s.res;
  const size_t n = res.terms.size();
  if (cfg.terms) {
    const std::vector<std::string> wanted =
        match_values(*cfg.terms, res.terms, "term in " + res.slice.where);
    for (const std::string& w : wanted)
      for (size_t i = 0; i < n; ++i)
        if (res.terms[i] == w && std::find(s.chosen.begin(), s.chosen.end(), i) == s.chosen.end()) {
          s.chosen.push_back(i);
          break;
        }
    s.selection = std::to_string(s.chosen.size()) + " requested terms";
  } else {
    for (size_t i = 0; i < n; ++i)
      if (res.padj[i] < cfg.pval_cutoff) s.chosen.push_back(i);
    // Most significant first; among equals the stronger enrichment.
    std::stable_sort(s.chosen.begin(), s.chosen.end(), [&](size_t a, size_t b) {
      if (res.padj[a] != res.padj[b]) return res.padj[a] < res.padj[b];
      return std::fabs(res.nes[a]) > std::fabs(res.nes[b]);
    });
    if (static_cast<long long>(s.chosen.size()) > cfg.n_top) s.chosen.resize(cfg.n_top);
    char buf[96];
    std::snprintf(buf, sizeof buf, "top %lld terms with %s < %g", cfg.n_top,
                  res.padj_column.empty() ? "padj" : res.padj_column.c_str(), cfg.pval_cutoff);
    s.selection = buf;
  }
  std::stable_sort(s.chosen.begin(), s.chosen.end(), [&](size_t a, size_t b) {
    if (res.ranked) return res.nes[a] > res.nes[b];
    return res.padj[a] < res.padj[b];
  });
  return s;
}

// ---- compute: each shown term's bar and dot ----

struct GseaValues {
  // Per shown term: the bar (NES for GSEA; -log10 padj for GO, negative for a "down" list)
  // with its direction, the dot's x (NES, gene ratio or -log10 padj), size and colour.
  std::vector<double> bar, dot_x, dot_size, dot_colour;
  std::vector<int8_t> bar_direction;
  bool down_list = false;   // the key names a down-regulated gene list ("GSA_down")
  bool have_ratio = false;  // GO terms all with a gene ratio: the dots' x
};

GseaValues compute_gsea(const GseaSelection& s, const GSAComputeConfig& cfg) {
  const EnrichmentResult& res = s.res;
  GseaValues v;
  // Upstream keys name the direction of the gene list tested ("GSA_down").
  v.down_list = cfg.gsa_key.find("down") != std::string::npos;
  // A stored 0 (permutation tests) means "below the resolution": drawn at the smallest
  // positive value of the result rather than at an arbitrary huge -log10.
  double floor_p = 1.0;
  for (double p : res.padj)
    if (p > 0 && p < floor_p) floor_p = p;
  auto strength = [&](double p) { return neglog10(p == 0 ? floor_p : p); };
  v.have_ratio = !res.ranked;
  for (size_t i : s.chosen) v.have_ratio &= std::isfinite(res.gene_ratio[i]);
  for (size_t i : s.chosen) {
    if (res.ranked) {
      v.bar.push_back(std::isfinite(res.nes[i]) ? res.nes[i] : 0);
      v.bar_direction.push_back(res.nes[i] > 0 ? 1 : (res.nes[i] < 0 ? -1 : 0));
    } else {
      const double b = strength(res.padj[i]);
      v.bar.push_back(v.down_list ? -b : b);
      v.bar_direction.push_back(v.down_list ? -1 : 1);
    }
    v.dot_x.push_back(res.ranked ? res.nes[i]
                                 : (v.have_ratio ? res.gene_ratio[i] : strength(res.padj[i])));
    v.dot_size.push_back(res.gene_count[i]);
    v.dot_colour.push_back(strength(res.padj[i]));
  }
  return v;
}

// ---- present ----

std::vector<std::string> present_gsea(const GseaSelection& s, const GseaValues& v,
                                      const GseaGoArgs& args) {
  const GSAComputeConfig& cfg = args.compute;
  const EnrichmentResult& res = s.res;
  const bool ranked = res.ranked;
  const std::string padj_label = res.padj_column.empty() ? "adjusted p" : res.padj_column;
  const std::string title =
      res.slice.group +
      (res.slice.comparison.empty() ? std::string() : ": " + shown(res.slice.comparison));
  const std::string what =
      ranked ? "GSEA" : (go_terms(res.terms) ? "GO over-representation" : "Over-representation");
  const std::string subtitle = what + " · uns['" + cfg.gsa_key + "'] · " + s.selection;
  const std::string empty = cfg.terms ? "None of the requested terms is in this result"
                                      : "No term passes " + padj_label + " < " +
                                            sci(cfg.pval_cutoff) + " in " + res.slice.where + " (" +
                                            std::to_string(res.terms.size()) + " terms tested)";
  const size_t rows = s.chosen.size();

  plotting::TermBarPlot bar;
  bar.size.width_in = args.bar.width;
  bar.size.height_in = std::max(args.bar.height, 1.8 + 0.42 * rows);
  bar.title = args.bar.title.value_or(title);
  bar.subtitle = subtitle;
  bar.empty_message = empty;
  // GO bars all share one direction (the gene list tested): no legend.
  bar.up_label = ranked ? "Enriched in " + shown(res.slice.comparison) : "";
  bar.down_label = ranked ? "Depleted in " + shown(res.slice.comparison) : "";
  bar.neutral_label = "NES unknown";
  bar.x_label = ranked
                    ? "Normalised enrichment score (NES)"
                    : "−log10(" + padj_label + ")" + (v.down_list ? ", signed by direction" : "");
  for (size_t k = 0; k < rows; ++k) {
    const size_t i = s.chosen[k];
    bar.labels.push_back(res.terms[i]);
    bar.values.push_back(v.bar[k]);
    bar.directions.push_back(v.bar_direction[k]);
    bar.value_notes.push_back(padj_label + " " + q_text(res.padj[i], ranked));
  }

  plotting::TermDotPlot dot;
  dot.size.width_in = args.dot.width;
  dot.size.height_in = std::max(args.dot.height, 1.8 + 0.42 * rows);
  dot.title = args.dot.title.value_or(title);
  dot.subtitle = subtitle;
  dot.empty_message = empty;
  dot.cmap = "reds";
  dot.color_label = "−log10(" + padj_label + ")";
  dot.size_label = ranked ? "Leading-edge genes" : "Genes in overlap";
  dot.x_label =
      ranked ? "NES"
             : (v.have_ratio ? "Gene ratio (overlap / term size)" : "−log10(" + padj_label + ")");
  for (size_t k = 0; k < rows; ++k) dot.labels.push_back(res.terms[s.chosen[k]]);
  dot.x = v.dot_x;
  dot.sizes = v.dot_size;
  dot.colors = v.dot_colour;
  return {plotting::render_term_bars_png(bar), plotting::render_term_dots_png(dot)};
}

json run_plot_gsea_go(AnnData& adata, const GseaGoArgs& args, Warnings&) {
  const GseaSelection s = select_gsea(adata, args.compute);
  const GseaValues v = compute_gsea(s, args.compute);
  const std::vector<std::string> pngs = present_gsea(s, v, args);
  json result = json::object();
  result["data"] = "term";
  json imgs = json::array();
  for (auto& p : pngs) imgs.push_back(base64_encode(p));
  result["img_base64"] = imgs;
  // The stored rows of the shown terms, every column, in the order drawn.
  std::vector<size_t> rows;
  for (size_t i : s.chosen) rows.push_back(s.res.slice.rows[i]);
  const std::string cmp =
      s.res.slice.comparison.empty() ? args.compute.gsa_key : s.res.slice.comparison;
  result["table_summaries"] =
      json{{s.res.slice.group, json{{cmp, rows_table(*s.res.slice.frame, rows).to_json()}}}};
  return result;
}

const char* kDefinition = R"(Tool: plot_gsea_go
Shows precomputed enrichment results for ONE cell type and ONE comparison: GO over-representation
of the up-regulated genes (uns['GSA_up'], uns['GSA_vs_ref_up']) or GSEA (uns['GSEA'],
uns['GSEA_vs_ref']). Draws the top terms as a bar plot (-log10 adjusted p for GO, NES for GSEA)
and a dot plot (size = genes in the overlap or leading edge, colour = -log10 adjusted p), with
the plotted terms' table.
- compute_cfg.gsa_key: "GSA_up" / "GSA_vs_ref_up" for GO (GSA), "GSEA" / "GSEA_vs_ref" for
  GSEA; the *_vs_ref keys compare against the reference condition named in DATA CONTEXT.
- compute_cfg.celltype: a cell type at the level the results are keyed by (CCI_DEG_BASE),
  EXACTLY as listed in DATA CONTEXT.
- compute_cfg.comparison: the comparison key, e.g. "<condition>_vs_rest" or
  "<condition>_vs_<reference>"; omit for the first one.
- compute_cfg.terms: show these terms (exact names) instead of the top ones.
- compute_cfg.n_top (default 10) and pval_cutoff (adjusted p, default 0.05) select the top terms.
Use for GO, GSA, gene ontology, pathway enrichment or GSEA questions about one cell type.)";

}  // namespace

void register_plot_gsea_go() {
  const RecordParams<GSAComputeConfig> compute{
      "GSAComputeConfig",
      "Which result and which terms",
      {
          // Other uns keys are looked up too; a missing one lists the results present.
          param(&GSAComputeConfig::gsa_key, "gsa_key", "GSA_up",
                "\"GSA_up\"/\"GSA_vs_ref_up\": GO over-representation; \"GSEA\"/\"GSEA_vs_ref\": "
                "GSEA.")
              .one_of(kGsaKeys, Enforce::schema_only),
          param(&GSAComputeConfig::celltype, "celltype", nullptr,
                "Cell type EXACTLY as listed in DATA CONTEXT at the result level (CCI_DEG_BASE)."),
          param(&GSAComputeConfig::comparison, "comparison", nullptr,
                "Comparison key such as \"<condition>_vs_rest\"; omit for the first."),
          param(&GSAComputeConfig::terms, "terms", nullptr,
                "Exact term names to show instead of the top terms.")
              .single_text_as_list(),
          param(&GSAComputeConfig::n_top, "n_top", 10, "Number of top terms.")
              .range(1, 50, Enforce::clamp),
          param(&GSAComputeConfig::pval_cutoff, "pval_cutoff", 0.05,
                "Adjusted p-value threshold for the top terms.")
              .range(0, 1, Enforce::schema_only),
      }};
  const RecordParams<GSABarPlotConfig> bar{
      "GSABarPlotConfig",
      "Bar plot appearance",
      {
          param(&GSABarPlotConfig::title, "title", nullptr, "Title; omit for an automatic one."),
          param(&GSABarPlotConfig::width, "width", 8.0, "Width in inches.").range(3, 30),
          param(&GSABarPlotConfig::height, "height", 6.0, "Height in inches.").range(3, 30),
      }};
  const RecordParams<GSADotPlotConfig> dot{
      "GSADotPlotConfig",
      "Dot plot appearance",
      {
          param(&GSADotPlotConfig::title, "title", nullptr, "Title; omit for an automatic one."),
          param(&GSADotPlotConfig::width, "width", 8.0, "Width in inches.").range(3, 30),
          param(&GSADotPlotConfig::height, "height", 6.0, "Height in inches.").range(3, 30),
      }};
  register_builtin_tool("plot_gsea_go", kDefinition,
                        ToolParams<GseaGoArgs>({
                            record(&GseaGoArgs::compute, "compute_cfg", compute),
                            record(&GseaGoArgs::bar, "bar_cfg", bar),
                            record(&GseaGoArgs::dot, "dot_cfg", dot),
                        }),
                        run_plot_gsea_go);
}

}  // namespace norvex::detail
