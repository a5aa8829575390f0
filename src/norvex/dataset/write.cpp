// Writing .h5ad in the anndata 0.8 encoding: tables and uns from memory, untouched
// matrices copied across inside HDF5.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <set>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/external_matrix.hpp"
#include "norvex/dataset/matrix_storage.hpp"
#include "norvex/dataset/temp_files.hpp"

namespace norvex {

namespace fs = std::filesystem;

namespace {

bool is_compound_dataset(hid_t file, const std::string& path) {
  if (h5::kind(file, path) != h5::Kind::Dataset) return false;
  h5::Handle ds = h5::open_dataset(file, path);
  return h5::type_info(ds).cls == h5::TypeClass::Compound;
}

// HDF5 reads '/' as a path separator: anndata would silently turn "a/b" into a nested
// entry, so such names are refused instead.
void check_name(const std::string& name, const std::string& what) {
  if (name.empty()) throw ValueError(what + " name is empty and cannot be stored in .h5ad");
  if (name.find('/') != std::string::npos) {
    throw ValueError(what + " '" + name + "' cannot be stored in .h5ad: names may not contain '/'");
  }
  if (name == "." || name == "..")
    throw ValueError(what + " '" + name + "' cannot be stored in .h5ad");
}

void write_array(hid_t loc, const std::string& name, const Array& a) {
  h5::write(loc, name, a);
  h5::Handle ds = h5::open_dataset(loc, name);
  bool str = a.kind == Array::Kind::String;
  if (a.is_scalar()) {
    h5::set_encoding(ds, str ? "string" : "numeric-scalar", "0.2.0");
  } else {
    h5::set_encoding(ds, str ? "string-array" : "array", "0.2.0");
  }
}

Array mask_array(const std::vector<uint8_t>& mask) {
  return Array::of_bools(std::vector<bool>(mask.begin(), mask.end()));
}

void write_column(hid_t frame, const std::string& name, const Column& c) {
  if (c.categories) {
    h5::Handle g = h5::create_group(frame, name);
    h5::set_encoding(g, "categorical", "0.2.0");
    h5::set_attr_bool(g, "ordered", c.ordered);
    Array codes = c.values;
    if (codes.kind != Array::Kind::Int) throw ValueError("categorical codes must be integers");
    write_array(g, "codes", codes);
    write_array(g, "categories", *c.categories);
    return;
  }
  if (c.mask) {
    h5::Handle g = h5::create_group(frame, name);
    std::string enc = c.values.kind == Array::Kind::Bool     ? "nullable-boolean"
                      : c.values.kind == Array::Kind::String ? "nullable-string-array"
                                                             : "nullable-integer";
    h5::set_encoding(g, enc, "0.1.0");
    write_array(g, "values", c.values);
    write_array(g, "mask", mask_array(*c.mask));
    return;
  }
  write_array(frame, name, c.values);
}

void write_dense(hid_t loc, const std::string& name, const DenseMatrix& m) {
  if (m.values.size() != m.n_rows * m.n_cols) {
    throw ValueError("matrix '" + name + "' has " + std::to_string(m.values.size()) +
                     " values, expected " + std::to_string(m.n_rows * m.n_cols));
  }
  std::string dtype = m.dtype.empty() ? "float64" : m.dtype;
  h5::write_doubles(loc, name, m.values.data(), {m.n_rows, m.n_cols}, dtype);
  h5::Handle ds = h5::open_dataset(loc, name);
  h5::set_encoding(ds, "array", "0.2.0");
}

void check_sparse(const SparseMatrix& m, const std::string& name) {
  size_t n_major = m.format == SparseMatrix::Format::CSR ? m.n_rows : m.n_cols;
  size_t n_minor = m.format == SparseMatrix::Format::CSR ? m.n_cols : m.n_rows;
  if (m.indptr.size() != n_major + 1 || m.indptr.front() != 0 ||
      static_cast<size_t>(m.indptr.back()) != m.indices.size() ||
      m.indices.size() != m.data.size()) {
    throw ValueError("sparse matrix '" + name +
                     "' is malformed (indptr, indices and data disagree)");
  }
  for (size_t i = 0; i + 1 < m.indptr.size(); ++i) {
    if (m.indptr[i] > m.indptr[i + 1]) {
      throw ValueError("sparse matrix '" + name + "' has a decreasing indptr");
    }
  }
  for (int64_t j : m.indices) {
    if (j < 0 || static_cast<size_t>(j) >= n_minor) {
      throw ValueError("sparse matrix '" + name + "' has an index out of range");
    }
  }
}

std::string index_dtype(size_t max_value) {
  return max_value < (size_t{1} << 31) - 1 ? "int32" : "int64";
}

void write_sparse(hid_t loc, const std::string& name, const SparseMatrix& m) {
  check_sparse(m, name);
  h5::Handle g = h5::create_group(loc, name);
  bool csr = m.format == SparseMatrix::Format::CSR;
  h5::set_encoding(g, csr ? "csr_matrix" : "csc_matrix", "0.1.0");
  h5::set_attr_ints(g, "shape", {static_cast<int64_t>(m.n_rows), static_cast<int64_t>(m.n_cols)});
  h5::write_floats(g, "data", m.data.data(), m.data.size(), m.dtype.empty() ? "float32" : m.dtype);
  h5::write_ints(g, "indices", m.indices.data(), m.indices.size(),
                 index_dtype(std::max(m.n_rows, m.n_cols)));
  h5::write_ints(g, "indptr", m.indptr.data(), m.indptr.size(), index_dtype(m.data.size()));
}

// Old files mark sparse groups with h5sparse attributes only; give copies the encoding
// attributes anndata 0.8 looks for.
void fix_old_sparse(hid_t dst, const std::string& path) {
  if (h5::kind(dst, path) != h5::Kind::Group) return;
  h5::Handle g = h5::open_group(dst, path);
  if (h5::has_attr(g, "encoding-type")) return;
  auto fmt = h5::attr_text(g, "h5sparse_format");
  if (!fmt) return;
  h5::set_encoding(g, *fmt == "csc" ? "csc_matrix" : "csr_matrix", "0.1.0");
  if (h5::has_attr(g, "h5sparse_shape")) {
    Array shape = h5::attr_array(g, "h5sparse_shape");
    std::vector<int64_t> s = shape.kind == Array::Kind::Float
                                 ? std::vector<int64_t>(shape.floats.begin(), shape.floats.end())
                                 : shape.ints.to_vector();
    h5::set_attr_ints(g, "shape", s);
  }
}

// by_parts: when the disk may fill up, copy by hand (HDF5's object copy can crash then);
// what holds references still needs the object copy, which keeps them pointing right.
void copy_element(hid_t src, const std::string& src_path, hid_t dst, const std::string& dst_path,
                  bool by_parts = false) {
  if (by_parts && !h5::holds_references(src, src_path))
    h5::copy_by_parts(src, src_path, dst, dst_path);
  else
    h5::copy(src, src_path, dst, dst_path);
  fix_old_sparse(dst, dst_path);
}

void write_dataframe(hid_t loc, const std::string& name, const DataFrame& df) {
  std::string index_name = df.index_name.empty() ? "_index" : df.index_name;
  check_name(index_name, "index of '" + name + "'");
  for (auto& c : df.columns()) {
    check_name(c, "column of '" + name + "'");
    if (c == index_name) {
      throw ValueError("DataFrame '" + name + "' has a column named like its index ('" + c + "')");
    }
    if (df.col(c).size() != df.n_rows()) {
      throw ValueError("column '" + c + "' of '" + name + "' has the wrong length");
    }
  }
  h5::Handle g = h5::create_group(loc, name);
  h5::set_encoding(g, "dataframe", "0.2.0");
  h5::set_attr_text(g, "_index", index_name);
  h5::set_attr_texts(g, "column-order", df.columns());
  write_array(g, index_name, Array::of_strings(df.index()));
  for (auto& c : df.columns()) write_column(g, c, df.col(c));
}

struct Writer {
  hid_t dst;
  const AnnData& ad;
  const AnnData::Backing* b;    // null for a dataset built in memory
  bool short_of_space = false;  // copy matrices by hand, a slab at a time
  hid_t src() const { return b && b->file ? b->file->get() : -1; }

