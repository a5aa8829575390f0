#pragma once
// The un-scaled expression anndata keeps beside X (`raw`: its own X and var, same cells).
// Read on demand like X: names when asked, the matrix in row chunks.
#include <functional>
#include <string>
#include <vector>

#include "norvex/dataset/anndata.hpp"

namespace norvex {

// True when the source file holds raw/X (the modern layout; the pre-0.7 "raw.X" is not read).
bool has_raw(const AnnData& adata);
// raw's gene names (raw/var index). KeyError when there is no raw.
std::vector<std::string> raw_var_names(const AnnData& adata);
MatrixInfo raw_info(const AnnData& adata);
// Visits raw/X in row chunks; ValueError when its rows are not the dataset's cells.
void for_each_raw_row_chunk(const AnnData& adata, size_t rows_per_chunk,
                            const std::function<void(const RowChunk&)>& fn);

}  // namespace norvex
