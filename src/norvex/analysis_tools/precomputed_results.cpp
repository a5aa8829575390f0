#include "norvex/analysis_tools/precomputed_results.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>

#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"
#include "norvex/dataset/nested_results.hpp"

namespace norvex::detail {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string squeeze(const std::string& name) {
  std::string out;
  for (char ch : name) {
    const auto u = static_cast<unsigned char>(ch);
    if (std::isalnum(u) || u >= 0x80 || ch == '%') out += static_cast<char>(std::tolower(u));
  }
  return out;
}

// Spellings seen in upstream tables (gseapy prerank and enrichr, fgsea, clusterProfiler,
// g:Profiler, decoupler; CellPhoneDB, LIANA, squidpy), compared squeezed.
const std::vector<std::string> kTermCols = {"Term",    "term_name",   "Description",
                                            "pathway", "source_term", "name"};
const std::vector<std::string> kPadjCols = {
    "Adjusted P-value", "FDR q-val", "padj",       "p.adjust", "pvals_adj",
    "pval_adj",         "p_adj",     "FDR",        "qvalue",   "q_val",
    "adj_pval",         "adj.P.Val", "p_value_adj"};
const std::vector<std::string> kPvalCols = {"P-value", "NOM p-val", "pval",
                                            "pvalue",  "p_value",   "pvals"};
const std::vector<std::string> kNesCols = {"NES", "nes", "norm_es"};
const std::vector<std::string> kCountCols = {
    "Overlap",    "Count",       "intersection_size", "overlap_size", "Tag %",  "leading_edge_size",
    "Lead_genes", "leadingEdge", "ledge_genes",       "Genes",        "geneID", "intersections"};
const std::vector<std::string> kComparisonCols = {"comparison", "contrast", "condition", "group",
                                                  "versus"};
const std::vector<std::string> kGroupCols = {"celltype",       "cell_type",       "celltype_minor",
                                             "celltype_major", "celltype_subset", "cluster"};

const std::vector<std::string> kSourceCols = {"source",      "sender",    "celltype_a",
                                              "cell_type_a", "cluster_a", "source_celltype"};
const std::vector<std::string> kTargetCols = {"target",      "receiver",  "celltype_b",
                                              "cell_type_b", "cluster_b", "target_celltype"};
const std::vector<std::string> kLigandCols = {"gene_a", "ligand", "ligand_complex", "ligand_gene"};
const std::vector<std::string> kReceptorCols = {"gene_b", "receptor", "receptor_complex",
                                                "receptor_gene"};
const std::vector<std::string> kPairCols = {"interacting_pair", "interaction", "lr_pair", "pair",
                                            "interaction_name"};
const std::vector<std::string> kScoreCols = {"mean",  "means",   "lr_means",  "lr_mean",
                                             "score", "lrscore", "magnitude", "expression"};
const std::vector<std::string> kCciPvalCols = {
    "pvalue", "pval", "pvals", "p_value", "pvalues", "cellphone_pvals", "padj"};

std::string spellings_text(const std::vector<std::string>& s) {
  return join_limited(s, 8);
}

[[noreturn]] void unreadable(const std::string& where, const DataFrame& df, const std::string& what,
                             const std::vector<std::string>& spellings) {
  throw ValueError(where + " has no " + what + " column (columns: " + join_limited(df.columns()) +
                   "; expected one of: " + spellings_text(spellings) + ")");
}

// A number from a numeric column or from text ("1.2e-5"; "3/40" gives 3).
double number_at(const Column& c, size_t i) {
  if (c.is_missing(i)) return kNaN;
  const json v = c.json_at(i);
  if (v.is_number()) return v.get<double>();
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (!v.is_string()) return kNaN;
  const std::string s = v.get<std::string>();
  char* end = nullptr;
  const double d = std::strtod(s.c_str(), &end);
  return end == s.c_str() ? kNaN : d;
}

// Genes behind a term: a count, "k/K" (the overlap), or a gene list ("A;B;C", "A/B", "A,B").
double count_at(const Column& c, size_t i) {
  if (c.is_missing(i)) return kNaN;
  const json v = c.json_at(i);
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) return kNaN;
  const std::string s = v.get<std::string>();
  const bool list_like = std::any_of(s.begin(), s.end(), [](char ch) {
    return std::isalpha(static_cast<unsigned char>(ch)) != 0;
  });
  if (!list_like) return number_at(c, i);
  if (s.empty()) return 0;
  double n = 1;
  for (char ch : s) n += (ch == ';' || ch == ',' || ch == '/' || ch == '|') ? 1 : 0;
  return n;
}