  void write_uns_node(hid_t loc, const std::string& name, const UnsNode& node) {
    const auto& v = node.value();
    if (auto* d = std::get_if<UnsDict>(&v)) {
      h5::Handle g = h5::create_group(loc, name);
      h5::set_encoding(g, "dict", "0.1.0");
      for (auto& k : d->keys()) {
        check_name(k, "uns key");
        write_uns_node(g, k, d->at(k));
      }
    } else if (auto* t = std::get_if<DataFrame>(&v)) {
      write_dataframe(loc, name, *t);
    } else if (auto* a = std::get_if<Array>(&v)) {
      write_array(loc, name, *a);
    } else if (auto* m = std::get_if<SparseMatrix>(&v)) {
      write_sparse(loc, name, *m);
    } else if (auto* o = std::get_if<StoredObject>(&v)) {
      copy_stored(*o, loc, name);
    }
    // Null entries have no stored form (anndata cannot store None either).
  }

  void copy_stored(const StoredObject& o, hid_t loc, const std::string& name) {
    if (b && b->file && fs::path(o.file) == b->path) {
      copy_element(*b->file, o.path, loc, name);
      return;
    }
    h5::Handle other = h5::open_read(o.file);
    copy_element(other, o.path, loc, name);
  }

  h5::Handle dict_group(const std::string& name) {
    h5::Handle g = h5::create_group(dst, name);
    h5::set_encoding(g, "dict", "0.1.0");
    return g;
  }

