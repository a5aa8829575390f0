#include "norvex/dataset/raw.hpp"

#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"

namespace norvex {

bool has_raw(const AnnData& adata) {
  const auto& b = adata.backing_;
  return b && b->file && h5::kind(*b->file, "raw/X") != h5::Kind::Missing &&
         h5::kind(*b->file, "raw/var") == h5::Kind::Group;
}

namespace {

void require_raw(const AnnData& adata) {
  if (!has_raw(adata)) throw KeyError("the dataset has no raw expression (raw/X)");
}

}  // namespace

std::vector<std::string> raw_var_names(const AnnData& adata) {
  require_raw(adata);
  const auto& b = *adata.backing_;
  return detail::read_dataframe(b.file, b.path, "raw/var", false).index();
}

MatrixInfo raw_info(const AnnData& adata) {
  require_raw(adata);
  return detail::open_matrix(*adata.backing_, "raw/X").info;
}

void for_each_raw_row_chunk(const AnnData& adata, size_t rows_per_chunk,
                            const std::function<void(const RowChunk&)>& fn) {
  const MatrixInfo info = raw_info(adata);
  if (info.n_rows != adata.n_obs())
    throw ValueError("raw/X has " + std::to_string(info.n_rows) + " rows but the dataset has " +
                     std::to_string(adata.n_obs()) + " cells");
  detail::row_chunks_of(adata, "raw/X", rows_per_chunk, fn);
}

}  // namespace norvex