std::vector<size_t> all_rows(const DataFrame& df) {
  std::vector<size_t> rows(df.n_rows());
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = i;
  return rows;
}

// Distinct texts of a column in order of appearance.
std::vector<std::string> distinct(const Column& c, const std::vector<size_t>& rows) {
  std::vector<std::string> out;
  for (size_t r : rows) {
    if (c.is_missing(r)) continue;
    std::string t = c.text_at(r);
    if (std::find(out.begin(), out.end(), t) == out.end()) out.push_back(std::move(t));
  }
  return out;
}

std::string pick(const std::vector<std::string>& available, const std::optional<std::string>& want,
                 const std::string& what) {
  if (available.empty()) throw ValueError("No " + what + " entries found");
  if (!want) return available.front();
  return match_values({*want}, available, what).front();
}

const UnsNode& result_node(const AnnData& adata, const std::string& key,
                           const std::vector<std::string>& family, const std::string& kind) {
  if (!adata.uns.contains(key)) {
    std::vector<std::string> present;
    for (auto& k : family)
      if (adata.uns.contains(k)) present.push_back(k);
    throw KeyError("uns['" + key + "'] not found. " + kind + " results present: " +
                   (present.empty() ? std::string("none") : join_limited(present)));
  }
  return adata.uns.at(key);
}

const std::vector<std::string> kEnrichmentKeys = {
    "GSA_up", "GSA_vs_ref_up", "GSEA", "GSEA_vs_ref", "GSA_down", "GSA_vs_ref_down"};

std::vector<std::string> group_columns(const AnnData& adata) {
  std::vector<std::string> cols;
  if (adata.uns.contains("analysis_parameters") && adata.uns.at("analysis_parameters").is_dict()) {
    const UnsDict& p = adata.uns.at("analysis_parameters").dict();
    if (p.contains("CCI_DEG_BASE") && p.at("CCI_DEG_BASE").is_scalar())
      cols.push_back(p.at("CCI_DEG_BASE").array().text_at(0));
  }
  cols.insert(cols.end(), kGroupCols.begin(), kGroupCols.end());
  return cols;
}

// Rows of `rows` whose `col` reads `value`.
std::vector<size_t> rows_with(const Column& col, const std::vector<size_t>& rows,
                              const std::string& value) {
  std::vector<size_t> out;
  for (size_t r : rows)
    if (!col.is_missing(r) && col.text_at(r) == value) out.push_back(r);
  return out;
}

// A comparison inside one table: the table's rows for the comparison when it has a
// comparison column, else all of it under the name `fallback`.
ResultSlice slice_by_comparison(const DataFrame& df, std::vector<size_t> rows, std::string where,
                                const std::optional<std::string>& comparison,
                                const std::string& what) {
  ResultSlice s;
  s.frame = &df;
  const Column* cmp = find_column(df, kComparisonCols);
  if (!cmp) {
    s.rows = std::move(rows);
    s.where = std::move(where);
    return s;
  }
  s.comparison = pick(distinct(*cmp, rows), comparison, what);
  s.rows = rows_with(*cmp, rows, s.comparison);
  s.where = where + " (" + s.comparison + ")";
  return s;
}