  // varm/obsp/varp/layers: copied member by member so old layouts get encoding attrs.
  void copy_mapping(const std::string& name) {
    h5::Handle out = dict_group(name);
    if (src() < 0) return;
    h5::Kind k = h5::kind(src(), name);
    if (k == h5::Kind::Dataset && is_compound_dataset(src(), name)) {
      h5::Handle ds = h5::open_dataset(src(), name);
      for (auto& f : h5::fields(ds)) {
        write_dense(out, f, detail::legacy_field_matrix(src(), name, f));
      }
      return;
    }
    if (k != h5::Kind::Group) return;
    h5::Handle g = h5::open_group(src(), name);
    for (auto& key : h5::children(g)) copy_member(name + "/" + key, out, key);
  }

  void copy_member(const std::string& src_path, hid_t out, const std::string& key) {
    // Data frames of the 0.7 layout are rewritten so categories need no references.
    if (h5::kind(src(), src_path) == h5::Kind::Group) {
      h5::Handle g = h5::open_group(src(), src_path);
      if (h5::attr_text(g, "encoding-type").value_or("") == "dataframe" &&
          h5::kind(src(), src_path + "/__categories") == h5::Kind::Group) {
        write_dataframe(out, key, detail::read_dataframe(b->file, b->path, src_path, false));
        return;
      }
    }
    copy_element(src(), src_path, out, key, short_of_space);
  }

  void write_obsm() {
    h5::Handle out = dict_group("obsm");
    for (auto& key : b ? b->obsm_order : std::vector<std::string>{}) {
      auto mem = b->obsm_mem.find(key);
      if (mem != b->obsm_mem.end()) {
        check_name(key, "obsm key");
        if (mem->second.n_rows != ad.n_obs()) {
          throw ValueError("obsm['" + key + "'] has " + std::to_string(mem->second.n_rows) +
                           " rows, expected " + std::to_string(ad.n_obs()));
        }
        write_dense(out, key, mem->second);
      } else if (auto ext = b->obsm_external.find(key); ext != b->obsm_external.end()) {
        check_name(key, "obsm key");
        write_dense(out, key, ext->second->dense());
      } else if (b->obsm_compound) {
        write_dense(out, key, detail::legacy_field_matrix(src(), "obsm", key));
      } else {
        copy_member("obsm/" + key, out, key);
      }
    }
  }

  // Layers of an adopted dataset, beside any copied from the source file.
  void write_external_layers() {
    if (!b || b->layer_order.empty()) return;
    h5::Handle out = h5::open_group(dst, "layers");
    for (const auto& key : b->layer_order) {
      check_name(key, "layer name");
      write_sparse(out, key, detail::external_as_csr(*b->layers_external.at(key)));
    }
  }

