#pragma once
// AnnData in C++: the annotated single-cell dataset, read from and written to `.h5ad`.
//
// obs, var and uns are loaded on open and live in memory; X, layers, raw and obsm stay in
// the file and are read on demand, in chunks, so a million-cell file opens quickly and
// memory stays small. A dataset built in memory (tests, demo data) holds its matrices
// itself until it is written.
//
// Every layout anndata writes is read: pre-0.7 files (compound obs/var/obsm, categories in
// uns["<column>_categories"]), 0.7 (categories behind object references) and the 0.8+
// encodings. Writing always produces the anndata 0.8 encoding. All errors about a file are
// FileError "Cannot read '<path>': <problem>" / "Cannot write '<path>': <problem>".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

// Integers kept at the width they need: the categorical codes of a million cells take a
// megabyte as int8 where int64 would take eight. Reads give int64; writes go through
// `set`, `push_back` or `wide_data`, which widen the storage to int64 first.
class IntValues {
 public:
  IntValues() = default;
  IntValues(std::vector<int64_t> v) : store_(std::move(v)) {}  // NOLINT: reads as a vector
  // The values at T's width (int8_t, int16_t, int32_t or int64_t).
  template <class T>
  static IntValues of(const T* values, size_t n) {
    IntValues out;
    out.store_ = std::vector<T>(values, values + n);
    return out;
  }

  size_t size() const {
    return std::visit([](const auto& v) { return v.size(); }, store_);
  }
  int64_t operator[](size_t i) const {
    return std::visit([i](const auto& v) { return static_cast<int64_t>(v[i]); }, store_);
  }
  int64_t at(size_t i) const {
    return std::visit([i](const auto& v) { return static_cast<int64_t>(v.at(i)); }, store_);
  }
  size_t width() const {
    return std::visit([](const auto& v) { return sizeof(v[0]); }, store_);
  }
  void set(size_t i, int64_t value) { wide().at(i) = value; }
  void push_back(int64_t value) { wide().push_back(value); }
  void resize(size_t n) { wide().resize(n); }
  int64_t* wide_data() { return wide().data(); }
  // fn(value) for every value in order, with one dispatch on the width for them all (the
  // loops over a million codes).
  template <class Fn>
  void for_each(Fn&& fn) const {
    std::visit(
        [&](const auto& v) {
          for (auto x : v) fn(static_cast<int64_t>(x));
        },
        store_);
  }
  // Narrows the storage to the smallest width that holds every value.
  void compact();
  std::vector<int64_t> to_vector() const { return {begin(), end()}; }

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = int64_t;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = int64_t;
    const_iterator() = default;
    const_iterator(const IntValues* v, size_t i) : v_(v), i_(i) {}
    int64_t operator*() const { return (*v_)[i_]; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++i_;
      return old;
    }
    bool operator==(const const_iterator& o) const { return i_ == o.i_; }
    bool operator!=(const const_iterator& o) const { return i_ != o.i_; }

   private:
    const IntValues* v_ = nullptr;
    size_t i_ = 0;
  };
  using iterator = const_iterator;
  using value_type = int64_t;
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size()}; }

  friend bool operator==(const IntValues& a, const IntValues& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }
  friend bool operator==(const IntValues& a, const std::vector<int64_t>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
  }

 private:
  std::vector<int64_t>& wide();

  std::variant<std::vector<int64_t>, std::vector<int32_t>, std::vector<int16_t>,
               std::vector<int8_t>>
      store_;
};

// A typed n-d array. Shape {} is a scalar, {n} a vector, {r, c} a row-major matrix.
// `dtype` is the numpy dtype name it round-trips as ("float32", "int64", "bool", "str", ...).
struct Array {
  enum class Kind { Float, Int, Bool, String };
  Kind kind = Kind::Float;
  std::string dtype = "float64";
  std::vector<size_t> shape;
  std::vector<double> floats;        // Kind::Float
  IntValues ints;                    // Kind::Int and Kind::Bool (0/1)
  std::vector<std::string> strings;  // Kind::String (UTF-8)

  size_t size() const;  // number of elements
  bool is_scalar() const { return shape.empty(); }
  // Element as JSON (number, bool or string); NaN becomes null.
  json json_at(size_t i) const;
  // Element as text: strings as they are, integers in decimal, floats like Python's repr
  // (float32 with the shortest digits numpy prints), booleans "True"/"False".
  std::string text_at(size_t i) const;

