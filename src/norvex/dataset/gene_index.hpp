#pragma once
// A gene-major copy of a dataset file's X (and raw X): compressed sparse columns in the
// user's cache folder, so that reading a gene costs only that gene's stored values rather
// than a scan of every stored value of a cell-major matrix.
//
// The index is keyed by the file's identity (canonical path, size, modification time, and
// a hash of each matrix's stored layout). Gene reads go through it only when all of that
// still matches and the index is whole; a stale, truncated, damaged or foreign index is
// ignored (and `build_gene_index` replaces it). It is written through a temporary file.
#include <filesystem>
#include <functional>

#include "norvex/dataset/anndata.hpp"

namespace norvex {

struct GeneIndexOptions {
  /** Stored values gathered per pass over the matrix (8 bytes each): bounds the memory a
   * build takes. A smaller budget means more passes over the file. */
  size_t pass_entries = size_t{1} << 25;
  /** Called after each pass with the fraction of the work done (0 to 1). */
  std::function<void(double)> progress;
};

// $XDG_CACHE_HOME/norvex, or ~/.cache/norvex when XDG_CACHE_HOME is unset or relative.
std::filesystem::path gene_index_folder();
// Where the index of the dataset file `source` lives (whether or not it exists).
std::filesystem::path gene_index_path(const std::filesystem::path& source);
// Whether gene reads of the dataset's X go through a valid index.
bool has_gene_index(const AnnData& adata);
// Writes the index of the dataset's file (its X and raw X, unless already gene-major)
// and returns its path. ValueError for a dataset not read from a file; FileError when the
// cache folder cannot be written or the matrix is damaged.
std::filesystem::path build_gene_index(const AnnData& adata, const GeneIndexOptions& options = {});

// Stored values above which a gene read without an index is slow enough to offer one.
inline constexpr size_t kGeneIndexOfferNonZeros = 20'000'000;
// Whether an index would speed up gene reads: X is read from the dataset's file, stored
// cell by cell, holds more than kGeneIndexOfferNonZeros values, and has no valid index.
bool gene_index_wanted(const AnnData& adata);

}  // namespace norvex