ResultSlice locate_enrichment(const AnnData& adata, const std::string& key,
                              const std::optional<std::string>& group,
                              const std::optional<std::string>& comparison) {
  const UnsNode& node = result_node(adata, key, kEnrichmentKeys, "Enrichment");
  const std::string top = "uns['" + key + "']";
  if (node.is_table()) {
    // One long table: cell type and comparison are columns.
    const DataFrame& df = node.table();
    const Column* g = find_column(df, group_columns(adata));
    if (!g) unreadable(top, df, "cell-type", group_columns(adata));
    const std::vector<size_t> rows = all_rows(df);
    const std::string ct = pick(distinct(*g, rows), group, "cell type in " + top);
    ResultSlice s = slice_by_comparison(df, rows_with(*g, rows, ct), top + "['" + ct + "']",
                                        comparison, "comparison for '" + ct + "' in " + top);
    s.group = ct;
    return s;
  }
  if (!node.is_dict())
    throw ValueError(top + " is a " + node.kind_name() +
                     ", not a mapping of tables per cell type or one long table");
  const std::vector<NamedResults> by_ct = named_results(node.dict());
  std::vector<std::string> names;
  for (const NamedResults& r : by_ct) names.push_back(r.name);
  const std::string ct = pick(names, group, "cell type in " + top);
  const NamedResults& chosen = *std::find_if(by_ct.begin(), by_ct.end(),
                                             [&](const NamedResults& r) { return r.name == ct; });
  const std::vector<std::string> keys = chosen.table_keys();
  const std::string here = top + "['" + ct + "']";
  const std::string cmp_what = "comparison for '" + ct + "' in " + top;
  // A cell type's one table holding all its comparisons in a column.
  if (keys.size() == 1 && find_column(chosen.tables->at(keys[0]).table(), kComparisonCols) &&
      !(comparison && ascii_lower(*comparison) == ascii_lower(keys[0]))) {
    const DataFrame& df = chosen.tables->at(keys[0]).table();
    ResultSlice s =
        slice_by_comparison(df, all_rows(df), here + "['" + keys[0] + "']", comparison, cmp_what);
    s.group = ct;
    return s;
  }
  ResultSlice s;
  s.group = ct;
  s.comparison = pick(keys, comparison, cmp_what);
  s.frame = &chosen.tables->at(s.comparison).table();
  s.rows = all_rows(*s.frame);
  s.where = here + "['" + s.comparison + "']";
  return s;
}

const std::vector<std::string> kInteractionKeys = {"CCI", "CCI_sample"};

// The wide CellPhoneDB form: {"means": table, "pvalues": table} with "source|target" columns.
bool is_wide_cci(const UnsNode& node) {
  return node.is_dict() && node.dict().contains("means") && node.dict().at("means").is_table();
}

}  // namespace

const Column* find_column(const DataFrame& df, const std::vector<std::string>& spellings) {
  for (const std::string& want : spellings) {
    const std::string w = squeeze(want);
    for (const std::string& col : df.columns())
      if (squeeze(col) == w) return &df.col(col);
  }
  return nullptr;
}

std::vector<std::string> enrichment_groups(const AnnData& adata, const std::string& key) {
  if (!adata.uns.contains(key)) return {};
  const UnsNode& node = adata.uns.at(key);
  if (node.is_dict()) return result_names(node.dict());
  if (node.is_table()) {
    if (const Column* g = find_column(node.table(), group_columns(adata)))
      return distinct(*g, all_rows(node.table()));
  }
  return {};
}