  static Array of_floats(std::vector<double> v, std::string dtype = "float64");
  static Array of_ints(std::vector<int64_t> v, std::string dtype = "int64");
  static Array of_bools(std::vector<bool> v);
  static Array of_strings(std::vector<std::string> v);
  static Array scalar(const json& value);  // number, bool or string
};

// One data-frame column: plain, categorical (values are integer codes into categories,
// -1 missing) or nullable (mask marks missing entries).
struct Column {
  Column() = default;
  // A plain column of these values.
  Column(Array v) : values(std::move(v)) {}

  Array values;
  std::optional<Array> categories;
  bool ordered = false;
  std::optional<std::vector<uint8_t>> mask;  // 1 = missing; nullable integer/boolean

  size_t size() const { return values.size(); }
  bool is_categorical() const { return categories.has_value(); }
  bool is_missing(size_t i) const;
  std::string text_at(size_t i) const;  // category text for categoricals; "nan" when missing
  json json_at(size_t i) const;         // null when missing
  // Distinct values in order of first appearance (pandas `unique`), as text.
  std::vector<std::string> unique_text() const;
  // The pandas-style dtype shown when inspecting ("category", "float32", "Int64", "boolean", ...).
  std::string dtype_name() const;

  // Categories sorted (pandas' default), codes int8/int16/int32 as the count needs.
  static Column categorical(const std::vector<std::string>& values, bool ordered = false);
};

class DataFrame {
 public:
  // Frames read from a file keep their index and columns there until first use, so that
  // opening a million-cell dataset reads only what is asked for. (First use from several
  // threads at once is not supported.)
  using IndexLoader = std::function<std::vector<std::string>()>;
  using ColumnLoader = std::function<Column()>;

  std::string index_name = "_index";

  // Row names (loaded on first use).
  const std::vector<std::string>& index() const;
  // Replaces the row names; ValueError when the frame has columns of another length.
  void set_index(std::vector<std::string> names);
  // Later duplicates of a row name get "-1", "-2", ... as anndata's make_unique does;
  // applied when the index is loaded if it is still in the file.
  void make_index_unique();

  size_t n_rows() const { return index_loader_ ? lazy_rows_ : index_.size(); }
  const std::vector<std::string>& columns() const { return order_; }
  bool has(const std::string& name) const { return cols_.count(name) || pending_.count(name); }
  // KeyError naming the column when absent.
  const Column& col(const std::string& name) const;
  Column& col(const std::string& name);
  // Adds or replaces a column (kept at its position when replaced); ValueError when its
  // length differs from the number of rows. The first column of a frame without rows
  // brings a default "0".."n-1" index, as in pandas.
  void set(const std::string& name, Column column);
  void erase(const std::string& name);

  // For readers: a frame of `n_rows` rows whose index and columns are loaded on first
  // use. A loader gives exactly `n_rows` values, or reports a damaged file itself
  // (FileError).
  static DataFrame stored(size_t n_rows, IndexLoader index,
                          std::vector<std::pair<std::string, ColumnLoader>> columns);

 private:
  void load_index() const;
  const Column& load_column(const std::string& name) const;

  mutable std::vector<std::string> index_;
  mutable IndexLoader index_loader_;  // set while the index is still in the file
  size_t lazy_rows_ = 0;
  mutable bool unique_pending_ = false;
  std::vector<std::string> order_;
  mutable std::map<std::string, Column> cols_;
  mutable std::map<std::string, ColumnLoader> pending_;  // columns still in the file
};

// A compressed sparse matrix (CSR: rows are compressed; CSC: columns).
struct SparseMatrix {
  enum class Format { CSR, CSC };
  Format format = Format::CSR;
  size_t n_rows = 0, n_cols = 0;
  std::vector<int64_t> indptr;
  std::vector<int64_t> indices;
  std::vector<float> data;
  std::string dtype = "float32";  // dtype of `data` on disk
};

// A dense row-major matrix of doubles (embeddings, CNV estimates).
struct DenseMatrix {
  size_t n_rows = 0, n_cols = 0;
  std::vector<double> values;
  std::string dtype = "float64";
  double at(size_t r, size_t c) const { return values[r * n_cols + c]; }
};

// Reference to an HDF5 object that is kept as it is (copied across on write) because
// nothing here edits it: uns entries of encodings we do not interpret (structured arrays,
// sparse matrices, awkward arrays, ...). `encoding_type` is the stored one, or
// "rec-array" / "h5sparse" for old files that have none.
struct StoredObject {
  std::string file;  // source file
  std::string path;  // object path inside it
  std::string encoding_type;
};