  void write_X() {
    // Only a matrix held in memory (ours or the owner's) is written from there; one in
    // the source file is copied across as it is stored.
    const auto x = b && (b->x_mem || b->x_external) ? detail::x_storage(ad) : nullptr;
    if (x) {
      const MatrixInfo info = x->info();
      if (info.n_rows != ad.n_obs() || info.n_cols != ad.n_vars()) {
        throw ValueError("X has shape (" + std::to_string(info.n_rows) + ", " +
                         std::to_string(info.n_cols) + "), expected (" +
                         std::to_string(ad.n_obs()) + ", " + std::to_string(ad.n_vars()) + ")");
      }
      write_sparse(dst, "X", *x->to_write());
      return;
    }
    if (src() >= 0 && h5::kind(src(), "X") != h5::Kind::Missing)
      copy_element(src(), "X", dst, "X", short_of_space);
  }

  void write_raw() {
    if (b && b->raw_x_external) {
      h5::Handle raw = h5::create_group(dst, "raw");
      h5::set_encoding(raw, "raw", "0.1.0");
      write_sparse(raw, "X", detail::external_as_csr(*b->raw_x_external));
      write_dataframe(raw, "var", *b->raw_var_external);
      h5::Handle varm = h5::create_group(raw, "varm");
      h5::set_encoding(varm, "dict", "0.1.0");
      return;
    }
    if (src() < 0) return;
    if (h5::kind(src(), "raw") == h5::Kind::Group) {
      copy_element(src(), "raw", dst, "raw", short_of_space);
      return;
    }
    if (h5::kind(src(), "raw.X") == h5::Kind::Missing) return;
    // The old layout keeps raw as "raw.X", "raw.var" and "raw.varm" beside the root.
    h5::Handle raw = h5::create_group(dst, "raw");
    h5::set_encoding(raw, "raw", "0.1.0");
    copy_element(src(), "raw.X", raw, "X");
    if (h5::kind(src(), "raw.var") != h5::Kind::Missing) {
      write_dataframe(raw, "var", detail::read_dataframe(b->file, b->path, "raw.var", false));
    }
    h5::Handle varm = h5::create_group(raw, "varm");
    h5::set_encoding(varm, "dict", "0.1.0");
    if (is_compound_dataset(src(), "raw.varm")) {
      h5::Handle ds = h5::open_dataset(src(), "raw.varm");
      for (auto& f : h5::fields(ds))
        write_dense(varm, f, detail::legacy_field_matrix(src(), "raw.varm", f));
    }
  }