EnrichmentResult read_enrichment(const AnnData& adata, const std::string& key,
                                 const std::optional<std::string>& group,
                                 const std::optional<std::string>& comparison) {
  EnrichmentResult r;
  r.slice = locate_enrichment(adata, key, group, comparison);
  const DataFrame& df = *r.slice.frame;
  const Column* term = find_column(df, kTermCols);
  if (!term) unreadable(r.slice.where, df, "term", kTermCols);
  const Column* padj = find_column(df, kPadjCols);
  const Column* pval = find_column(df, kPvalCols);
  const Column* nes = find_column(df, kNesCols);
  if (!padj && !pval && !nes) unreadable(r.slice.where, df, "adjusted p-value (or NES)", kPadjCols);
  const Column* count = find_column(df, kCountCols);
  r.ranked = nes != nullptr;
  for (const std::string& c : df.columns()) {
    if (padj && &df.col(c) == padj) r.padj_column = c;
    if (count && &df.col(c) == count) r.count_column = c;
  }
  if (!padj && pval)
    for (const std::string& c : df.columns())
      if (&df.col(c) == pval) r.padj_column = c;
  for (size_t row : r.slice.rows) {
    r.terms.push_back(term->text_at(row));
    r.pval.push_back(pval ? number_at(*pval, row) : kNaN);
    // Without an adjusted column the nominal p-value stands in (the label says which).
    r.padj.push_back(padj ? number_at(*padj, row) : r.pval.back());
    r.nes.push_back(nes ? number_at(*nes, row) : kNaN);
    r.gene_count.push_back(count ? count_at(*count, row) : kNaN);
    double ratio = kNaN;
    if (count && !count->is_missing(row)) {
      const std::string t = count->text_at(row);
      const size_t slash = t.find('/');
      if (slash != std::string::npos) {
        char* end = nullptr;
        const double k = std::strtod(t.c_str(), &end);
        const double n = std::strtod(t.c_str() + slash + 1, nullptr);
        if (end == t.c_str() + slash && n > 0) ratio = k / n;
      }
    }
    r.gene_ratio.push_back(ratio);
  }
  return r;
}

std::vector<std::string> interaction_conditions(const AnnData& adata, const std::string& key) {
  const UnsNode& node = result_node(adata, key, kInteractionKeys, "Cell-cell interaction");
  if (node.is_table()) {
    const DataFrame& df = node.table();
    const std::vector<std::string> cols = {"condition", "sample", "group", "comparison"};
    if (const Column* c = find_column(df, cols)) return distinct(*c, all_rows(df));
    return {key};
  }
  if (!node.is_dict())
    throw ValueError("uns['" + key + "'] is a " + node.kind_name() +
                     ", not a mapping of tables per condition or one long table");
  // A single wide result without conditions.
  if (is_wide_cci(node)) return {key};
  std::vector<std::string> out;
  for (const std::string& k : node.dict().keys()) {
    const UnsNode& v = node.dict().at(k);
    if (v.is_table() || is_wide_cci(v)) out.push_back(k);
  }
  return out;
}