class UnsNode;
// Insertion-ordered string-keyed mapping of uns values.
class UnsDict {
 public:
  UnsDict() = default;
  // Copies are deep: a copied tree can be changed without touching the original.
  UnsDict(const UnsDict& other);
  UnsDict& operator=(const UnsDict& other);
  UnsDict(UnsDict&&) noexcept = default;
  UnsDict& operator=(UnsDict&&) noexcept = default;

  bool contains(const std::string& key) const;
  const UnsNode& at(const std::string& key) const;  // KeyError naming the key
  UnsNode& at(const std::string& key);
  UnsNode& operator[](const std::string& key);      // inserts a null node at the end
  void set(const std::string& key, UnsNode value);  // keeps position when replacing
  bool erase(const std::string& key);
  const std::vector<std::string>& keys() const { return order_; }
  size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }

 private:
  std::vector<std::string> order_;
  std::map<std::string, std::shared_ptr<UnsNode>> items_;
  friend class UnsNode;
};

// One value of the uns tree: a nested mapping, a table, an array (or scalar), a sparse
// matrix, an object kept in the file, or null (an empty entry).
class UnsNode {
 public:
  using Value = std::variant<std::monostate, UnsDict, DataFrame, Array, SparseMatrix, StoredObject>;
  UnsNode() = default;
  UnsNode(UnsDict d) : value_(std::move(d)) {}
  UnsNode(DataFrame t) : value_(std::move(t)) {}
  UnsNode(Array a) : value_(std::move(a)) {}
  UnsNode(SparseMatrix m) : value_(std::move(m)) {}
  UnsNode(StoredObject o) : value_(std::move(o)) {}

  bool is_null() const { return std::holds_alternative<std::monostate>(value_); }
  bool is_dict() const { return std::holds_alternative<UnsDict>(value_); }
  bool is_table() const { return std::holds_alternative<DataFrame>(value_); }
  bool is_array() const { return std::holds_alternative<Array>(value_); }
  bool is_scalar() const { return is_array() && array().is_scalar(); }
  // TypeError naming the actual kind when the node is of another kind.
  const UnsDict& dict() const;
  UnsDict& dict();
  const DataFrame& table() const;
  DataFrame& table();
  const Array& array() const;
  // "dict", "dataframe", "array", "scalar", "sparse", "stored", "null"
  std::string kind_name() const;
  // Python-style truthiness of a scalar or container (used for flags such as tumor_id).
  bool truthy() const;
  // Text of a string scalar (TypeError otherwise).
  std::string text() const;
  const Value& value() const { return value_; }

  // JSON <-> uns: objects become dicts, non-empty lists of booleans, of strings or of
  // numbers become arrays (int64 when all are integers, else float64), scalars become 0-d
  // scalars, tagged tables (norvex::Table) become data frames, null becomes a NaN float
  // scalar (read back as null). Everything else (empty lists, lists of mappings or lists,
  // mixed lists) is stored as a string scalar holding
  // "__json__:" followed by the compact JSON text; a string that itself begins with
  // "__json__:" is stored the same way, so to_json() restores every value exactly (apart
  // from integers inside float lists, which come back as floats). to_json() of sparse and
  // stored entries is null.
  static UnsNode from_json(const json& value);
  json to_json() const;

 private:
  Value value_;
};

struct MatrixInfo {
  enum class Format { Dense, CSR, CSC };
  Format format = Format::Dense;
  size_t n_rows = 0, n_cols = 0;
  std::string dtype;
  size_t nnz = 0;  // sparse only
};

// Rows [row_begin, row_end) of X as CSR, indptr starting at 0.
struct RowChunk {
  size_t row_begin = 0, row_end = 0;
  SparseMatrix rows;
};

class AnnData {
 public:
  // Reads obs, var and uns; X, layers, raw and obsm stay in the file.
  // FileError naming the file and the problem for missing, non-HDF5, damaged or
  // non-AnnData files.
  static std::shared_ptr<AnnData> read_h5ad(const std::filesystem::path& path);

  AnnData() = default;

  DataFrame obs;
  DataFrame var;
  UnsDict uns;

  size_t n_obs() const { return obs.n_rows(); }
  size_t n_vars() const { return var.n_rows(); }
  // Source file, when read from one.
  const std::optional<std::filesystem::path>& source() const { return source_; }

