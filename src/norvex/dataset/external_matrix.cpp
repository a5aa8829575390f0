// Datasets whose X and obsm live in someone else's memory.
#include "norvex/dataset/external_matrix.hpp"

#include <algorithm>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/matrix_storage.hpp"

namespace norvex {

namespace {

std::string shape_text(size_t r, size_t c) {
  return "(" + std::to_string(r) + ", " + std::to_string(c) + ")";
}

}  // namespace

void set_external_X(AnnData& adata, std::shared_ptr<const ExternalMatrix> x) {
  if (!x) throw ValueError("X source is missing");
  const MatrixInfo info = x->info();
  if (info.n_rows != adata.n_obs() || info.n_cols != adata.n_vars()) {
    throw ValueError("X must have shape " + shape_text(adata.n_obs(), adata.n_vars()) + ", got " +
                     shape_text(info.n_rows, info.n_cols));
  }
  auto& b = detail::writable_backing(adata);
  b.x_mem.reset();
  b.x_external = std::move(x);
}

void set_external_obsm(AnnData& adata, const std::string& key,
                       std::shared_ptr<const ExternalMatrix> m) {
  if (!m) throw ValueError("obsm['" + key + "'] source is missing");
  const MatrixInfo info = m->info();
  if (info.n_rows != adata.n_obs()) {
    throw ValueError("obsm['" + key + "'] must have " + std::to_string(adata.n_obs()) +
                     " rows, got " + std::to_string(info.n_rows));
  }
  auto& b = detail::writable_backing(adata);
  if (std::find(b.obsm_order.begin(), b.obsm_order.end(), key) == b.obsm_order.end()) {
    b.obsm_order.push_back(key);
  }
  b.obsm_mem.erase(key);
  b.obsm_external[key] = std::move(m);
}

void set_external_raw(AnnData& adata, std::shared_ptr<const ExternalMatrix> x, DataFrame var) {
  if (!x) throw ValueError("raw.X source is missing");
  const MatrixInfo info = x->info();
  if (info.n_rows != adata.n_obs()) {
    throw ValueError("raw.X must have " + std::to_string(adata.n_obs()) + " rows, got " +
                     std::to_string(info.n_rows));
  }
  if (info.n_cols != var.n_rows()) {
    throw ValueError("raw.X has " + std::to_string(info.n_cols) + " columns but raw.var has " +
                     std::to_string(var.n_rows()) + " rows");
  }
  auto& b = detail::writable_backing(adata);
  b.raw_x_external = std::move(x);
  b.raw_var_external = std::move(var);
}

void set_external_layer(AnnData& adata, const std::string& name,
                        std::shared_ptr<const ExternalMatrix> m) {
  if (!m) throw ValueError("layers['" + name + "'] source is missing");
  const MatrixInfo info = m->info();
  if (info.n_rows != adata.n_obs() || info.n_cols != adata.n_vars()) {
    throw ValueError("layers['" + name + "'] must have shape " +
                     shape_text(adata.n_obs(), adata.n_vars()) + ", got " +
                     shape_text(info.n_rows, info.n_cols));
  }
  auto& b = detail::writable_backing(adata);
  if (std::find(b.layer_order.begin(), b.layer_order.end(), name) == b.layer_order.end()) {
    b.layer_order.push_back(name);
  }
  b.layers_external[name] = std::move(m);
}

namespace detail {

const ExternalMatrix* external_x(const AnnData& adata, const std::optional<std::string>& layer) {
  if (!adata.backing_) return nullptr;
  if (layer) {
    auto it = adata.backing_->layers_external.find(*layer);
    return it == adata.backing_->layers_external.end() ? nullptr : it->second.get();
  }
  if (adata.backing_->x_mem) return nullptr;
  return adata.backing_->x_external.get();
}

const ExternalMatrix* external_raw(const AnnData& adata) {
  return adata.backing_ ? adata.backing_->raw_x_external.get() : nullptr;
}

void external_row_chunks(const ExternalMatrix& x, size_t rows_per_chunk,
                         const std::function<void(const RowChunk&)>& fn) {
  const size_t n = x.info().n_rows;
  for (size_t r0 = 0; r0 < n; r0 += rows_per_chunk) {
    RowChunk ch;
    ch.row_begin = r0;
    ch.row_end = std::min(n, r0 + rows_per_chunk);
    ch.rows = x.rows(ch.row_begin, ch.row_end);
    fn(ch);
  }
}

std::vector<std::vector<float>> external_columns(const ExternalMatrix& x,
                                                 const std::vector<size_t>& cols) {
  std::vector<size_t> distinct = cols;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<std::vector<float>> read = x.columns(distinct);
  std::vector<std::vector<float>> out;
  out.reserve(cols.size());
  for (size_t c : cols) {
    const size_t at = static_cast<size_t>(std::lower_bound(distinct.begin(), distinct.end(), c) -
                                          distinct.begin());
    out.push_back(read[at]);
  }
  return out;
}

namespace {

class ExternalStorage : public MatrixStorage {
 public:
  explicit ExternalStorage(std::shared_ptr<const ExternalMatrix> x) : x_(std::move(x)) {}
  MatrixInfo info() const override { return x_->info(); }
  void row_chunks(size_t rows_per_chunk, const RowChunkFn& fn) const override {
    x_->row_chunks(rows_per_chunk, fn);
  }
  std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const override {
    return external_columns(*x_, cols);
  }
  std::optional<SparseMatrix> to_write() const override { return external_as_csr(*x_); }

 private:
  std::shared_ptr<const ExternalMatrix> x_;
};

}  // namespace

std::unique_ptr<MatrixStorage> external_storage(std::shared_ptr<const ExternalMatrix> x) {
  return std::make_unique<ExternalStorage>(std::move(x));
}

SparseMatrix external_as_csr(const ExternalMatrix& x) {
  const MatrixInfo info = x.info();
  SparseMatrix out;
  out.format = SparseMatrix::Format::CSR;
  out.n_rows = info.n_rows;
  out.n_cols = info.n_cols;
  out.dtype = info.dtype == "float64" ? "float64" : "float32";
  out.indptr.push_back(0);
  x.row_chunks(4096, [&](const RowChunk& ch) {
    const int64_t base = out.indptr.back();
    for (size_t r = 1; r < ch.rows.indptr.size(); ++r)
      out.indptr.push_back(base + ch.rows.indptr[r]);
    out.indices.insert(out.indices.end(), ch.rows.indices.begin(), ch.rows.indices.end());
    out.data.insert(out.data.end(), ch.rows.data.begin(), ch.rows.data.end());
  });
  return out;
}

}  // namespace detail

void ExternalMatrix::row_chunks(size_t rows_per_chunk,
                                const std::function<void(const RowChunk&)>& fn) const {
  detail::external_row_chunks(*this, rows_per_chunk, fn);
}

}  // namespace norvex