namespace {

// CellPhoneDB's own output: one row per pair, one column per "source|target" in 'means'
// (and in the optional p-value table).
void read_wide_interactions(const UnsNode& entry, InteractionResult& r) {
  const DataFrame& means = entry.dict().at("means").table();
  const DataFrame* pvals = nullptr;
  for (const char* k : {"pvalues", "pvals", "pvalue"})
    if (!pvals && entry.dict().contains(k) && entry.dict().at(k).is_table())
      pvals = &entry.dict().at(k).table();
  const Column* pair = find_column(means, kPairCols);
  if (!pair) unreadable(r.where + "['means']", means, "interacting_pair", kPairCols);
  const Column* ga = find_column(means, kLigandCols);
  const Column* gb = find_column(means, kReceptorCols);
  const Column* ppair = pvals ? find_column(*pvals, kPairCols) : nullptr;
  std::map<std::string, size_t> prow;
  if (ppair)
    for (size_t i = 0; i < pvals->n_rows(); ++i) prow.emplace(ppair->text_at(i), i);
  r.score_column = "means";
  r.pvalue_column = pvals ? "pvalues" : "";
  bool any = false;
  for (const std::string& col : means.columns()) {
    const size_t bar = col.find('|');
    if (bar == std::string::npos) continue;
    any = true;
    const std::string src = col.substr(0, bar), dst = col.substr(bar + 1);
    const Column& m = means.col(col);
    const Column* pc = pvals && pvals->has(col) ? &pvals->col(col) : nullptr;
    for (size_t i = 0; i < means.n_rows(); ++i) {
      const std::string p = pair->text_at(i);
      r.pair.push_back(p);
      const size_t us = p.find('_');
      r.ligand.push_back(ga && !ga->is_missing(i) ? ga->text_at(i) : p.substr(0, us));
      r.receptor.push_back(gb && !gb->is_missing(i)
                               ? gb->text_at(i)
                               : (us == std::string::npos ? "" : p.substr(us + 1)));
      r.source.push_back(src);
      r.target.push_back(dst);
      r.score.push_back(number_at(m, i));
      auto it = prow.find(p);
      r.pvalue.push_back(pc && it != prow.end() ? number_at(*pc, it->second) : kNaN);
    }
  }
  if (!any)
    throw ValueError(r.where + "['means'] has no 'source|target' columns (columns: " +
                     join_limited(means.columns()) + ")");
}

// One row per interaction (source, target, pair or ligand and receptor, score, p-value),
// the given rows of `df`.
void read_long_interactions(const DataFrame& df, const std::vector<size_t>& rows,
                            InteractionResult& r) {
  const Column* src = find_column(df, kSourceCols);
  if (!src) unreadable(r.where, df, "source cell type", kSourceCols);
  const Column* dst = find_column(df, kTargetCols);
  if (!dst) unreadable(r.where, df, "target cell type", kTargetCols);
  const Column* ga = find_column(df, kLigandCols);
  const Column* gb = find_column(df, kReceptorCols);
  const Column* pair = find_column(df, kPairCols);
  if (!pair && !(ga && gb))
    unreadable(r.where, df, "interacting_pair (or ligand and receptor)", kPairCols);
  const Column* score = find_column(df, kScoreCols);
  if (!score) unreadable(r.where, df, "mean expression or score", kScoreCols);
  const Column* pv = find_column(df, kCciPvalCols);
  for (const std::string& c : df.columns()) {
    if (&df.col(c) == score) r.score_column = c;
    if (pv && &df.col(c) == pv) r.pvalue_column = c;
  }
  for (size_t i : rows) {
    std::string p = pair ? pair->text_at(i) : ga->text_at(i) + "_" + gb->text_at(i);
    const size_t us = p.find('_');
    r.ligand.push_back(ga ? ga->text_at(i) : p.substr(0, us));
    r.receptor.push_back(gb ? gb->text_at(i) : (us == std::string::npos ? "" : p.substr(us + 1)));
    r.pair.push_back(std::move(p));
    r.source.push_back(src->text_at(i));
    r.target.push_back(dst->text_at(i));
    r.score.push_back(number_at(*score, i));
    r.pvalue.push_back(pv ? number_at(*pv, i) : kNaN);
  }
}

}  // namespace

InteractionResult read_interactions(const AnnData& adata, const std::string& key,
                                    const std::string& condition) {
  const UnsNode& node = result_node(adata, key, kInteractionKeys, "Cell-cell interaction");
  InteractionResult r;
  r.condition = condition;
  const std::string top = "uns['" + key + "']";
  // The condition's entry: rows of one long table, a single wide result, or its own entry.
  const UnsNode* entry = &node;
  std::vector<size_t> rows;
  if (node.is_table()) {
    r.where = top;
    rows = all_rows(node.table());
    const std::vector<std::string> cols = {"condition", "sample", "group", "comparison"};
    if (const Column* c = find_column(node.table(), cols)) {
      rows = rows_with(*c, rows, condition);
      r.where += " (" + condition + ")";
    }
  } else if (is_wide_cci(node)) {
    r.where = top;
  } else {
    entry = &node.dict().at(condition);
    r.where = top + "['" + condition + "']";
  }

  if (is_wide_cci(*entry)) {
    read_wide_interactions(*entry, r);
    return r;
  }
  if (!entry->is_table())
    throw ValueError(r.where + " is a " + entry->kind_name() + ", not an interaction table");
  if (rows.empty() && !node.is_table()) rows = all_rows(entry->table());
  read_long_interactions(entry->table(), rows, r);
  return r;
}