  void write_all(bool with_X) {
    h5::set_encoding(dst, "anndata", "0.1.0");
    write_dataframe(dst, "obs", ad.obs);
    write_dataframe(dst, "var", ad.var);
    if (with_X) write_X();
    copy_mapping("layers");
    write_external_layers();
    write_obsm();
    copy_mapping("varm");
    copy_mapping("obsp");
    copy_mapping("varp");
    write_raw();
    h5::Handle uns = dict_group("uns");
    for (auto& k : ad.uns.keys()) {
      check_name(k, "uns key");
      write_uns_node(uns, k, ad.uns.at(k));
    }
    // Anything else the source holds at the top level travels along unchanged.
    if (src() >= 0) {
      static const std::set<std::string> known = {"obs",   "var",     "X",        "layers", "obsm",
                                                  "varm",  "obsp",    "varp",     "raw",    "uns",
                                                  "raw.X", "raw.var", "raw.varm", "raw.cat"};
      h5::Handle root = h5::open_group(src(), "/");
      for (auto& name : h5::children(root)) {
        if (!known.count(name)) copy_element(src(), name, dst, name);
      }
    }
  }
};

fs::path temp_path_for(const fs::path& target) {
  static std::atomic<int> counter{0};
  sweep_stale_temporaries(target);
  fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  return dir / ("." + target.filename().string() + ".tmp-" + std::to_string(getpid()) + "-" +
                std::to_string(counter++));
}

[[noreturn]] void fail_write(const fs::path& path, const std::string& problem) {
  throw FileError("Cannot write '" + path.string() + "': " + problem);
}

fs::path folder_of(const fs::path& path) {
  return path.parent_path().empty() ? fs::path(".") : path.parent_path();
}

std::string megabytes(std::uintmax_t bytes) {
  return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MB";
}

// About what the written file takes: the source file (its groups are copied across), X or
// embeddings held in memory, and a margin for the tables, uns and HDF5's own records.
std::uintmax_t expected_size(const AnnData& ad, const AnnData::Backing* b) {
  std::uintmax_t n = std::uintmax_t{1} << 20;
  n += (ad.n_obs() + ad.n_vars()) * (ad.obs.columns().size() + ad.var.columns().size() + 1) * 8;
  if (!b) return n;
  std::error_code ec;
  if (!b->path.empty()) {
    const std::uintmax_t source = fs::file_size(b->path, ec);
    if (!ec) n += source;
  }
  if (b->x_mem) n += b->x_mem->data.size() * 12 + b->x_mem->indptr.size() * 8;
  if (b->x_external) {
    const MatrixInfo info = b->x_external->info();
    n += info.format == MatrixInfo::Format::Dense ? info.n_rows * info.n_cols * 8
                                                  : info.nnz * 12 + info.n_rows * 8;
  }
  for (const auto& [key, m] : b->obsm_mem) n += m.values.size() * 8;
  for (const auto& [key, m] : b->obsm_external) {
    const MatrixInfo info = m->info();
    n += info.n_rows * info.n_cols * 8;
  }
  return n;
}

[[noreturn]] void fail_no_space(const fs::path& path, std::uintmax_t needed, std::uintmax_t free) {
  fail_write(path, "not enough space on its disk (about " + megabytes(needed) + " needed, " +
                       megabytes(free) + " free)");
}

void check_target(const fs::path& path) {
  fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) fail_write(path, "folder '" + dir.string() + "' does not exist");
  if (fs::is_directory(path, ec)) fail_write(path, "it is a folder");
  // A device or a FIFO would be replaced by the rename (or block the writer): only a
  // regular file, or a link to one, is ever written over.
  const fs::file_status st = fs::status(path, ec);
  if (fs::exists(st) && !fs::is_regular_file(st))
    fail_write(path, "it exists and is not a regular file");
}

}  // namespace

void AnnData::write_h5ad(const fs::path& path) const {
  check_target(path);
  const std::uintmax_t needed = expected_size(*this, backing_.get());
  const std::uintmax_t free = free_space(folder_of(path));
  if (free < needed) fail_no_space(path, needed, free);
  fs::path tmp = temp_path_for(path);
  struct Registered {
    int slot;
    ~Registered() { detail::unregister_temporary(slot); }
  } registered{detail::register_temporary(tmp)};
  try {
    {
      h5::Handle file = h5::create_file(tmp);
      try {
        Writer w{file, *this, backing_.get()};
        // Room for less than two copies: the estimate may be short, so X and the other
        // matrices go by hand and a full disk is an error, never a crash.
        w.short_of_space = free / 2 < needed;
        w.write_all(true);
        h5::flush(file);
      } catch (...) {
        // Emptied before HDF5 closes it: on a full disk its last records could not be
        // written, and a failed close leaves the library to crash at exit.
        std::error_code ec;
        fs::resize_file(tmp, 0, ec);
        throw;
      }
    }
    std::error_code ec;
    // The source may be the target: it stays readable through its open handle, and the
    // rename replaces it only once the new file is complete.
    fs::rename(tmp, path, ec);
    if (ec) fail_write(path, ec.message());
  } catch (const h5::Failure& e) {
    // Whether the disk filled up is told before the temporary gives its space back (and
    // from the disk itself: HDF5 does not always leave errno as the failed write set it).
    std::error_code space_ec;
    const fs::space_info left = fs::space(folder_of(path), space_ec);
    const bool full = errno == ENOSPC || (!space_ec && left.available < (std::uintmax_t{1} << 16));
    std::error_code ec;
    fs::remove(tmp, ec);
    if (full) fail_write(path, "not enough space on its disk (" + std::string(e.what()) + ")");
    fail_write(path, e.what());
  } catch (...) {
    std::error_code ec;
    fs::remove(tmp, ec);
    throw;
  }
}

// ---------------------------------------------------------------- streaming writer

