#pragma once
// Readers of the results computed upstream and stored in uns, one per kind of result. Each
// accepts the shapes upstream pipelines write (column spellings, a mapping of tables per
// cell type and comparison or one long table, cell-type names holding "/" stored as nested
// groups) and turns them into one plain form, so the tools never look at a raw table.
// A shape that cannot be read is a ValueError naming the key and the columns found.
#include <optional>
#include <string>
#include <vector>

#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"

namespace norvex::detail {

// Rows of one stored table that make up one selected result.
struct ResultSlice {
  const DataFrame* frame = nullptr;
  std::vector<size_t> rows;  // in stored order
  std::string where;         // "uns['GSEA']['T cells']['Tumor_vs_rest']", for messages
  std::string group;         // the cell type (or condition / sample) selected
  std::string comparison;    // empty for one-level results
};

// Column of `df` whose name matches one of `spellings` (compared without case, blanks and
// punctuation, so "FDR q-val" matches "fdrqval"); the first spelling that matches wins.
const Column* find_column(const DataFrame& df, const std::vector<std::string>& spellings);

// ---- GO over-representation and GSEA ----
struct EnrichmentResult {
  ResultSlice slice;
  bool ranked = false;  // GSEA (a normalised enrichment score) rather than over-representation
  std::vector<std::string> terms;
  std::vector<double> padj, pval, nes;  // NaN where the table has no value
  // Genes behind each term: overlap with the gene list (GO) or the leading edge (GSEA).
  std::vector<double> gene_count;
  // k/K of an overlap written "k/K" (the term's genes found), NaN otherwise.
  std::vector<double> gene_ratio;
  std::string padj_column, count_column;  // the stored names, for axis and legend labels
};
// The names (cell types, then comparisons of `group`) a result offers, for choosing.
std::vector<std::string> enrichment_groups(const AnnData& adata, const std::string& key);
// KeyError when uns[key] is absent (listing the enrichment results present); ValueError
// naming the bad value and the valid ones for an unknown cell type or comparison;
// ValueError naming the key and the columns found for a table that cannot be read. Absent
// choices take the first stored.
EnrichmentResult read_enrichment(const AnnData& adata, const std::string& key,
                                 const std::optional<std::string>& group,
                                 const std::optional<std::string>& comparison);

// ---- cell-cell interactions (CellPhoneDB-like) ----
struct InteractionResult {
  std::string where;
  std::string condition;
  std::vector<std::string> pair, ligand, receptor, source, target;
  std::vector<double> score, pvalue;  // NaN where absent
  std::string score_column, pvalue_column;
};
// The conditions (or samples) of uns[key], in stored order.
std::vector<std::string> interaction_conditions(const AnnData& adata, const std::string& key);
// One condition's interactions in long form. Reads a long table per condition, one long
// table with a condition column, or CellPhoneDB's wide "means" / "pvalues" tables (columns
// "source|target"). Errors as for read_enrichment.
InteractionResult read_interactions(const AnnData& adata, const std::string& key,
                                    const std::string& condition);

// ---- CNV positions ----
struct ChromosomeSpan {
  std::string name;  // as stored ("chr1")
  size_t first_bin = 0, end_bin = 0;
};
// Chromosomes in genomic order with their bin ranges, from uns[key]['chr_pos'] (the start
// bin per chromosome) or a per-bin chromosome array (uns[key]['chromosome']). ValueError
// naming the key and its entries when neither is there or they do not fit `n_bins`.
std::vector<ChromosomeSpan> read_cnv_layout(const AnnData& adata, const std::string& key,
                                            size_t n_bins);
// The chromosomes' column ranges [first_col, end_col) on a heatmap that draws `n_bins` bins
// in `n_cols` columns, kept within the heatmap even when a stored position lies past the
// last bin.
struct ChromosomeColumns {
  std::string name;
  size_t first_col = 0, end_col = 0;
};
std::vector<ChromosomeColumns> chromosome_columns(const std::vector<ChromosomeSpan>& chroms,
                                                  size_t n_bins, size_t n_cols);

}  // namespace norvex::detail
