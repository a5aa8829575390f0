// raw: the unscaled expression anndata keeps beside a processed X (raw.X with its own var
// names, often more genes than var). Read by gene, never whole.
#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/external_matrix.hpp"
#include "norvex/dataset/matrix_storage.hpp"

namespace norvex {

namespace {

// Where raw lives: "raw/X" + "raw/var" (anndata 0.7+), or "raw.X" + "raw.var" (older).
struct RawPaths {
  std::string x, var;
};

std::optional<RawPaths> raw_paths(const AnnData& ad) {
  if (!ad.backing_ || !ad.backing_->file) return std::nullopt;
  const hid_t f = *ad.backing_->file;
  for (const RawPaths& p : {RawPaths{"raw/X", "raw/var"}, RawPaths{"raw.X", "raw.var"}}) {
    if (h5::kind(f, p.x) != h5::Kind::Missing && h5::kind(f, p.var) != h5::Kind::Missing) return p;
  }
  return std::nullopt;
}

RawPaths require_raw(const AnnData& ad) {
  auto p = raw_paths(ad);
  if (!p) throw KeyError("the dataset has no raw");
  return *p;
}

}  // namespace

bool AnnData::has_raw() const {
  if (detail::external_raw(*this)) return true;
  try {
    return raw_paths(*this).has_value();
  } catch (const h5::Failure&) {
    return false;
  }
}

std::vector<std::string> AnnData::raw_var_names() const {
  if (detail::external_raw(*this)) return backing_->raw_var_external->index();
  const RawPaths p = require_raw(*this);
  try {
    return detail::read_dataframe(backing_->file, backing_->path, p.var, false).index();
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, "damaged raw var: " + std::string(e.what()));
  }
}

MatrixInfo AnnData::raw_info() const {
  if (const ExternalMatrix* x = detail::external_raw(*this)) return x->info();
  const RawPaths p = require_raw(*this);
  return detail::open_matrix(*backing_, p.x).info;
}

void AnnData::for_each_raw_row_chunk(size_t rows_per_chunk,
                                     const std::function<void(const RowChunk&)>& fn) const {
  if (rows_per_chunk == 0) throw ValueError("rows_per_chunk must be positive");
  if (const ExternalMatrix* x = detail::external_raw(*this)) {
    x->row_chunks(rows_per_chunk, fn);  // a column-major owner reads its columns once
    return;
  }
  const RawPaths p = require_raw(*this);
  const MatrixInfo info = raw_info();
  if (info.n_rows != n_obs())
    throw ValueError(p.x + " has " + std::to_string(info.n_rows) + " rows but the dataset has " +
                     std::to_string(n_obs()) + " cells");
  detail::row_chunks_of(*this, p.x, rows_per_chunk, fn);
}

std::vector<std::vector<float>> AnnData::raw_gene_expression(
    const std::vector<std::string>& genes) const {
  if (const ExternalMatrix* x = detail::external_raw(*this)) {
    return detail::external_columns(*x, detail::name_columns(raw_var_names(), genes));
  }
  const RawPaths p = require_raw(*this);
  const std::vector<std::string> names = raw_var_names();
  const std::vector<size_t> cols = detail::name_columns(names, genes);
  if (genes.empty()) return {};
  const auto x = detail::stored_storage(*this, p.x);
  const MatrixInfo info = x->info();
  if (info.n_rows != n_obs() || info.n_cols != names.size())
    detail::fail_read(backing_->path, "'" + p.x + "' does not match the cells and raw var names");
  return x->columns(cols);
}

}  // namespace norvex
