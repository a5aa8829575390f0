// The gene-major index: built pass by pass from the file's own matrix, checked on every
// open, read through the same stored-matrix code as any CSC matrix.
#include "norvex/dataset/gene_index.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/matrix_storage.hpp"
#include "norvex/dataset/temp_files.hpp"

namespace norvex {

namespace fs = std::filesystem;

namespace {

// Bumped whenever the index layout changes: an older index is then foreign.
constexpr int64_t kIndexVersion = 1;
constexpr size_t kRowsPerChunk = 8192;

struct Hasher {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  void bytes(const void* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      h ^= static_cast<const unsigned char*>(p)[i];
      h *= 1099511628211ull;
    }
  }
  void text(const std::string& s) {
    bytes(s.data(), s.size());
    value(s.size());
  }
  template <class T>
  void value(T v) {
    bytes(&v, sizeof v);
  }
  std::string hex() const {
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
  }
};

struct SourceId {
  std::string path;
  int64_t size = 0, mtime_ns = 0;
};

std::optional<SourceId> source_id(const fs::path& file) {
  std::error_code ec;
  const fs::path canonical = fs::canonical(file, ec);
  if (ec) return std::nullopt;
  struct stat st {};
  if (stat(canonical.c_str(), &st) != 0) return std::nullopt;
  return SourceId{canonical.string(), static_cast<int64_t>(st.st_size),
                  static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

// The cell-major matrices of the file that an index covers: X and raw X.
std::vector<std::string> indexable_paths(hid_t file) {
  std::vector<std::string> out;
  for (const char* p : {"X", "raw/X", "raw.X"}) {
    if (h5::kind(file, p) == h5::Kind::Missing) continue;
    auto info = detail::matrix_info(file, p);
    if (info && info->format != MatrixInfo::Format::CSC) out.push_back(p);
  }
  return out;
}

// What a rewrite of the matrix would change: its shape and types, where its parts are
// stored, and a sample of its row pointers.
std::string layout_hash(const AnnData::Backing& b, const std::string& path) {
  const detail::MatrixSource m = detail::open_matrix(b, path, false);
  auto l = h5::lock();
  Hasher h;
  h.value(static_cast<int>(m.info.format));
  h.value(m.info.n_rows);
  h.value(m.info.n_cols);
  h.value(m.info.nnz);
  h.text(m.info.dtype);
  auto where = [&](hid_t ds) {
    h.value(static_cast<uint64_t>(H5Dget_offset(ds)));
    h.value(static_cast<uint64_t>(H5Dget_storage_size(ds)));
  };
  if (m.info.format == MatrixInfo::Format::Dense) {
    where(m.dense);
  } else {
    where(m.data);
    where(m.indices);
    where(m.indptr);
    const size_t n = h5::shape(m.indptr)[0];
    for (size_t k = 0; k <= 64 && n > 0; ++k) {
      int64_t v = 0;
      h5::read_range(m.indptr, (n - 1) * k / 64, 1, &v);
      h.value(v);
    }
  }
  return h.hex();
}

std::string indptr_hash(const std::vector<int64_t>& ip) {
  Hasher h;
  h.bytes(ip.data(), ip.size() * sizeof(int64_t));
  return h.hex();
}

int64_t int_attr(hid_t obj, const char* name) {
  Array a = h5::attr_array(obj, name);
  if (a.kind != Array::Kind::Int || a.size() != 1) throw h5::Failure("bad attribute");
  return a.ints[0];
}

// Reads genes from the index, and everything else (and, should the index fail mid-way,
// the genes too) from the file itself.
class IndexedStorage : public detail::MatrixStorage {
 public:
  IndexedStorage(std::unique_ptr<MatrixStorage> direct, std::unique_ptr<MatrixStorage> index)
      : direct_(std::move(direct)), index_(std::move(index)) {}
  MatrixInfo info() const override { return direct_->info(); }
  void row_chunks(size_t rows_per_chunk, const RowChunkFn& fn) const override {
    direct_->row_chunks(rows_per_chunk, fn);
  }
  std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const override {
    try {
      return index_->columns(cols);
    } catch (const FileError&) {
      return direct_->columns(cols);
    }
  }

 private:
  std::unique_ptr<MatrixStorage> direct_, index_;
};

// The index's copy of the matrix at `path`, when every check passes.
std::unique_ptr<detail::MatrixStorage> open_index(const AnnData::Backing& b,
                                                  const std::string& path,
                                                  const MatrixInfo& source) {
  const fs::path index_path = gene_index_path(b.path);
  std::error_code ec;
  if (!fs::is_regular_file(index_path, ec)) return nullptr;
  const auto id = source_id(b.path);
  if (!id || !h5::is_hdf5(index_path)) return nullptr;
  auto file = std::make_shared<h5::Handle>(h5::open_read(index_path));
  if (int_attr(*file, "norvex-gene-index") != kIndexVersion ||
      h5::attr_text(*file, "source_path") != id->path ||
      int_attr(*file, "source_size") != id->size ||
      int_attr(*file, "source_mtime_ns") != id->mtime_ns)
    return nullptr;
  if (h5::kind(*file, path) != h5::Kind::Group) return nullptr;
  if (h5::attr_text(h5::open_group(*file, path), "source_hash") != layout_hash(b, path))
    return nullptr;

  AnnData::Backing ib;
  ib.path = index_path;
  ib.file = file;
  const detail::MatrixSource m = detail::open_matrix(ib, path);
  if (m.info.format != MatrixInfo::Format::CSC || m.info.n_rows != source.n_rows ||
      m.info.n_cols != source.n_cols ||
      (source.format != MatrixInfo::Format::Dense && m.info.nnz != source.nnz))
    return nullptr;
  // Placed parts are known to lie wholly inside the file: a truncated index fails here.
  if (detail::use_direct_reads && !(m.indptr_direct && m.indices_direct && m.data_direct))
    return nullptr;
  std::vector<int64_t> ip(m.info.n_cols + 1);
  h5::read_range(m.indptr, 0, ip.size(), ip.data());
  if (h5::attr_text(h5::open_group(*file, path), "indptr_hash") != indptr_hash(ip)) return nullptr;
  return detail::file_storage(file, index_path, path);
}

// One matrix into the index, as CSC: a counting pass, then passes over blocks of genes
// whose values fit the budget, each filled from one scan of the rows.
void write_index_matrix(hid_t out, const AnnData::Backing& b, const std::string& path,
                        const GeneIndexOptions& options, size_t& done, size_t total) {
  const auto direct = detail::file_storage(b.file, b.path, path);
  const MatrixInfo info = direct->info();
  if (info.n_rows > static_cast<size_t>(INT32_MAX))
    throw ValueError("'" + path + "' has too many rows for a gene index");
  std::vector<int64_t> ip(info.n_cols + 1, 0);
  direct->row_chunks(kRowsPerChunk, [&](const RowChunk& ch) {
    for (int64_t c : ch.rows.indices) ++ip[static_cast<size_t>(c) + 1];
  });
  for (size_t c = 0; c < info.n_cols; ++c) ip[c + 1] += ip[c];
  const size_t nnz = static_cast<size_t>(ip.back());

  if (path.find('/') != std::string::npos) {
    const std::string parent = path.substr(0, path.find('/'));
    if (h5::kind(out, parent) == h5::Kind::Missing) h5::create_group(out, parent);
  }
  h5::Handle g = h5::create_group(out, path);
  h5::set_encoding(g, "csc_matrix", "0.1.0");
  h5::set_attr_ints(g, "shape",
                    {static_cast<int64_t>(info.n_rows), static_cast<int64_t>(info.n_cols)});
  h5::set_attr_text(g, "source_hash", layout_hash(b, path));
  h5::set_attr_text(g, "indptr_hash", indptr_hash(ip));
  h5::write_ints(g, "indptr", ip.data(), ip.size(), "int64");
  h5::Handle indices = h5::create_fixed(g, "indices", "int32", nnz);
  h5::Handle data = h5::create_fixed(g, "data", "float32", nnz);

  const size_t budget = std::max<size_t>(options.pass_entries, 1);
  std::vector<int32_t> rows;
  std::vector<float> values;
  std::vector<int64_t> next;
  for (size_t c0 = 0; c0 < info.n_cols;) {
    size_t c1 = c0 + 1;
    while (c1 < info.n_cols && static_cast<size_t>(ip[c1 + 1] - ip[c0]) <= budget) ++c1;
    const int64_t base = ip[c0];
    const size_t count = static_cast<size_t>(ip[c1] - base);
    rows.resize(count);
    values.resize(count);
    next.assign(ip.begin() + static_cast<std::ptrdiff_t>(c0),
                ip.begin() + static_cast<std::ptrdiff_t>(c1));
    direct->row_chunks(kRowsPerChunk, [&](const RowChunk& ch) {
      for (size_t r = 0; r < ch.rows.n_rows; ++r) {
        for (int64_t p = ch.rows.indptr[r]; p < ch.rows.indptr[r + 1]; ++p) {
          const size_t c = static_cast<size_t>(ch.rows.indices[p]);
          if (c < c0 || c >= c1) continue;
          const size_t at = static_cast<size_t>(next[c - c0]++ - base);
          rows[at] = static_cast<int32_t>(ch.row_begin + r);
          values[at] = ch.rows.data[p];
        }
      }
    });
    h5::write_range(indices, static_cast<size_t>(base), count, rows.data());
    h5::write_range(data, static_cast<size_t>(base), count, values.data());
    done += count;
    if (options.progress) options.progress(total ? static_cast<double>(done) / total : 1.0);
    c0 = c1;
  }
}

}  // namespace

fs::path gene_index_folder() {
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg && fs::path(xdg).is_absolute()) return fs::path(xdg) / "norvex";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/tmp") / ".cache" / "norvex";
}

fs::path gene_index_path(const fs::path& source) {
  std::error_code ec;
  fs::path canonical = fs::weakly_canonical(fs::absolute(source, ec), ec);
  Hasher h;
  h.text(canonical.string());
  return gene_index_folder() / (source.stem().string() + "-" + h.hex() + ".gene-index.h5");
}

bool has_gene_index(const AnnData& adata) {
  if (!adata.backing_ || !adata.backing_->file) return false;
  try {
    if (h5::kind(*adata.backing_->file, "X") == h5::Kind::Missing) return false;
    const MatrixInfo info = detail::open_matrix(*adata.backing_, "X", false).info;
    return open_index(*adata.backing_, "X", info) != nullptr;
  } catch (const std::exception&) {
    return false;
  }
}

bool gene_index_wanted(const AnnData& adata) {
  const auto* b = adata.backing_.get();
  if (!b || !b->file || b->x_mem || b->x_external) return false;
  try {
    if (h5::kind(*b->file, "X") == h5::Kind::Missing) return false;
    const MatrixInfo info = detail::open_matrix(*b, "X", false).info;
    if (info.format == MatrixInfo::Format::CSC) return false;
    const size_t stored =
        info.format == MatrixInfo::Format::Dense ? info.n_rows * info.n_cols : info.nnz;
    return stored > kGeneIndexOfferNonZeros && !open_index(*b, "X", info);
  } catch (const std::exception&) {
    return false;
  }
}

fs::path build_gene_index(const AnnData& adata, const GeneIndexOptions& options) {
  if (!adata.backing_ || !adata.backing_->file)
    throw ValueError("the dataset was not read from a file, so it has no gene index");
  const AnnData::Backing& b = *adata.backing_;
  const fs::path target = gene_index_path(b.path);
  auto fail = [&](const std::string& problem) -> void {
    throw FileError("Cannot write '" + target.string() + "': " + problem);
  };
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) fail(ec.message());
  const auto id = source_id(b.path);
  if (!id) fail("the dataset file '" + b.path.string() + "' is gone");
  std::vector<std::string> paths;
  size_t total = 0;
  try {
    paths = indexable_paths(*b.file);
    for (auto& p : paths) total += detail::open_matrix(b, p, false).info.nnz;
  } catch (const h5::Failure& e) {
    detail::fail_read(b.path, std::string("damaged matrix: ") + e.what());
  }

