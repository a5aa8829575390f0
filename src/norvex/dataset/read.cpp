// Reading .h5ad: obs, var and uns of every anndata layout (pre-0.7 compound tables,
// 0.7 reference categoricals, 0.8+ encodings); matrices stay in the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <numeric>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"

namespace norvex {

namespace fs = std::filesystem;

namespace detail {

void fail_read(const fs::path& file, const std::string& problem) {
  throw FileError("Cannot read '" + file.string() + "': " + problem);
}

AnnData::Backing& writable_backing(AnnData& adata) {
  if (!adata.backing_) {
    adata.backing_ = std::make_shared<AnnData::Backing>();
  } else if (adata.backing_.use_count() > 1) {
    adata.backing_ = std::make_shared<AnnData::Backing>(*adata.backing_);
  }
  return *adata.backing_;
}

namespace {

std::vector<std::string> as_texts(Array&& a) {
  if (a.kind == Array::Kind::String) return std::move(a.strings);
  std::vector<std::string> out;
  for (size_t i = 0; i < a.size(); ++i) out.push_back(a.text_at(i));
  return out;
}

bool attr_flag(hid_t obj, const std::string& name) {
  if (!h5::has_attr(obj, name)) return false;
  Array a = h5::attr_array(obj, name);
  return a.size() == 1 && a.json_at(0) != json(false) && a.json_at(0) != json(0);
}

std::vector<uint8_t> as_mask(const Array& a) {
  std::vector<uint8_t> m;
  m.reserve(a.size());
  for (size_t i = 0; i < a.size(); ++i) {
    m.push_back(a.kind == Array::Kind::Float ? a.floats[i] != 0 : a.ints[i] != 0);
  }
  return m;
}

void check_codes(const Column& c, const std::string& where) {
  if (c.values.kind != Array::Kind::Int && c.values.kind != Array::Kind::Bool) {
    throw h5::Failure("categorical codes of '" + where + "' are not integers");
  }
  const int64_t n = static_cast<int64_t>(c.categories->size());
  bool outside = false;
  c.values.ints.for_each([&](int64_t code) { outside |= code < -1 || code >= n; });
  if (outside) {
    throw h5::Failure("categorical codes of '" + where + "' point outside its categories");
  }
}

Column read_column(hid_t file, const std::string& path) {
  Column c;
  h5::Kind k = h5::kind(file, path);
  if (k == h5::Kind::Dataset) {
    h5::Handle ds = h5::open_dataset(file, path);
    if (h5::has_attr(ds, "categories")) {
      // 0.7: codes here, categories behind an object reference.
      c.values = h5::read(ds);
      h5::Handle cats = h5::attr_deref(ds, "categories");
      c.categories = h5::read(cats);
      c.ordered = attr_flag(cats, "ordered");
      check_codes(c, path);
    } else {
      c.values = h5::read(ds);
    }
    return c;
  }
  if (k != h5::Kind::Group) throw h5::Failure("column '" + path + "' is missing");
  h5::Handle g = h5::open_group(file, path);
  std::string enc = h5::attr_text(g, "encoding-type").value_or("");
  if (enc == "categorical") {
    c.values = h5::read(h5::open_dataset(g, "codes"));
    c.categories = h5::read(h5::open_dataset(g, "categories"));
    c.ordered = attr_flag(g, "ordered");
    check_codes(c, path);
  } else if (enc == "nullable-integer" || enc == "nullable-boolean" ||
             enc == "nullable-string-array") {
    c.values = h5::read(h5::open_dataset(g, "values"));
    Array mask = h5::read(h5::open_dataset(g, "mask"));
    if (mask.size() != c.values.size())
      throw h5::Failure("mask of '" + path + "' has the wrong length");
    c.mask = as_mask(mask);
  } else {
    throw h5::Failure("column '" + path + "' has an unsupported encoding '" + h5::shown(enc) + "'");
  }
  return c;
}

// Length of the column `name` of the open frame group `frame` (at `path`), without
// reading it.
size_t stored_column_length(hid_t frame, const std::string& name, const std::string& path) {
  h5::Kind k;
  h5::Handle obj = h5::open_child(frame, name, k);
  std::vector<size_t> dims;
  if (k == h5::Kind::Dataset) {
    dims = h5::shape(obj);
  } else if (k == h5::Kind::Group) {
    hid_t g = obj;
    std::string enc = h5::attr_text(g, "encoding-type").value_or("");
    if (enc == "categorical") {
      dims = h5::shape(h5::open_dataset(g, "codes"));
    } else if (enc == "nullable-integer" || enc == "nullable-boolean" ||
               enc == "nullable-string-array") {
      dims = h5::shape(h5::open_dataset(g, "values"));
    } else {
      throw h5::Failure("column '" + path + "' has an unsupported encoding '" + h5::shown(enc) +
                        "'");
    }
  } else {
    throw h5::Failure("column '" + path + "' is missing");
  }
  if (dims.size() != 1) throw h5::Failure("column '" + path + "' is not one-dimensional");
  return dims[0];
}

// Runs a deferred read, reporting a damaged file as the reader does at open.
template <class Fn>
auto read_later(const fs::path& source, Fn fn) {
  try {
    return fn();
  } catch (const h5::Failure& e) {
    fail_read(source, std::string("damaged or unreadable file: ") + e.what());
  } catch (const std::bad_alloc&) {
    fail_read(source, "not enough memory to read it (it may declare impossible sizes)");
  } catch (const std::length_error&) {
    fail_read(source, "not enough memory to read it (it may declare impossible sizes)");
  }
}

void check_column(const Column& c, size_t n_rows, const std::string& path) {
  if (c.values.shape.size() != 1 || c.values.size() != n_rows) {
    throw h5::Failure("column '" + path + "' has " + std::to_string(c.values.size()) +
                      " values for " + std::to_string(n_rows) + " rows");
  }
}

DataFrame read_compound_frame(hid_t file, const std::string& path) {
  h5::Handle ds = h5::open_dataset(file, path);
  auto names = h5::fields(ds);
  if (names.empty()) throw h5::Failure("'" + path + "' has no fields");
  DataFrame df;
  df.index_name = names[0];
  df.set_index(as_texts(h5::read_field(ds, names[0])));
  for (size_t i = 1; i < names.size(); ++i) {
    Column c;
    c.values = h5::read_field(ds, names[i]);
    if (c.values.shape.size() != 1) continue;  // matrix-valued fields are not columns
    check_column(c, df.n_rows(), path + "/" + names[i]);
    df.set(names[i], std::move(c));
  }
  return df;
}

DataFrame frame_from_group(const std::shared_ptr<h5::Handle>& file_handle, const fs::path& source,
                           hid_t g, const std::string& path, bool check_columns);

// Real uns trees are a few levels deep; anything deeper is damage, and each level costs
// stack here and in every consumer of the tree. Shared groups are read once per link, so
// the number of objects is bounded too (a chain of doubly linked groups grows 2^depth).
constexpr size_t kMaxUnsDepth = 100;
constexpr size_t kMaxUnsObjects = 1'000'000;

// The mappings open above the one being read, to detect links back to an ancestor.
struct UnsWalk {
  std::vector<std::pair<h5::ObjectId, std::string>> ancestors;
  size_t objects = 0;
};

// `obj` is the open object at `path`, of kind `k`.
UnsNode read_uns_node(const fs::path& source, const std::shared_ptr<h5::Handle>& file_handle,
                      hid_t obj, h5::Kind k, const std::string& path, UnsWalk& walk) {
  if (++walk.objects > kMaxUnsObjects) {
    throw h5::Failure("uns holds more than " + std::to_string(kMaxUnsObjects) + " objects (at '" +
                      h5::shown(path) + "')");
  }
  if (k == h5::Kind::Group) {
    std::string enc = h5::attr_text(obj, "encoding-type").value_or("");
    if (enc.empty() && h5::has_attr(obj, "h5sparse_format")) {
      return UnsNode(StoredObject{source.string(), path, "h5sparse"});
    }
    if (enc.empty() || enc == "dict") {
      const h5::ObjectId id = h5::object_id(obj);
      for (const auto& [ancestor, ancestor_path] : walk.ancestors) {
        if (ancestor == id) {
          throw h5::Failure("'" + h5::shown(path) + "' links back to its ancestor '" +
                            h5::shown(ancestor_path) + "' (a cycle)");
        }
      }
      if (walk.ancestors.size() >= kMaxUnsDepth) {
        throw h5::Failure("uns is nested more than " + std::to_string(kMaxUnsDepth) +
                          " levels deep at '" + h5::shown(path) + "'");
      }
      walk.ancestors.emplace_back(id, path);
      UnsDict d;
      for (auto& key : h5::children(obj)) {
        h5::Kind ck;
        h5::Handle child = h5::open_child(obj, key, ck);
        d.set(key, read_uns_node(source, file_handle, child, ck, path + "/" + key, walk));
      }
      walk.ancestors.pop_back();
      return UnsNode(std::move(d));
    }
    // Result tables are many and mostly unread: their columns are checked on first use.
    if (enc == "dataframe") {
      return UnsNode(frame_from_group(file_handle, source, obj, path, false));
    }
    return UnsNode(StoredObject{source.string(), path, enc});
  }
  if (k == h5::Kind::Dataset) {
    std::string enc = h5::attr_text(obj, "encoding-type").value_or("");
    h5::TypeInfo ti = h5::type_info(obj);
    if (ti.cls == h5::TypeClass::Compound) {
      return UnsNode(StoredObject{source.string(), path, enc.empty() ? "rec-array" : enc});
    }
    if (ti.cls == h5::TypeClass::Reference || ti.cls == h5::TypeClass::Other) {
      return UnsNode(StoredObject{source.string(), path, enc});
    }
    return UnsNode(h5::read(obj));
  }
  return UnsNode(StoredObject{source.string(), path, ""});
}

// Pre-0.7 files keep categories in uns["<column>_categories"]; anndata moves them into
// the columns when the codes fit, and so do we.
void apply_old_categories(AnnData& ad) {
  std::vector<std::string> used;
  for (auto& key : ad.uns.keys()) {
    const std::string suffix = "_categories";
    if (key.size() <= suffix.size() ||
        key.compare(key.size() - suffix.size(), suffix.size(), suffix))
      continue;
    const UnsNode& node = ad.uns.at(key);
    if (!node.is_array()) continue;
    Array cats = node.array();
    if (cats.is_scalar()) cats.shape = {1};
    std::string name = key.substr(0, key.size() - suffix.size());
    for (DataFrame* df : {&ad.obs, &ad.var}) {
      if (!df->has(name)) continue;
      Column& c = df->col(name);
      if (c.categories || c.values.kind != Array::Kind::Int) continue;
      int64_t n = static_cast<int64_t>(cats.size());
      bool fits =
          std::all_of(c.values.ints.begin(), c.values.ints.end(), [n](int64_t v) { return v < n; });
      if (!fits) continue;
      c.categories = cats;
      used.push_back(key);
    }
  }
  for (auto& key : used) ad.uns.erase(key);
}

}  // namespace

DataFrame read_dataframe(const std::shared_ptr<h5::Handle>& file_handle, const fs::path& source,
                         const std::string& path, bool check_columns) {
  hid_t file = *file_handle;
  h5::Kind k = h5::kind(file, path);
  if (k == h5::Kind::Dataset) return read_compound_frame(file, path);
  if (k != h5::Kind::Group) throw h5::Failure("'" + path + "' is missing");
  return frame_from_group(file_handle, source, h5::open_group(file, path), path, check_columns);
}

namespace {

DataFrame frame_from_group(const std::shared_ptr<h5::Handle>& file_handle, const fs::path& source,
                           hid_t g, const std::string& path, bool check_columns) {
  const std::string index_name = h5::attr_text(g, "_index").value_or("_index");
  h5::Kind index_kind;
  h5::Handle index_ds = h5::open_child(g, index_name, index_kind);
  if (index_kind != h5::Kind::Dataset) {
    throw h5::Failure("'" + path + "' has no index dataset '" + index_name + "'");
  }
  const auto index_dims = h5::shape(index_ds);
  if (index_dims.size() != 1) {
    throw h5::Failure("the index '" + path + "/" + index_name + "' is not one-dimensional");
  }
  const size_t n_rows = index_dims[0];
  std::vector<std::string> order;
  if (h5::has_attr(g, "column-order")) {
    Array co = h5::attr_array(g, "column-order");
    if (co.kind == Array::Kind::String) order = co.strings;
  } else {
    for (auto& name : h5::children(g)) {
      if (name != index_name && name != "__categories") order.push_back(name);
    }
  }
  std::vector<std::pair<std::string, DataFrame::ColumnLoader>> columns;
  for (auto& name : order) {
    const std::string cpath = path + "/" + name;
    if (check_columns && stored_column_length(g, name, cpath) != n_rows) {
      throw h5::Failure("column '" + cpath + "' does not have " + std::to_string(n_rows) +
                        " values");
    }
    columns.emplace_back(name, [file_handle, source, cpath, n_rows] {
      return read_later(source, [&] {
        Column c = read_column(*file_handle, cpath);
        check_column(c, n_rows, cpath);
        return c;
      });
    });
  }
  const std::string ipath = path + "/" + index_name;
  DataFrame df = DataFrame::stored(
      n_rows,
      [file_handle, source, ipath] {
        return read_later(
            source, [&] { return as_texts(h5::read(h5::open_dataset(*file_handle, ipath))); });
      },
      std::move(columns));
  df.index_name = index_name;
  return df;
}

}  // namespace

std::optional<MatrixInfo> matrix_info(hid_t file, const std::string& path) {
  h5::Kind k = h5::kind(file, path);
  MatrixInfo info;
  if (k == h5::Kind::Dataset) {
    h5::Handle ds = h5::open_dataset(file, path);
    auto s = h5::shape(ds);
    h5::TypeInfo ti = h5::type_info(ds);
    if (s.size() != 2 || ti.cls == h5::TypeClass::Compound || ti.cls == h5::TypeClass::String)
      return std::nullopt;
    info.format = MatrixInfo::Format::Dense;
    info.n_rows = s[0];
    info.n_cols = s[1];
    info.dtype = ti.dtype;
    return info;
  }
  if (k != h5::Kind::Group) return std::nullopt;
  h5::Handle g = h5::open_group(file, path);
  std::string enc = h5::attr_text(g, "encoding-type").value_or("");
  std::string old = h5::attr_text(g, "h5sparse_format").value_or("");
  if (enc == "csr_matrix" || (enc.empty() && old == "csr")) {
    info.format = MatrixInfo::Format::CSR;
  } else if (enc == "csc_matrix" || (enc.empty() && old == "csc")) {
    info.format = MatrixInfo::Format::CSC;
  } else {
    return std::nullopt;
  }
  std::string shape_attr = h5::has_attr(g, "shape") ? "shape" : "h5sparse_shape";
  Array shape = h5::attr_array(g, shape_attr);
  if (shape.size() != 2) throw h5::Failure("sparse matrix '" + path + "' has no valid shape");
  auto dim = [&](size_t i) {
    double v =
        shape.kind == Array::Kind::Float ? shape.floats[i] : static_cast<double>(shape.ints[i]);
    if (v < 0) throw h5::Failure("sparse matrix '" + path + "' has a negative shape");
    return static_cast<size_t>(v);
  };
  info.n_rows = dim(0);
  info.n_cols = dim(1);
  h5::Handle data = h5::open_dataset(g, "data");
  info.dtype = h5::type_info(data).dtype;
  auto ds = h5::shape(data);
  info.nnz = ds.empty() ? 0 : ds[0];
  return info;
}

void open_direct_parts(hid_t file, MatrixSource& m) {
  if (!use_direct_reads || m.info.format == MatrixInfo::Format::Dense) return;
  auto direct = DirectFile::of(file);
  if (!direct) return;
  const size_t n_major = m.info.format == MatrixInfo::Format::CSR ? m.info.n_rows : m.info.n_cols;
  m.data_direct = DirectVector::open(direct, m.data);
  m.indices_direct = DirectVector::open(direct, m.indices);
  m.indptr_direct = DirectVector::open(direct, m.indptr);
  // A part shorter than declared is read by HDF5, which reports the damage.
  if (m.data_direct && m.data_direct->size() != m.info.nnz) m.data_direct.reset();
  if (m.indices_direct && m.indices_direct->size() != m.info.nnz) m.indices_direct.reset();
  if (m.indptr_direct && m.indptr_direct->size() != n_major + 1) m.indptr_direct.reset();
}

MatrixSource open_matrix(const AnnData::Backing& b, const std::string& path, bool direct) {
  if (!b.file) throw KeyError("'" + path + "' is not stored in a file");
  hid_t file = *b.file;
  try {
    auto info = matrix_info(file, path);
    if (!info) fail_read(b.path, "'" + path + "' is not a matrix");
    MatrixSource m;
    m.info = *info;
    m.path = path;
    if (info->format == MatrixInfo::Format::Dense) {
      m.dense = h5::open_dataset(file, path);
      return m;
    }
    h5::Handle g = h5::open_group(file, path);
    m.data = h5::open_dataset(g, "data");
    m.indices = h5::open_dataset(g, "indices");
    m.indptr = h5::open_dataset(g, "indptr");
    size_t n_major = info->format == MatrixInfo::Format::CSR ? info->n_rows : info->n_cols;
    auto ip = h5::shape(m.indptr), ix = h5::shape(m.indices);
    if (ip.size() != 1 || ip[0] != n_major + 1) {
      fail_read(b.path, "'" + path + "/indptr' should have length " + std::to_string(n_major + 1));
    }
    if (ix.size() != 1 || ix[0] != info->nnz) {
      fail_read(b.path, "'" + path + "/indices' and '" + path + "/data' differ in length");
    }
    if (direct) open_direct_parts(file, m);
    return m;
  } catch (const h5::Failure& e) {
    fail_read(b.path, std::string("damaged matrix: ") + e.what());
  }
}

DenseMatrix legacy_field_matrix(hid_t file, const std::string& dataset, const std::string& field) {
  h5::Handle ds = h5::open_dataset(file, dataset);
  Array a = h5::read_field(ds, field);
  DenseMatrix m;
  m.n_rows = a.shape.empty() ? 1 : a.shape[0];
  m.n_cols = m.n_rows ? a.size() / m.n_rows : 0;
  m.dtype = a.dtype == "bool" ? "float64" : a.dtype;
  if (a.kind == Array::Kind::Float) {
    m.values = std::move(a.floats);
  } else if (a.kind == Array::Kind::String) {
    throw TypeError("'" + dataset + "/" + field + "' holds text, not numbers");
  } else {
    m.values.assign(a.ints.begin(), a.ints.end());
  }
  return m;
}

DenseMatrix read_dense(hid_t file, const std::string& path) {
  h5::Kind k = h5::kind(file, path);
  auto info = matrix_info(file, path);
  if (k == h5::Kind::Group && !info) {
    throw TypeError(
        "'" + path + "' is not a numeric matrix (it is a " +
        h5::shown(h5::attr_text(h5::open_group(file, path), "encoding-type").value_or("group")) +
        ")");
  }
  DenseMatrix m;
  if (k == h5::Kind::Dataset) {
    h5::Handle ds = h5::open_dataset(file, path);
    Array a = h5::read(ds);
    if (a.kind == Array::Kind::String) throw TypeError("'" + path + "' holds text, not numbers");
    m.n_rows = a.shape.empty() ? 1 : a.shape[0];
    m.n_cols = a.shape.size() >= 2 ? a.size() / std::max<size_t>(m.n_rows, 1) : 1;
    m.dtype = a.kind == Array::Kind::Float ? a.dtype : "float64";
    if (a.kind == Array::Kind::Float) {
      m.values = std::move(a.floats);
    } else {
      m.values.assign(a.ints.begin(), a.ints.end());
    }
    return m;
  }
  // Sparse embeddings are rare and small; densify.
  h5::Handle g = h5::open_group(file, path);
  m.n_rows = info->n_rows;
  m.n_cols = info->n_cols;
  m.dtype = info->dtype.rfind("float", 0) == 0 ? info->dtype : "float64";
  if (m.n_rows && m.n_cols > SIZE_MAX / m.n_rows) {
    throw h5::Failure("sparse matrix '" + path + "' declares an impossible shape");
  }
  h5::check_memory(m.n_rows * m.n_cols, sizeof(double), "'" + path + "'");
  m.values.assign(m.n_rows * m.n_cols, 0.0);
  Array data = h5::read(h5::open_dataset(g, "data"));
  Array indices = h5::read(h5::open_dataset(g, "indices"));
  Array indptr = h5::read(h5::open_dataset(g, "indptr"));
  bool csr = info->format == MatrixInfo::Format::CSR;
  size_t n_major = csr ? m.n_rows : m.n_cols, n_minor = csr ? m.n_cols : m.n_rows;
  if (indptr.ints.size() != n_major + 1 || indices.ints.size() != data.size()) {
    throw h5::Failure("sparse matrix '" + path + "' is malformed");
  }
  for (size_t i = 0; i < n_major; ++i) {
    for (int64_t p = indptr.ints[i]; p < indptr.ints[i + 1]; ++p) {
      if (p < 0 || static_cast<size_t>(p) >= indices.ints.size() || indices.ints[p] < 0 ||
          static_cast<size_t>(indices.ints[p]) >= n_minor) {
        throw h5::Failure("sparse matrix '" + path + "' is malformed");
      }
      size_t j = static_cast<size_t>(indices.ints[p]);
      double v =
          data.kind == Array::Kind::Float ? data.floats[p] : static_cast<double>(data.ints[p]);
      (csr ? m.values[i * m.n_cols + j] : m.values[j * m.n_cols + i]) = v;
    }
  }
  return m;
}

}  // namespace detail

std::shared_ptr<AnnData> AnnData::read_h5ad(const fs::path& path) {
  // The real cause, before HDF5 sees the path: it would call an unreadable file "not HDF5"
  // and wait forever on a FIFO.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) detail::fail_read(path, "no such file");
    detail::fail_read(path, std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) detail::fail_read(path, "it is a folder, not an .h5ad file");
  if (!S_ISREG(st.st_mode)) {
    detail::fail_read(path, std::string("not a regular file (it is a ") +
                                (S_ISFIFO(st.st_mode)   ? "pipe"
                                 : S_ISSOCK(st.st_mode) ? "socket"
                                                        : "device") +
                                ")");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) detail::fail_read(path, std::strerror(errno));
  ::close(fd);
  if (!h5::is_hdf5(path)) detail::fail_read(path, "not an HDF5 file");
  auto ad = std::make_shared<AnnData>();
  ad->source_ = path;
  auto& b = detail::writable_backing(*ad);
  b.path = path;
  try {
    b.file = std::make_shared<h5::Handle>(h5::open_read(path));
    hid_t f = *b.file;
    h5::Kind obs = h5::kind(f, "obs"), var = h5::kind(f, "var");
    if (obs == h5::Kind::Missing || var == h5::Kind::Missing) {
      detail::fail_read(path, "the HDF5 file is not an AnnData dataset (no 'obs' and 'var')");
    }
    b.legacy = obs == h5::Kind::Dataset;
    ad->obs = detail::read_dataframe(b.file, path, "obs", true);
    ad->var = detail::read_dataframe(b.file, path, "var", true);
    if (h5::kind(f, "uns") == h5::Kind::Group) {
      h5::Handle uns = h5::open_group(f, "uns");
      detail::UnsWalk walk;
      ad->uns = detail::read_uns_node(path, b.file, uns, h5::Kind::Group, "uns", walk).dict();
    }
    if (b.legacy) detail::apply_old_categories(*ad);

    h5::Kind obsm = h5::kind(f, "obsm");
    if (obsm == h5::Kind::Group) {
      b.obsm_order = h5::children(h5::open_group(f, "obsm"));
    } else if (obsm == h5::Kind::Dataset) {
      b.obsm_order = h5::fields(h5::open_dataset(f, "obsm"));
      b.obsm_compound = true;
    }
    if (auto x = detail::matrix_info(f, "X")) {
      if (x->n_rows != ad->n_obs() || x->n_cols != ad->n_vars()) {
        detail::fail_read(path, "X has shape (" + std::to_string(x->n_rows) + ", " +
                                    std::to_string(x->n_cols) + ") but obs and var have " +
                                    std::to_string(ad->n_obs()) + " and " +
                                    std::to_string(ad->n_vars()) + " rows");
      }
    }
  } catch (const FileError&) {
    throw;
  } catch (const h5::Failure& e) {
    detail::fail_read(path, std::string("damaged or unreadable file: ") + e.what());
  } catch (const std::exception& e) {
    detail::fail_read(path, std::string("damaged or unreadable file: ") + e.what());
  }
  return ad;
}

}  // namespace norvex