std::vector<ChromosomeSpan> read_cnv_layout(const AnnData& adata, const std::string& key,
                                            size_t n_bins) {
  const std::string top = "uns['" + key + "']";
  if (!adata.uns.contains(key))
    throw KeyError(top +
                   " not found: the CNV bins' chromosome positions are stored there "
                   "(uns keys: " +
                   join_limited(adata.uns.keys()) + ")");
  const UnsNode& node = adata.uns.at(key);
  std::vector<std::string> entries;
  if (node.is_dict()) entries = node.dict().keys();
  std::vector<ChromosomeSpan> spans;
  if (node.is_dict() && node.dict().contains("chr_pos") && node.dict().at("chr_pos").is_dict()) {
    // infercnv(py): the first bin of each chromosome.
    const UnsDict& pos = node.dict().at("chr_pos").dict();
    for (const std::string& chrom : pos.keys()) {
      const UnsNode& v = pos.at(chrom);
      if (!v.is_array() || v.array().size() == 0 || v.array().kind == Array::Kind::String)
        throw ValueError(top + "['chr_pos']['" + chrom + "'] is not a bin position");
      const json first = v.array().json_at(0);
      if (!first.is_number() || first.get<double>() < 0)
        throw ValueError(top + "['chr_pos']['" + chrom + "'] is not a bin position");
      spans.push_back({chrom, static_cast<size_t>(first.get<double>()), 0});
    }
    std::stable_sort(
        spans.begin(), spans.end(),
        [](const ChromosomeSpan& a, const ChromosomeSpan& b) { return a.first_bin < b.first_bin; });
    for (size_t i = 0; i < spans.size(); ++i)
      spans[i].end_bin = i + 1 < spans.size() ? spans[i + 1].first_bin : n_bins;
  } else {
    const Array* per_bin = nullptr;
    if (node.is_dict())
      for (const char* k : {"chromosome", "chr", "chromosomes"})
        if (!per_bin && node.dict().contains(k) && node.dict().at(k).is_array())
          per_bin = &node.dict().at(k).array();
    if (!per_bin)
      throw ValueError(top +
                       " holds no chromosome positions: expected 'chr_pos' (first bin "
                       "per chromosome) or 'chromosome' (one name per bin); found " +
                       (entries.empty() ? node.kind_name() : join_limited(entries)));
    if (per_bin->size() != n_bins)
      throw ValueError(top + "['chromosome'] names " + std::to_string(per_bin->size()) +
                       " bins, the CNV matrix has " + std::to_string(n_bins));
    for (size_t b = 0; b < n_bins; ++b) {
      const std::string name = per_bin->text_at(b);
      if (spans.empty() || spans.back().name != name) {
        if (!spans.empty()) spans.back().end_bin = b;
        spans.push_back({name, b, n_bins});
      }
    }
  }
  for (const ChromosomeSpan& s : spans)
    if (s.first_bin > s.end_bin || s.end_bin > n_bins)
      throw ValueError(top + " places chromosome '" + s.name + "' at bin " +
                       std::to_string(s.first_bin) + ", outside the " + std::to_string(n_bins) +
                       " bins of the CNV matrix");
  return spans;
}

std::vector<ChromosomeColumns> chromosome_columns(const std::vector<ChromosomeSpan>& chroms,
                                                  size_t n_bins, size_t n_cols) {
  std::vector<ChromosomeColumns> out;
  if (n_bins == 0) return out;
  auto col_of = [&](size_t bin) { return bin * n_cols / n_bins; };
  for (const ChromosomeSpan& c : chroms)
    out.push_back({c.name, col_of(std::min(c.first_bin, n_bins - 1)),
                   c.end_bin >= n_bins ? n_cols : col_of(c.end_bin)});
  return out;
}

}  // namespace norvex::detail