struct H5adStreamWriter::Impl {
  fs::path path, tmp;
  int temp_slot = -1;
  ~Impl() { detail::unregister_temporary(temp_slot); }
  h5::Handle file, x, data, indices;
  std::vector<int64_t> indptr{0};
  size_t n_obs = 0, n_vars = 0;
  bool closed = false;
};

H5adStreamWriter::H5adStreamWriter(const fs::path& path, const AnnData& meta,
                                   const std::string& x_dtype)
    : impl_(std::make_unique<Impl>()) {
  check_target(path);
  impl_->path = path;
  impl_->tmp = temp_path_for(path);
  impl_->temp_slot = detail::register_temporary(impl_->tmp);
  impl_->n_obs = meta.n_obs();
  impl_->n_vars = meta.n_vars();
  try {
    impl_->file = h5::create_file(impl_->tmp);
    Writer w{impl_->file, meta, meta.backing_.get()};
    w.write_all(false);
    impl_->x = h5::create_group(impl_->file, "X");
    h5::set_encoding(impl_->x, "csr_matrix", "0.1.0");
    h5::set_attr_ints(impl_->x, "shape",
                      {static_cast<int64_t>(impl_->n_obs), static_cast<int64_t>(impl_->n_vars)});
    impl_->data = h5::create_growing(impl_->x, "data", x_dtype);
    impl_->indices = h5::create_growing(impl_->x, "indices", index_dtype(impl_->n_vars));
  } catch (...) {
    fs::path tmp = impl_->tmp;
    impl_.reset();  // closes the half-written file before it is removed
    std::error_code ec;
    fs::remove(tmp, ec);
    try {
      throw;
    } catch (const h5::Failure& e) {
      fail_write(path, e.what());
    }
  }
}

H5adStreamWriter::~H5adStreamWriter() {
  if (!impl_ || impl_->closed) return;
  // Not closed: the file is incomplete and must not appear under its name.
  impl_->data = h5::Handle();
  impl_->indices = h5::Handle();
  impl_->x = h5::Handle();
  impl_->file = h5::Handle();
  std::error_code ec;
  fs::remove(impl_->tmp, ec);
}

void H5adStreamWriter::append_rows(const SparseMatrix& rows) {
  if (!impl_ || impl_->closed) throw ValueError("H5adStreamWriter is closed");
  if (rows.format != SparseMatrix::Format::CSR) throw ValueError("append_rows needs CSR rows");
  if (rows.n_cols != impl_->n_vars) {
    throw ValueError("appended rows have " + std::to_string(rows.n_cols) + " columns, expected " +
                     std::to_string(impl_->n_vars));
  }
  size_t done = impl_->indptr.size() - 1;
  if (done + rows.n_rows > impl_->n_obs) {
    throw ValueError("more rows appended than the " + std::to_string(impl_->n_obs) +
                     " cells of the dataset");
  }
  check_sparse(rows, "X rows");
  try {
    h5::append(impl_->data, rows.data.data(), rows.data.size());
    h5::append(impl_->indices, rows.indices.data(), rows.indices.size());
  } catch (const h5::Failure& e) {
    fail_write(impl_->path, e.what());
  }
  int64_t base = impl_->indptr.back();
  for (size_t i = 1; i < rows.indptr.size(); ++i) impl_->indptr.push_back(base + rows.indptr[i]);
}

void H5adStreamWriter::close() {
  if (!impl_ || impl_->closed) return;
  size_t done = impl_->indptr.size() - 1;
  if (done != impl_->n_obs) {
    throw ValueError("H5adStreamWriter got " + std::to_string(done) + " rows, expected " +
                     std::to_string(impl_->n_obs));
  }
  try {
    h5::write_ints(impl_->x, "indptr", impl_->indptr.data(), impl_->indptr.size(),
                   index_dtype(static_cast<size_t>(impl_->indptr.back())));
    impl_->data = h5::Handle();
    impl_->indices = h5::Handle();
    impl_->x = h5::Handle();
    h5::flush(impl_->file);
    impl_->file = h5::Handle();
  } catch (const h5::Failure& e) {
    fail_write(impl_->path, e.what());
  }
  std::error_code ec;
  fs::rename(impl_->tmp, impl_->path, ec);
  if (ec) fail_write(impl_->path, ec.message());
  impl_->closed = true;
}

}  // namespace norvex