  sweep_stale_temporaries(target);
  const fs::path tmp = target.parent_path() / ("." + target.filename().string() + ".tmp-" +
                                               std::to_string(getpid()) + "-0");
  struct Registered {
    int slot;
    ~Registered() { detail::unregister_temporary(slot); }
  } registered{detail::register_temporary(tmp)};
  try {
    {
      h5::Handle out = h5::create_file(tmp);
      h5::set_attr_ints(out, "norvex-gene-index", {kIndexVersion});
      h5::set_attr_text(out, "source_path", id->path);
      h5::set_attr_ints(out, "source_size", {id->size});
      h5::set_attr_ints(out, "source_mtime_ns", {id->mtime_ns});
      size_t done = 0;
      for (auto& p : paths) write_index_matrix(out, b, p, options, done, total);
      h5::flush(out);
    }
    fs::rename(tmp, target, ec);
    if (ec) fail(ec.message());
  } catch (const h5::Failure& e) {
    fs::remove(tmp, ec);
    fail(e.what());
  } catch (...) {
    fs::remove(tmp, ec);
    throw;
  }
  if (options.progress && total == 0) options.progress(1.0);
  return target;
}

namespace detail {

std::unique_ptr<MatrixStorage> indexed_storage(const AnnData& ad, const std::string& path,
                                               std::unique_ptr<MatrixStorage>& direct) {
  if (!ad.backing_ || !ad.backing_->file || ad.backing_->path.empty()) return nullptr;
  try {
    auto index = open_index(*ad.backing_, path, direct->info());
    if (!index) return nullptr;
    return std::make_unique<IndexedStorage>(std::move(direct), std::move(index));
  } catch (const std::exception&) {
    return nullptr;  // an index that cannot even be checked is not trusted
  }
}

}  // namespace detail
}  // namespace norvex
