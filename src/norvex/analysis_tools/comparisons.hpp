#pragma once
// What the violin and box-plot tools share: where expression comes from, resolving
// requested genes, pairwise tests between the groups of each panel with one correction
// across the figure, and the comparison table.
#include <optional>
#include <string>
#include <vector>

#include "norvex/analysis_tools/group_tests.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex::detail {

// raw when the dataset has it, else X; a layer, or use_raw, overrides. KeyError naming the
// layer and the layers present; KeyError for use_raw=true on a dataset without raw.
struct ExpressionSource {
  std::optional<std::string> layer;
  bool raw = false;
  std::string label;  // "raw", "X", "layer 'counts'"
};
ExpressionSource expression_source(const AnnData& adata, const std::optional<std::string>& layer,
                                   std::optional<bool> use_raw);
std::vector<std::string> source_gene_names(const AnnData& adata, const ExpressionSource& src);
std::vector<std::vector<float>> source_expression(const AnnData& adata, const ExpressionSource& src,
                                                  const std::vector<std::string>& genes);

// Requested genes found among `available` (exact, then case-insensitive), duplicates
// dropped. Genes not found are named in a warning added to `warnings`; when none is found,
// KeyError naming them with close valid choices.
std::vector<std::string> resolve_genes(const std::vector<std::string>& requested,
                                       const std::vector<std::string>& available,
                                       const std::string& where, Warnings& warnings);
// Up to `limit` values of `available` close to `value` (same text ignoring case and
// punctuation, shared prefix, or a small edit distance), closest first.
std::vector<std::string> close_choices(const std::string& value,
                                       const std::vector<std::string>& available, size_t limit = 6);

// The obs column that defines the groups: "condition" means `condition_col`; any other
// name is an obs column itself (KeyError listing the obs columns when absent).
std::string group_column(const AnnData& adata, const std::string& group_by,
                         const std::string& condition_col);

// One pairwise comparison in a panel.
struct Comparison {
  std::string feature;   // gene, ligand-receptor pair or cell type
  std::string celltype;  // cell type (or "source → target")
  size_t panel = 0, a = 0, b = 0;
  size_t n1 = 0, n2 = 0;
  double mean1 = 0, mean2 = 0;
  TestResult result;
  double pval_adj = 0;
  double smallest_p = 0;  // the smallest p the test can give for n1 and n2
};

// Every pair of groups of one panel (values per group), tested by `test`.
void compare_groups(std::vector<Comparison>& out, size_t panel, const std::string& feature,
                    const std::string& celltype, const std::vector<std::vector<double>>& values,
                    const std::string& test);
// Adjusts all p-values of the figure together.
void adjust_comparisons(std::vector<Comparison>& cmp, const std::string& correction);
// Brackets of one panel, labelled with the stars of the adjusted p-value. With more than
// kMaxBrackets pairs only the significant ones are drawn (at most kMaxBrackets, strongest
// first) and *thinned is set.
constexpr size_t kMaxBrackets = 6;
std::vector<plotting::GroupPanel::Bracket> panel_brackets(const std::vector<Comparison>& cmp,
                                                          size_t panel, bool* thinned = nullptr);
// Extra height (inches) per row of panels for tall bracket stacks and slanted group labels.
double extra_panel_height_in(const plotting::GroupComparisonPlot& p);
// The footnote line saying brackets were thinned.
inline const char* kThinnedNote =
    "Many groups: brackets only for the strongest significant pairs; every pair is in the "
    "table.";
// One row per comparison: <feature_col>, celltype, group1, group2, n1, n2, mean1, mean2,
// statistic, pval, pval_adj, method, note (why a p-value is empty, or that the group sizes
// cannot give p < kAlpha). `celltype_col` empty
// leaves the celltype column out (when the feature is the cell type).
Table comparison_table(const std::vector<Comparison>& cmp, const std::vector<std::string>& groups,
                       const std::string& feature_col, bool with_celltype = true);

// Significance threshold of the stars and of the notes on attainable p-values.
constexpr double kAlpha = 0.05;
// The figure's line saying that the test cannot reach kAlpha for the group sizes of some
// comparisons (the worst of them quoted), with the test that can; empty when every
// comparison can reach it.
std::string attainable_p_note(const std::vector<Comparison>& cmp);

// "Stars: BH-adjusted p ..." line for the figure, naming the test and the correction.
std::string stars_note(const std::string& test, const std::string& correction);

}  // namespace norvex::detail