  // ---- X (and layers: pass the layer name; nullopt is X) ----
  bool has_X() const;
  MatrixInfo x_info(const std::optional<std::string>& layer = std::nullopt) const;
  std::vector<std::string> layer_keys() const;
  // Visits X in row chunks of at most `rows_per_chunk` rows; only one chunk in memory
  // (a CSC X is transposed a few thousand rows at a time, about 16M entries per scan of
  // the file). KeyError when there is no X / no such layer.
  void for_each_row_chunk(size_t rows_per_chunk, const std::function<void(const RowChunk&)>& fn,
                          const std::optional<std::string>& layer = std::nullopt) const;
  // Expression of the named genes for all cells: one vector of n_obs values per gene, in
  // the order given (a duplicated var name means its first column). KeyError naming the
  // first gene not in var names. Never loads X: CSR streams row chunks, CSC reads just the
  // genes' columns, dense reads column hyperslabs.
  std::vector<std::vector<float>> gene_expression(
      const std::vector<std::string>& genes,
      const std::optional<std::string>& layer = std::nullopt) const;
  // ---- raw: unscaled expression kept beside X, with its own var names ----
  bool has_raw() const;
  // The var names of raw (KeyError when the dataset has no raw).
  std::vector<std::string> raw_var_names() const;
  // As gene_expression, from raw.X by raw's var names.
  std::vector<std::vector<float>> raw_gene_expression(const std::vector<std::string>& genes) const;
  MatrixInfo raw_info() const;
  // Visits raw.X in row chunks, as for_each_row_chunk does for X; ValueError when its rows
  // are not the dataset's cells.
  void for_each_raw_row_chunk(size_t rows_per_chunk,
                              const std::function<void(const RowChunk&)>& fn) const;

  // Replaces X with an in-memory matrix (CSR or CSC; ValueError unless n_obs x n_vars and
  // well formed). Copies of an AnnData share what was read, never what is set later.
  void set_X(SparseMatrix x);

  // ---- obsm ----
  std::vector<std::string> obsm_keys() const;
  bool has_obsm(const std::string& key) const;
  // Reads the whole embedding (KeyError naming the key when absent; TypeError for a
  // data-frame entry; sparse entries are densified).
  DenseMatrix obsm(const std::string& key) const;
  std::vector<size_t> obsm_shape(const std::string& key) const;
  // Visits obsm[key] in blocks of at most `rows_per_chunk` rows (row-major doubles, first
  // row `row_begin`), so a million-cell matrix is never in memory at once. Same errors as
  // obsm().
  void for_each_obsm_chunk(
      const std::string& key, size_t rows_per_chunk,
      const std::function<void(size_t row_begin, const DenseMatrix& rows)>& fn) const;
  void set_obsm(const std::string& key, DenseMatrix m);

  // Other top-level groups present in the source file, for inspection (varm, obsp, raw...).
  std::vector<std::string> stored_groups() const;

  // Writes the anndata 0.8 encoding. Groups not changed in memory (X, layers, raw, obsm,
  // varm, obsp, varp) are copied across inside HDF5; obs, var and uns are written from
  // memory. Writing over the source file itself is safe (temporary file in the same
  // folder, then rename); on failure the target is left as it was. ValueError for names
  // HDF5 cannot hold (empty, or containing '/': anndata would silently nest them) and for
  // matrices of the wrong shape.
  void write_h5ad(const std::filesystem::path& path) const;

  // Converts the obs / var index to unique names with anndata's rule: the second and
  // later occurrences of a name get "-1", "-2", ... (skipping names already taken).
  void obs_names_make_unique();
  void var_names_make_unique();

  // Implementation state (file handles, in-memory matrices); opaque to callers.
  struct Backing;
  std::shared_ptr<Backing> backing_;

 private:
  std::optional<std::filesystem::path> source_;
};

// Streams a large dataset to disk: obs/var/uns/obsm from memory, X row chunk by row chunk
// (for generated million-cell datasets that must never hold X in memory).
class H5adStreamWriter {
 public:
  // Writes everything except X; `meta` must have obs and var filled. The file appears
  // under `path` only when close() succeeds; destroying an unclosed writer removes it.
  H5adStreamWriter(const std::filesystem::path& path, const AnnData& meta,
                   const std::string& x_dtype = "float32");
  ~H5adStreamWriter();
  // Appends consecutive rows of X (CSR with indptr starting at 0).
  void append_rows(const SparseMatrix& rows);
  // Finishes the file; ValueError when fewer or more than n_obs rows were appended.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Structure of any readable .h5ad (shapes, obs/var columns with dtypes, obsm keys, the
// uns tree) as text, like the summary shown when printing an AnnData.
std::string describe_structure(const AnnData& adata);

}  // namespace norvex
