#include "fixture.hpp"

namespace norvex::testing {

std::vector<std::vector<float>> dense_x(const AnnData& adata) {
  std::vector<std::vector<float>> x(adata.n_obs(), std::vector<float>(adata.n_vars(), 0.0f));
  adata.for_each_row_chunk(512, [&](const RowChunk& c) {
    for (size_t r = 0; r < c.rows.n_rows; ++r)
      for (int64_t k = c.rows.indptr[r]; k < c.rows.indptr[r + 1]; ++k)
        x[c.row_begin + r][c.rows.indices[k]] = c.rows.data[k];
  });
  return x;
}

double mean_of(const AnnData& adata, const std::string& gene, const std::vector<bool>& keep) {
  const std::vector<float> v = adata.gene_expression({gene})[0];
  double sum = 0, n = 0;
  for (size_t i = 0; i < v.size(); ++i)
    if (keep[i]) sum += v[i], n += 1;
  return n > 0 ? sum / n : 0.0;
}

std::vector<bool> cells_where(const AnnData& adata, const std::string& column,
                              const std::string& value) {
  const Column& col = adata.obs.col(column);
  std::vector<bool> out(adata.n_obs());
  for (size_t i = 0; i < out.size(); ++i) out[i] = col.text_at(i) == value;
  return out;
}

}  // namespace norvex::testing
