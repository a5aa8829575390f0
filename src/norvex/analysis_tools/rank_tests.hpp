#pragma once
// Rank-sum statistics for marker genes: the Wilcoxon rank-sum z statistic with its normal
// p-value (no tie correction, as scipy.stats.ranksums) and the streaming one-group-against-the-rest
// computation over an expression matrix.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "norvex/dataset/anndata.hpp"

namespace norvex::detail {

struct RankSumResult {
  double statistic = 0;  // z: positive when `x` ranks higher than `y`
  double pvalue = 1;     // two-sided, normal approximation
};

// The rank-sum test of `x` against `y` on their pooled average ranks. NaN statistic and
// p-value when either sample is empty.
RankSumResult rank_sum_test(std::span<const double> x, std::span<const double> y);

// Two-sided p-value of a standard normal z (NaN stays NaN).
double two_sided_normal_p(double z);

// Per group and gene, indexed [group * n_genes + gene], genes in the order asked.
struct MarkerStats {
  size_t n_groups = 0, n_genes = 0;
  std::vector<long long> group_sizes;
  std::vector<double> scores, pvals, pvals_adj, logfoldchanges;
  // For the dot plot: mean of the values (log scale) and the share of cells above zero.
  std::vector<double> mean_expression, fraction_expressing;
  size_t passes = 0;  // passes over the matrix (more than one only for very large data)
  // Negative values among the asked genes: scaled data, where "above zero" means "above
  // the gene's mean" rather than "expressed".
  bool negative_values = false;

  size_t at(size_t group, size_t gene) const { return group * n_genes + gene; }
};

// Collects the non-zero values of a set of genes from row chunks and ranks them per gene.
// Zeros are never stored: they form one tied block whose average rank follows from the
// counts, so memory is proportional to the non-zeros of the genes, not to the matrix.
class MarkerAccumulator {
 public:
  // `codes`: each cell's group in [0, n_groups) or -1 (left out of every test);
  // `columns`: the matrix columns of the genes.
  MarkerAccumulator(const std::vector<int32_t>& codes, size_t n_groups,
                    std::vector<size_t> columns);
  void add(const RowChunk& chunk);
  // Writes the statistics of the accumulated genes into `out` at gene positions
  // [first_gene, first_gene + columns) and releases the values.
  void finish(MarkerStats& out, size_t first_gene);

 private:
  struct Entry {
    float value;
    uint16_t group;
  };
  const std::vector<int32_t>& codes_;
  size_t n_groups_;
  std::vector<size_t> columns_;
  std::vector<int32_t> slot_of_;  // matrix column -> position in columns_, or -1
  std::vector<std::vector<Entry>> entries_;
  bool negative_ = false;
};

// A matrix to stream: its shape and how to visit it in row chunks (X, a layer, raw).
struct ChunkedMatrix {
  MatrixInfo info;
  std::function<void(size_t rows_per_chunk, const std::function<void(const RowChunk&)>&)> visit;
};

// Every asked gene (matrix columns) of every group against the rest, streaming the source
// in row chunks. Genes are split into as many passes as needed to keep the
// collected non-zeros under `memory_budget_bytes`. Benjamini-Hochberg runs per group over
// the asked genes. ValueError for more than 65,535 groups.
MarkerStats rank_genes_against_rest(const ChunkedMatrix& source, const std::vector<int32_t>& codes,
                                    size_t n_groups, const std::vector<size_t>& columns,
                                    size_t memory_budget_bytes = size_t{1} << 30);
// The same over `layer` of `adata` (nullopt: X).
MarkerStats rank_genes_against_rest(const AnnData& adata, const std::vector<int32_t>& codes,
                                    size_t n_groups, const std::vector<size_t>& columns,
                                    const std::optional<std::string>& layer,
                                    size_t memory_budget_bytes = size_t{1} << 30);

}  // namespace norvex::detail
