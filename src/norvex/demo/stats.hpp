#pragma once
// The statistics behind the precomputed results: Wilcoxon rank-sum tests with
// Benjamini-Hochberg adjustment, preranked GSEA with gene-set permutations, and the
// hypergeometric over-representation test.
#include <cstdint>
#include <string>
#include <vector>

namespace norvex::demo {

// Expression of a set of cells, gene by gene (the non-zero entries only).
struct GeneColumns {
  size_t n_cells = 0;
  std::vector<std::vector<std::pair<uint32_t, float>>> columns;  // per gene: (cell, value)
};

// One condition against another, as scanpy's rank_genes_groups(method="wilcoxon") reports
// it: z-scores, log2 fold changes of expm1 of the mean log expression (as the markers tool
// computes them), two-sided p-values, BH-adjusted.
struct RankResult {
  std::vector<double> scores, logfoldchanges, pvals, pvals_adj;
  std::vector<double> frac1, frac2;  // fraction of cells expressing, per group
};

// `group` per cell: 1, 2, or 0 (left out). Ties (the many zeros above all) are corrected.
RankResult wilcoxon_rank_sum(const GeneColumns& data, const std::vector<int8_t>& group);

std::vector<double> bh_adjust(const std::vector<double>& pvals);
// Two-sided p-value of a standard normal score.
double normal_two_sided(double z);
// P(X >= k) for X hypergeometric: k successes in n draws from N with K successes.
double hypergeom_sf(size_t k, size_t N, size_t K, size_t n);

struct GseaResult {
  std::string term;
  double es = 0, nes = 0, pval = 1, fdr = 1, fwer = 1;
  size_t n_lead = 0, set_size = 0, peak_rank = 0;
  std::vector<std::string> lead_genes;
};

// Preranked GSEA (weighted Kolmogorov-Smirnov, weight 1). `ranked_scores` are sorted in
// decreasing order and `ranked_genes` follow them; each set is given as positions in that
// ranking. Significance by `n_perm` random gene sets of the same size (deterministic for
// the random seed); NES and FDR as GSEA defines them.
std::vector<GseaResult> gsea_prerank(const std::vector<double>& ranked_scores,
                                     const std::vector<std::string>& ranked_genes,
                                     const std::vector<std::string>& set_names,
                                     const std::vector<std::vector<size_t>>& set_positions,
                                     size_t n_perm, uint64_t seed);

}  // namespace norvex::demo
