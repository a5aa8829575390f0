#include "norvex/analysis_tools/rank_tests.hpp"

#include <algorithm>
#include <boost/math/distributions/normal.hpp>
#include <cmath>
#include <limits>
#include <numeric>

#include "norvex/analysis_tools/group_tests.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/fold_change.hpp"

namespace norvex::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// z of a rank sum `rank_sum` of n1 values among n1 + n2, no tie correction.
double rank_sum_z(double rank_sum, double n1, double n2) {
  if (n1 <= 0 || n2 <= 0) return kNaN;
  const double expected = n1 * (n1 + n2 + 1) / 2.0;
  return (rank_sum - expected) / std::sqrt(n1 * n2 * (n1 + n2 + 1) / 12.0);
}

}  // namespace

double two_sided_normal_p(double z) {
  if (std::isnan(z)) return kNaN;
  const boost::math::normal_distribution<double> standard;
  return 2.0 * boost::math::cdf(boost::math::complement(standard, std::fabs(z)));
}

RankSumResult rank_sum_test(std::span<const double> x, std::span<const double> y) {
  const size_t n = x.size() + y.size();
  if (x.empty() || y.empty()) return {kNaN, kNaN};
  std::vector<std::pair<double, bool>> pooled;
  pooled.reserve(n);
  for (double v : x) pooled.push_back({v, true});
  for (double v : y) pooled.push_back({v, false});
  std::sort(pooled.begin(), pooled.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  double rank_sum = 0;
  for (size_t i = 0; i < n;) {
    size_t j = i + 1;
    while (j < n && pooled[j].first == pooled[i].first) ++j;
    const double average = (static_cast<double>(i + 1) + static_cast<double>(j)) / 2.0;
    for (size_t k = i; k < j; ++k)
      if (pooled[k].second) rank_sum += average;
    i = j;
  }
  const double z =
      rank_sum_z(rank_sum, static_cast<double>(x.size()), static_cast<double>(y.size()));
  return {z, two_sided_normal_p(z)};
}

MarkerAccumulator::MarkerAccumulator(const std::vector<int32_t>& codes, size_t n_groups,
                                     std::vector<size_t> columns)
    : codes_(codes), n_groups_(n_groups), columns_(std::move(columns)) {
  if (n_groups_ > std::numeric_limits<uint16_t>::max())
    throw ValueError("Too many groups for marker genes: " + std::to_string(n_groups_));
  size_t max_col = 0;
  for (size_t c : columns_) max_col = std::max(max_col, c + 1);
  slot_of_.assign(max_col, -1);
  for (size_t s = 0; s < columns_.size(); ++s)
    if (slot_of_[columns_[s]] < 0) slot_of_[columns_[s]] = static_cast<int32_t>(s);
  entries_.resize(columns_.size());
}

void MarkerAccumulator::add(const RowChunk& chunk) {
  const SparseMatrix& m = chunk.rows;
  for (size_t r = 0; r < m.n_rows; ++r) {
    const size_t cell = chunk.row_begin + r;
    if (cell >= codes_.size()) throw ValueError("Expression matrix has more rows than cells");
    const int32_t g = codes_[cell];
    if (g < 0) continue;
    for (int64_t p = m.indptr[r]; p < m.indptr[r + 1]; ++p) {
      const size_t c = static_cast<size_t>(m.indices[p]);
      if (c >= slot_of_.size() || slot_of_[c] < 0) continue;
      const float v = m.data[p];
      // Stored zeros join the zero block; NaN cannot be ranked and counts as not measured.
      if (v == 0.0f || std::isnan(v)) continue;
      negative_ |= v < 0;
      entries_[static_cast<size_t>(slot_of_[c])].push_back({v, static_cast<uint16_t>(g)});
    }
  }
}

void MarkerAccumulator::finish(MarkerStats& out, size_t first_gene) {
  const size_t G = n_groups_;
  std::vector<double> group_n(G, 0);
  for (size_t g = 0; g < G; ++g) group_n[g] = static_cast<double>(out.group_sizes[g]);
  const double total = std::accumulate(group_n.begin(), group_n.end(), 0.0);

  std::vector<double> rank_sum(G), sum(G), n_nonzero(G), n_positive(G);
  for (size_t s = 0; s < columns_.size(); ++s) {
    // A repeated column shares the first one's values.
    const size_t src = static_cast<size_t>(slot_of_[columns_[s]]);
    std::vector<Entry>& e = entries_[src];
    if (src == s)
      std::sort(e.begin(), e.end(),
                [](const Entry& a, const Entry& b) { return a.value < b.value; });
    std::fill(rank_sum.begin(), rank_sum.end(), 0.0);
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(n_nonzero.begin(), n_nonzero.end(), 0.0);
    std::fill(n_positive.begin(), n_positive.end(), 0.0);

    const size_t nnz = e.size();
    const double n_zero = total - static_cast<double>(nnz);
    // Negative values (scaled data) rank below the zeros, positive ones above.
    const size_t n_negative =
        static_cast<size_t>(std::lower_bound(e.begin(), e.end(), 0.0f,
                                             [](const Entry& a, float v) { return a.value < v; }) -
                            e.begin());
    for (size_t i = 0; i < nnz;) {
      size_t j = i + 1;
      while (j < nnz && e[j].value == e[i].value) ++j;
      double average = (static_cast<double>(i + 1) + static_cast<double>(j)) / 2.0;
      if (i >= n_negative) average += n_zero;
      const double v = e[i].value;
      for (size_t k = i; k < j; ++k) {
        const uint16_t g = e[k].group;
        rank_sum[g] += average;
        sum[g] += v;
        n_nonzero[g] += 1;
        if (v > 0) n_positive[g] += 1;
      }
      i = j;
    }
    const double zero_rank = static_cast<double>(n_negative) + (n_zero + 1) / 2.0;
    const double all_sum = std::accumulate(sum.begin(), sum.end(), 0.0);
    for (size_t g = 0; g < G; ++g) {
      const size_t at = out.at(g, first_gene + s);
      const double n1 = group_n[g], n2 = total - n1;
      const double rs = rank_sum[g] + zero_rank * (n1 - n_nonzero[g]);
      const double z = rank_sum_z(rs, n1, n2);
      out.scores[at] = z;
      out.pvals[at] = two_sided_normal_p(z);
      out.logfoldchanges[at] =
          n1 > 0 && n2 > 0 ? log2_fold_change(sum[g] / n1, (all_sum - sum[g]) / n2) : kNaN;
      out.mean_expression[at] = n1 > 0 ? sum[g] / n1 : kNaN;
      out.fraction_expressing[at] = n1 > 0 ? n_positive[g] / n1 : kNaN;
    }
  }
  out.negative_values |= negative_;
  entries_.clear();
  entries_.shrink_to_fit();
}

MarkerStats rank_genes_against_rest(const AnnData& adata, const std::vector<int32_t>& codes,
                                    size_t n_groups, const std::vector<size_t>& columns,
                                    const std::optional<std::string>& layer,
                                    size_t memory_budget_bytes) {
  ChunkedMatrix source;
  source.info = adata.x_info(layer);
  source.visit = [&](size_t rows, const std::function<void(const RowChunk&)>& fn) {
    adata.for_each_row_chunk(rows, fn, layer);
  };
  return rank_genes_against_rest(source, codes, n_groups, columns, memory_budget_bytes);
}

MarkerStats rank_genes_against_rest(const ChunkedMatrix& source, const std::vector<int32_t>& codes,
                                    size_t n_groups, const std::vector<size_t>& columns,
                                    size_t memory_budget_bytes) {
  MarkerStats out;
  out.n_groups = n_groups;
  out.n_genes = columns.size();
  out.group_sizes.assign(n_groups, 0);
  for (int32_t c : codes) {
    if (c >= static_cast<int32_t>(n_groups)) throw ValueError("Group code out of range");
    if (c >= 0) ++out.group_sizes[static_cast<size_t>(c)];
  }
  const size_t cells = n_groups * columns.size();
  for (auto* v : {&out.scores, &out.pvals, &out.pvals_adj, &out.logfoldchanges,
                  &out.mean_expression, &out.fraction_expressing})
    v->assign(cells, kNaN);
  if (columns.empty() || n_groups == 0) return out;

  // Expected non-zeros per gene, from the stored count (dense: every entry may be one).
  const MatrixInfo& info = source.info;
  if (info.n_rows != codes.size())
    throw ValueError("The expression matrix has " + std::to_string(info.n_rows) + " rows for " +
                     std::to_string(codes.size()) + " cells");
  const double stored = info.format == MatrixInfo::Format::Dense
                            ? static_cast<double>(info.n_rows) * static_cast<double>(info.n_cols)
                            : static_cast<double>(info.nnz);
  const double per_gene_bytes =
      stored / std::max<double>(1.0, static_cast<double>(info.n_cols)) * sizeof(float) * 2;
  const size_t genes_per_pass =
      std::max<size_t>(1, static_cast<size_t>(static_cast<double>(memory_budget_bytes) /
                                              std::max(1.0, per_gene_bytes)));
  // Chunks of about 4M stored values keep the reader's buffers small.
  const size_t rows_per_chunk = std::clamp<size_t>(
      static_cast<size_t>(4e6 / std::max(1.0, stored / std::max<size_t>(1, info.n_rows))), 256,
      65536);

  for (size_t first = 0; first < columns.size(); first += genes_per_pass) {
    const size_t last = std::min(columns.size(), first + genes_per_pass);
    MarkerAccumulator acc(codes, n_groups,
                          std::vector<size_t>(columns.begin() + static_cast<long>(first),
                                              columns.begin() + static_cast<long>(last)));
    source.visit(rows_per_chunk, [&](const RowChunk& ch) { acc.add(ch); });
    acc.finish(out, first);
    ++out.passes;
  }

  std::vector<double> p(columns.size());
  for (size_t g = 0; g < n_groups; ++g) {
    for (size_t k = 0; k < columns.size(); ++k) p[k] = out.pvals[out.at(g, k)];
    const std::vector<double> adjusted = benjamini_hochberg(p);
    for (size_t k = 0; k < columns.size(); ++k) out.pvals_adj[out.at(g, k)] = adjusted[k];
  }
  return out;
}

}  // namespace norvex::detail
