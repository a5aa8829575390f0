#pragma once
// Where a matrix's values live, behind one interface: in memory, in someone else's memory
// (a notebook's arrays), in the source file, or in a gene-major index of that file. The
// matrix methods of AnnData and the writer ask for rows or genes and never branch on it.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/h5.hpp"

namespace norvex {
class ExternalMatrix;
}

namespace norvex::detail {

class MatrixStorage {
 public:
  using RowChunkFn = std::function<void(const RowChunk&)>;
  virtual ~MatrixStorage() = default;
  virtual MatrixInfo info() const = 0;
  // Rows in chunks of at most `rows_per_chunk` (> 0) rows, in order.
  virtual void row_chunks(size_t rows_per_chunk, const RowChunkFn& fn) const = 0;
  // Whole columns: one vector of n_rows values per column asked for, in that order (a
  // column may be asked for twice).
  virtual std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const = 0;
  // The matrix to write, for one that lives only in memory; nullopt when it is in the
  // source file and is copied across from there.
  virtual std::optional<SparseMatrix> to_write() const { return std::nullopt; }
};

// The storage of X (or of a layer), or nullptr when there is none.
std::unique_ptr<MatrixStorage> x_storage(const AnnData& ad,
                                         const std::optional<std::string>& layer = std::nullopt);
// The matrix at `path` of the source file (X, a layer, raw X), read through a valid gene
// index of the file when there is one. FileError when it is damaged.
std::unique_ptr<MatrixStorage> stored_storage(const AnnData& ad, const std::string& path);

// The implementations (each where its storage is handled).
std::unique_ptr<MatrixStorage> memory_storage(const SparseMatrix& x);
std::unique_ptr<MatrixStorage> external_storage(std::shared_ptr<const ExternalMatrix> x);
// The matrix at `path` of an open HDF5 file, read directly (`file` names it in errors).
std::unique_ptr<MatrixStorage> file_storage(std::shared_ptr<h5::Handle> file,
                                            const std::filesystem::path& file_path,
                                            const std::string& path);
// `direct` read through a valid gene index of the dataset's file, or nullptr when there
// is none (or it is stale, damaged or foreign).
std::unique_ptr<MatrixStorage> indexed_storage(const AnnData& ad, const std::string& path,
                                               std::unique_ptr<MatrixStorage>& direct);

}  // namespace norvex::detail
