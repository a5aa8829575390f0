#pragma once
// Matrices owned outside the engine, read where they lie: a notebook's live AnnData keeps
// X, raw, layers and obsm in its own arrays, and adopting it must not copy them. The owner
// implements ExternalMatrix over its buffers and keeps them alive as long as the object lives.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "norvex/dataset/anndata.hpp"

namespace norvex {

class ExternalMatrix {
 public:
  virtual ~ExternalMatrix() = default;
  virtual MatrixInfo info() const = 0;
  // Rows [row_begin, row_end) as CSR, indptr starting at 0.
  virtual SparseMatrix rows(size_t row_begin, size_t row_end) const = 0;
  // Whole columns: one vector of n_rows values per column asked for, in that order.
  virtual std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const = 0;
  // The whole matrix as dense values (embeddings are small: a few columns).
  virtual DenseMatrix dense() const = 0;
  // Rows in chunks of at most `rows_per_chunk` rows, in order. By default one rows() call
  // per chunk; a column-major owner overrides it to go through its columns once per scan
  // rather than once per chunk.
  virtual void row_chunks(size_t rows_per_chunk,
                          const std::function<void(const RowChunk&)>& fn) const;
};

// Reads X from `x` from now on (replacing a file's or an in-memory X). ValueError unless
// it has the dataset's shape.
void set_external_X(AnnData& adata, std::shared_ptr<const ExternalMatrix> x);
// Adds or replaces an obsm entry read from `m`. ValueError unless it has n_obs rows.
void set_external_obsm(AnnData& adata, const std::string& key,
                       std::shared_ptr<const ExternalMatrix> m);
// Sets raw: its matrix `x` (n_obs rows) and its own gene table `var` (one row per column of
// `x`). ValueError naming the mismatch otherwise.
void set_external_raw(AnnData& adata, std::shared_ptr<const ExternalMatrix> x, DataFrame var);
// Adds or replaces a layer read from `m`. ValueError unless it has the dataset's shape.
void set_external_layer(AnnData& adata, const std::string& name,
                        std::shared_ptr<const ExternalMatrix> m);

namespace detail {

// The external X (no layer) or external layer, or nullptr when it is stored elsewhere.
const ExternalMatrix* external_x(const AnnData& adata, const std::optional<std::string>& layer);
// The external raw X, or nullptr.
const ExternalMatrix* external_raw(const AnnData& adata);
void external_row_chunks(const ExternalMatrix& x, size_t rows_per_chunk,
                         const std::function<void(const RowChunk&)>& fn);
// Columns `cols` of the external X, each column asked for once.
std::vector<std::vector<float>> external_columns(const ExternalMatrix& x,
                                                 const std::vector<size_t>& cols);
// The whole external matrix as CSR (for writing it to a file).
SparseMatrix external_as_csr(const ExternalMatrix& x);

}  // namespace detail
}  // namespace norvex
