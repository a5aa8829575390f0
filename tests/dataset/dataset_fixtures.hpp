#pragma once
// Small datasets built in memory for the dataset tests.
#include <cmath>
#include <random>

#include "norvex/dataset/anndata.hpp"

namespace norvex::testing {

// A dense matrix with about `density` non-zeros, and the same as CSR and CSC.
struct MatrixTruth {
  size_t n_rows = 0, n_cols = 0;
  std::vector<float> dense;  // row-major
  float at(size_t r, size_t c) const { return dense[r * n_cols + c]; }

  SparseMatrix csr() const {
    SparseMatrix m;
    m.n_rows = n_rows;
    m.n_cols = n_cols;
    m.indptr.push_back(0);
    for (size_t r = 0; r < n_rows; ++r) {
      for (size_t c = 0; c < n_cols; ++c) {
        if (at(r, c) != 0) {
          m.indices.push_back(static_cast<int64_t>(c));
          m.data.push_back(at(r, c));
        }
      }
      m.indptr.push_back(static_cast<int64_t>(m.indices.size()));
    }
    return m;
  }
  SparseMatrix csc() const {
    SparseMatrix m;
    m.format = SparseMatrix::Format::CSC;
    m.n_rows = n_rows;
    m.n_cols = n_cols;
    m.indptr.push_back(0);
    for (size_t c = 0; c < n_cols; ++c) {
      for (size_t r = 0; r < n_rows; ++r) {
        if (at(r, c) != 0) {
          m.indices.push_back(static_cast<int64_t>(r));
          m.data.push_back(at(r, c));
        }
      }
      m.indptr.push_back(static_cast<int64_t>(m.indices.size()));
    }
    return m;
  }
};

inline MatrixTruth random_matrix(size_t n_rows, size_t n_cols, double density, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  MatrixTruth t;
  t.n_rows = n_rows;
  t.n_cols = n_cols;
  t.dense.resize(n_rows * n_cols);
  for (auto& v : t.dense)
    v = u(rng) < density ? static_cast<float>(std::round(u(rng) * 1000) / 8) + 1 : 0;
  return t;
}

// Cells "cell0".., genes "gene0".., with a few obs columns of different kinds.
inline AnnData small_dataset(size_t n_obs, size_t n_vars) {
  AnnData ad;
  std::vector<std::string> cells, genes;
  for (size_t i = 0; i < n_obs; ++i) cells.push_back("cell" + std::to_string(i));
  for (size_t j = 0; j < n_vars; ++j) genes.push_back("gene" + std::to_string(j));
  ad.obs.set_index(std::move(cells));
  ad.var.set_index(std::move(genes));
  std::vector<std::string> labels;
  for (size_t i = 0; i < n_obs; ++i)
    labels.push_back(i % 3 == 0 ? "T cell" : i % 3 == 1 ? "B cell" : "NK");
  ad.obs.set("celltype", Column::categorical(labels));
  return ad;
}

}  // namespace norvex::testing
