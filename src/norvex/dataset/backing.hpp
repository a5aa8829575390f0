#pragma once
// What an AnnData keeps beside its in-memory tables: the open source file and the
// matrices set in memory. Shared by the reader, the writer and matrix access.
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/direct.hpp"
#include "norvex/dataset/h5.hpp"
#include "norvex/dataset/scan_tuning.hpp"

namespace norvex {

class ExternalMatrix;

struct AnnData::Backing {
  std::filesystem::path path;        // source file (empty for a dataset built in memory)
  std::shared_ptr<h5::Handle> file;  // open read-only while the dataset lives
  bool legacy = false;               // pre-0.7 layout (compound obs/var)
  bool obsm_compound = false;        // obsm as one compound dataset (pre-0.7)

  std::optional<SparseMatrix> x_mem;  // X set in memory; replaces the file's X
  std::vector<std::string> obsm_order;
  std::map<std::string, DenseMatrix> obsm_mem;  // embeddings set in memory

  // Matrices read in place from memory owned elsewhere (external_matrix.hpp).
  std::shared_ptr<const ExternalMatrix> x_external;
  std::map<std::string, std::shared_ptr<const ExternalMatrix>> obsm_external;
  // raw and layers of an adopted dataset, read in place like its X.
  std::shared_ptr<const ExternalMatrix> raw_x_external;
  std::optional<DataFrame> raw_var_external;
  std::vector<std::string> layer_order;
  std::map<std::string, std::shared_ptr<const ExternalMatrix>> layers_external;
};

namespace detail {

// FileError "Cannot read '<file>': <problem>".
[[noreturn]] void fail_read(const std::filesystem::path& file, const std::string& problem);

// The backing, created on first use, and unshared before a change (copies of an AnnData
// share the read-only file but not what is set in memory).
AnnData::Backing& writable_backing(AnnData& adata);

// A matrix stored in the file (X, a layer, or raw X): dense dataset or compressed sparse.
struct MatrixSource {
  MatrixInfo info;
  std::string path;
  h5::Handle dense;                  // dense dataset
  h5::Handle data, indices, indptr;  // sparse parts
  // The sparse parts read straight from the file's pages, when they are stored plainly.
  std::optional<DirectVector> data_direct, indices_direct, indptr_direct;
};
// Opens the matrix at `path` of the source file; FileError when it is damaged. `direct`
// false leaves the parts to HDF5 (for callers that want only the shape and layout).
MatrixSource open_matrix(const AnnData::Backing& b, const std::string& path, bool direct = true);
// Finds the places of the sparse parts of `m` that are stored plainly (when direct reads
// are in use).
void open_direct_parts(hid_t file, MatrixSource& m);
// Format of the matrix at `path` (encoding attrs or the old h5sparse attrs); nullopt when
// the object is not a matrix.
std::optional<MatrixInfo> matrix_info(hid_t file, const std::string& path);

// Visits the stored matrix at `path` (any of the above) in row chunks, as
// AnnData::for_each_row_chunk does for X.
void row_chunks_of(const AnnData& ad, const std::string& path, size_t rows_per_chunk,
                   const std::function<void(const RowChunk&)>& fn);

// Column numbers of `genes` among `names` (a duplicated name means its first column);
// KeyError naming the first gene that is absent.
std::vector<size_t> name_columns(const std::vector<std::string>& names,
                                 const std::vector<std::string>& genes);

// Asked columns and the output vectors they fill (a column may be asked for twice).
struct ColumnPick {
  std::vector<std::pair<size_t, std::vector<size_t>>> slots;  // column -> output slots
  std::vector<int32_t> slot_of;                               // column -> slot, or -1
  std::vector<std::vector<float>> out;                        // one vector per asked column
  ColumnPick(const std::vector<size_t>& cols, size_t n_cols, size_t n_rows);
  void put(size_t col, size_t row, float v) {
    for (size_t s : slots[static_cast<size_t>(slot_of[col])].second) out[s][row] = v;
  }
};
// Fills `pick` from the stored matrix `m` without loading it: CSR scans the indices and
// reads only the asked values, CSC reads the asked columns, dense reads column slabs.
// FileError for a damaged matrix.
void read_stored_columns(const std::filesystem::path& file, const MatrixSource& m,
                         ColumnPick& pick);

// Stored entries one scan of a CSC matrix collects when visiting it in row chunks (about
// 16M: a quarter of a gigabyte). Tests lower it to exercise several scans.
extern size_t csc_pass_entries;

// Readers shared by the dataset reader and the writer (which converts old layouts).
// Data frames keep their index and columns in the file until first use; `check_columns`
// checks every column's length now rather than on first use.
DataFrame read_dataframe(const std::shared_ptr<h5::Handle>& file,
                         const std::filesystem::path& source, const std::string& path,
                         bool check_columns);
DenseMatrix read_dense(hid_t file, const std::string& path);
DenseMatrix legacy_field_matrix(hid_t file, const std::string& dataset, const std::string& field);

}  // namespace detail
}  // namespace norvex
