// Matrices on demand: X and layers in row chunks or by gene, obsm embeddings.
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <thread>
#include <unordered_map>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/external_matrix.hpp"
#include "norvex/dataset/matrix_storage.hpp"

namespace norvex {

namespace {

using detail::MatrixSource;

SparseMatrix csc_to_csr(const SparseMatrix& m) {
  SparseMatrix out;
  out.format = SparseMatrix::Format::CSR;
  out.n_rows = m.n_rows;
  out.n_cols = m.n_cols;
  out.dtype = m.dtype;
  out.indptr.assign(m.n_rows + 1, 0);
  for (int64_t r : m.indices) out.indptr[static_cast<size_t>(r) + 1]++;
  for (size_t i = 0; i < m.n_rows; ++i) out.indptr[i + 1] += out.indptr[i];
  out.indices.resize(m.indices.size());
  out.data.resize(m.data.size());
  std::vector<int64_t> next(out.indptr.begin(), out.indptr.end() - 1);
  for (size_t c = 0; c < m.n_cols; ++c) {
    for (int64_t p = m.indptr[c]; p < m.indptr[c + 1]; ++p) {
      int64_t dst = next[static_cast<size_t>(m.indices[p])]++;
      out.indices[dst] = static_cast<int64_t>(c);
      out.data[dst] = m.data[p];
    }
  }
  return out;
}

// Rows [r0, r1) of a matrix with `n_cols` columns; the caller fills indptr, indices, data.
void start_chunk(RowChunk& ch, size_t r0, size_t r1, size_t n_cols, const std::string& dtype) {
  ch.row_begin = r0;
  ch.row_end = r1;
  ch.rows.n_rows = r1 - r0;
  ch.rows.n_cols = n_cols;
  ch.rows.dtype = dtype;
}

RowChunk slice_rows(const SparseMatrix& csr, size_t r0, size_t r1) {
  RowChunk ch;
  start_chunk(ch, r0, r1, csr.n_cols, csr.dtype);
  int64_t a = csr.indptr[r0], b = csr.indptr[r1];
  ch.rows.indices.assign(csr.indices.begin() + a, csr.indices.begin() + b);
  ch.rows.data.assign(csr.data.begin() + a, csr.data.begin() + b);
  for (size_t r = r0; r <= r1; ++r) ch.rows.indptr.push_back(csr.indptr[r] - a);
  return ch;
}

// Elements [a, a + n) of a sparse part: read directly when it is placed, else by HDF5.
template <class T>
void read_part(const std::filesystem::path& file, const MatrixSource& m,
               const std::optional<detail::DirectVector>& direct, hid_t dataset, size_t a, size_t n,
               T* out) {
  if (!direct)
    h5::read_range(dataset, a, n, out);
  else if (!direct->read(a, n, out))
    detail::fail_read(file, "the file became shorter while '" + m.path + "' was read from it");
}

std::vector<int64_t> read_indptr(const std::filesystem::path& file, const MatrixSource& m,
                                 size_t n_major) {
  std::vector<int64_t> ip(n_major + 1);
  read_part(file, m, m.indptr_direct, m.indptr, 0, ip.size(), ip.data());
  if (ip[0] != 0 || static_cast<size_t>(ip.back()) != m.info.nnz) {
    detail::fail_read(file, "'" + m.path + "/indptr' does not match its data");
  }
  for (size_t i = 0; i < n_major; ++i) {
    if (ip[i] > ip[i + 1]) detail::fail_read(file, "'" + m.path + "/indptr' decreases");
  }
  return ip;
}

template <class Index>
void check_indices(const std::filesystem::path& file, const MatrixSource& m,
                   const std::vector<Index>& idx, size_t bound) {
  // Branch-free, so the check over every stored value vectorises; negatives wrap to huge.
  bool bad = false;
  for (Index j : idx) bad |= static_cast<std::make_unsigned_t<Index>>(j) >= bound;
  if (bad) {
    detail::fail_read(file, "'" + m.path + "/indices' holds an index out of range");
  }
}

}  // namespace

size_t detail::csc_pass_entries = size_t{1} << 24;
bool detail::use_direct_reads = true;
size_t detail::scan_threads = 0;

namespace {

void chunks_from_file(const std::filesystem::path& file, const MatrixSource& m,
                      size_t rows_per_chunk, const std::function<void(const RowChunk&)>& fn) {
  const size_t n_rows = m.info.n_rows, n_cols = m.info.n_cols;
  if (m.info.format == MatrixInfo::Format::CSR) {
    std::vector<int64_t> ip = read_indptr(file, m, n_rows);
    // One chunk's buffers are reused: fresh ones would fault in new pages for every chunk.
    RowChunk ch;
    for (size_t r0 = 0; r0 < n_rows; r0 += rows_per_chunk) {
      size_t r1 = std::min(n_rows, r0 + rows_per_chunk);
      start_chunk(ch, r0, r1, n_cols, m.info.dtype);
      ch.rows.indptr.clear();
      size_t a = static_cast<size_t>(ip[r0]), n = static_cast<size_t>(ip[r1] - ip[r0]);
      ch.rows.indices.resize(n);
      ch.rows.data.resize(n);
      read_part(file, m, m.indices_direct, m.indices, a, n, ch.rows.indices.data());
      read_part(file, m, m.data_direct, m.data, a, n, ch.rows.data.data());
      check_indices(file, m, ch.rows.indices, n_cols);
      for (size_t r = r0; r <= r1; ++r) ch.rows.indptr.push_back(ip[r] - ip[r0]);
      fn(ch);
    }
    return;
  }
  if (m.info.format == MatrixInfo::Format::Dense) {
    std::vector<double> block;
    for (size_t r0 = 0; r0 < n_rows; r0 += rows_per_chunk) {
      size_t r1 = std::min(n_rows, r0 + rows_per_chunk);
      block.assign((r1 - r0) * n_cols, 0.0);
      h5::read_block(m.dense, r0, 0, r1 - r0, n_cols, block.data());
      RowChunk ch;
      start_chunk(ch, r0, r1, n_cols, m.info.dtype);
      ch.rows.indptr.push_back(0);
      for (size_t r = 0; r < r1 - r0; ++r) {
        for (size_t c = 0; c < n_cols; ++c) {
          double v = block[r * n_cols + c];
          if (v != 0.0) {
            ch.rows.indices.push_back(static_cast<int64_t>(c));
            ch.rows.data.push_back(static_cast<float>(v));
          }
        }
        ch.rows.indptr.push_back(static_cast<int64_t>(ch.rows.indices.size()));
      }
      fn(ch);
    }
    return;
  }
  // CSC: one scan of the stored entries collects the rows of many chunks at once, as many
  // as about `csc_pass_entries` entries allow, so the matrix is read a few times rather
  // than once per chunk; the collected rows are then handed out chunk by chunk.
  std::vector<int64_t> ip = read_indptr(file, m, n_cols);
  const size_t block = size_t{1} << 20;
  const size_t per_row = std::max<size_t>(1, m.info.nnz / std::max<size_t>(1, n_rows));
  const size_t pass_rows =
      std::max(rows_per_chunk, std::max<size_t>(1, detail::csc_pass_entries / per_row));
  std::vector<int64_t> idx;
  std::vector<float> val;
  for (size_t p0 = 0; p0 < n_rows; p0 += pass_rows) {
    const size_t p1 = std::min(n_rows, p0 + pass_rows);
    std::vector<std::vector<std::pair<int64_t, float>>> rows(p1 - p0);
    size_t col = 0;
    for (size_t a = 0; a < m.info.nnz; a += block) {
      size_t n = std::min(block, m.info.nnz - a);
      idx.resize(n);
      val.resize(n);
      read_part(file, m, m.indices_direct, m.indices, a, n, idx.data());
      read_part(file, m, m.data_direct, m.data, a, n, val.data());
      check_indices(file, m, idx, n_rows);
      for (size_t k = 0; k < n; ++k) {
        size_t p = a + k;
        while (col < n_cols && static_cast<size_t>(ip[col + 1]) <= p) ++col;
        size_t r = static_cast<size_t>(idx[k]);
        if (r >= p0 && r < p1) rows[r - p0].emplace_back(static_cast<int64_t>(col), val[k]);
      }
    }
    for (size_t r0 = p0; r0 < p1; r0 += rows_per_chunk) {
      const size_t r1 = std::min(p1, r0 + rows_per_chunk);
      RowChunk ch;
      start_chunk(ch, r0, r1, n_cols, m.info.dtype);
      ch.rows.indptr.push_back(0);
      for (size_t r = r0; r < r1; ++r) {
        for (auto& [c, v] : rows[r - p0]) {
          ch.rows.indices.push_back(c);
          ch.rows.data.push_back(v);
        }
        ch.rows.indptr.push_back(static_cast<int64_t>(ch.rows.indices.size()));
        std::vector<std::pair<int64_t, float>>().swap(rows[r - p0]);  // handed out: free it
      }
      fn(ch);
    }
  }
}

}  // namespace

namespace detail {

std::vector<size_t> name_columns(const std::vector<std::string>& names,
                                 const std::vector<std::string>& genes) {
  std::unordered_map<std::string, size_t> position;
  for (size_t i = names.size(); i-- > 0;) position[names[i]] = i;  // first wins
  std::vector<size_t> cols;
  for (auto& g : genes) {
    auto it = position.find(g);
    if (it == position.end()) throw key_error(g);
    cols.push_back(it->second);
  }
  return cols;
}

ColumnPick::ColumnPick(const std::vector<size_t>& cols, size_t n_cols, size_t n_rows)
    : slot_of(n_cols, -1), out(cols.size(), std::vector<float>(n_rows, 0.0f)) {
  for (size_t s = 0; s < cols.size(); ++s) {
    if (slot_of[cols[s]] < 0) {
      slot_of[cols[s]] = static_cast<int32_t>(slots.size());
      slots.push_back({cols[s], {}});
    }
    slots[static_cast<size_t>(slot_of[cols[s]])].second.push_back(s);
  }
}

namespace {

struct Hit {
  size_t pos, row, col;
  float value;  // read during the scan when the values are placed
};

// What a scan looks for, and where it puts what it finds.
struct ScanTarget {
  const std::vector<int64_t>& ip;
  const std::vector<uint8_t>& wanted;  // column -> asked
  std::vector<int32_t> few;            // the asked columns, when there are few of them
  const DirectVector* values;          // the placed values, or null (read afterwards)
};

// Up to this many asked columns the scan compares each stored index with every one of them,
// four indices at a time, and only looks closer where one matched: far cheaper than a
// table look-up and a branch per stored entry, and a gene read asks for few genes.
#if defined(__SSE2__)
constexpr size_t kFewColumns = 8;
#else
constexpr size_t kFewColumns = 0;
#endif

#if defined(__SSE2__)
// Whether any of the 16 indices at v equals an asked column (`want`, each in all four
// lanes); `bad` collects indices out of [0, n_cols), `last` holding n_cols - 1.
template <size_t K>
bool any_asked(const int32_t* v, const __m128i (&want)[K], __m128i last, __m128i& bad) {
  __m128i hit = _mm_setzero_si128();
  const __m128i zero = _mm_setzero_si128();
#pragma GCC unroll 4
  for (size_t q = 0; q < 4; ++q) {
    __m128i x;
    std::memcpy(&x, v + 4 * q, sizeof x);
    bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmplt_epi32(x, zero), _mm_cmpgt_epi32(x, last)));
#pragma GCC unroll 8
    for (size_t g = 0; g < K; ++g) hit = _mm_or_si128(hit, _mm_cmpeq_epi32(x, want[g]));
  }
  return _mm_movemask_epi8(hit) != 0;
}
#endif

// What stopped a scan early.
enum class ScanFault : uint8_t { None, IndexOutOfRange, FileShortened };

// Positions [p0, p1) of the placed column indices: the hits on wanted columns, in order,
// with their values when those are placed too.
//
// Both are read from the file into a buffer that stays in the cache while scanned.
template <class Index, size_t K>
ScanFault scan_part(const DirectVector& indices, const ScanTarget& target, size_t p0, size_t p1,
                    std::vector<Hit>& hits) {
  if (p0 >= p1) return ScanFault::None;
  const std::vector<int64_t>& ip = target.ip;
  // The row holding p0: the last one starting at or before it.
  size_t row = static_cast<size_t>(
                   std::upper_bound(ip.begin(), ip.end(), static_cast<int64_t>(p0)) - ip.begin()) -
               1;
  const size_t n_cols = target.wanted.size();
  bool bad = false;
  auto take = [&](size_t p, size_t c) {
    while (static_cast<size_t>(ip[row + 1]) <= p) ++row;
    hits.push_back({p, row, c, 0.0f});
  };
  // One entry at a time, through the table.
  auto each = [&](const Index* v, size_t first, size_t n) {
    for (size_t k = 0; k < n; ++k) {
      const auto c = static_cast<std::make_unsigned_t<Index>>(v[k]);
      if (c >= n_cols) {
        bad = true;
        return;
      }
      if (target.wanted[c]) take(first + k, static_cast<size_t>(c));
    }
  };
  auto scan = [&](const Index* v, size_t first, size_t n) {
#if defined(__SSE2__)
    if constexpr (std::is_same_v<Index, int32_t> && K > 0) {
      __m128i want[K], out_of_range = _mm_setzero_si128();
      for (size_t g = 0; g < K; ++g) want[g] = _mm_set1_epi32(target.few[g]);
      const __m128i last_col = _mm_set1_epi32(static_cast<int32_t>(n_cols - 1));
      size_t k = 0;
      for (; k + 16 <= n; k += 16)
        if (any_asked<K>(v + k, want, last_col, out_of_range)) each(v + k, first + k, 16);
      if (_mm_movemask_epi8(out_of_range) != 0) bad = true;
      each(v + k, first + k, n - k);
      return;
    }
#endif
    each(v, first, n);
  };
  // A quarter of a megabyte of indices at a time, which the cache holds while scanned; the
  // values of each megabyte's hits after it.
  constexpr size_t kPart = size_t{1} << 16, kBlock = size_t{1} << 18;
  std::vector<Index> buffer(kPart);
  std::vector<std::byte> scratch;
  for (size_t a = p0; a < p1; a += kBlock) {
    const size_t block_end = std::min(p1, a + kBlock), first_hit = hits.size();
    for (size_t b = a; b < block_end; b += kPart) {
      const size_t n = std::min(kPart, block_end - b);
      if (!indices.copy_stored(b, n, buffer.data())) return ScanFault::FileShortened;
      scan(buffer.data(), b, n);
      if (bad) return ScanFault::IndexOutOfRange;
    }
    if (!target.values) continue;
    Hit* block = hits.data() + first_hit;
    const bool read = target.values->read_ascending<float>(
        hits.size() - first_hit, [&](size_t i) { return block[i].pos; },
        [&](size_t i, float v) { block[i].value = v; }, scratch);
    if (!read) return ScanFault::FileShortened;
  }
  return ScanFault::None;
}

// scan_part for the asked columns' count K known at compile time (0: through the table).
template <class Index>
ScanFault scan_part_for(const DirectVector& indices, const ScanTarget& target, size_t p0, size_t p1,
                        std::vector<Hit>& hits) {
  switch (target.few.size()) {
#define NORVEX_SCAN_FEW(K) \
  case K:                  \
    return scan_part<Index, K>(indices, target, p0, p1, hits);
    NORVEX_SCAN_FEW(1)
    NORVEX_SCAN_FEW(2)
    NORVEX_SCAN_FEW(3)
    NORVEX_SCAN_FEW(4)
    NORVEX_SCAN_FEW(5)
    NORVEX_SCAN_FEW(6)
    NORVEX_SCAN_FEW(7)
    NORVEX_SCAN_FEW(8)
#undef NORVEX_SCAN_FEW
    default:
      return scan_part<Index, 0>(indices, target, p0, p1, hits);
  }
}

size_t scan_thread_count(size_t nnz) {
  if (scan_threads > 0) return scan_threads;
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  // Below a few million entries one core finishes before a second one has started.
  return std::clamp<size_t>(nnz >> 22, 1, std::min<size_t>(cores, 16));
}

// The CSR gene read over placed indices: the scan split by position across threads, the
// hits then applied in position order, so the result is the serial scan's exactly.
void scan_placed_csr(const std::filesystem::path& file, const MatrixSource& m,
                     const std::vector<int64_t>& ip, ColumnPick& pick) {
  const DirectVector& indices = *m.indices_direct;
  std::vector<uint8_t> wanted(m.info.n_cols, 0);
  for (auto& [c, slots] : pick.slots) wanted[c] = 1;
  ScanTarget target{ip, wanted, {}, m.data_direct ? &*m.data_direct : nullptr};
  if (pick.slots.size() <= kFewColumns && m.info.n_cols <= size_t{INT32_MAX})
    for (auto& [c, slots] : pick.slots) target.few.push_back(static_cast<int32_t>(c));
  const size_t nnz = m.info.nnz, n_threads = scan_thread_count(nnz);
  std::vector<std::vector<Hit>> hits(n_threads);
  std::vector<ScanFault> faults(n_threads, ScanFault::None);
  std::vector<std::exception_ptr> errors(n_threads);
  auto work = [&](size_t t) {
    try {
      const size_t p0 = nnz * t / n_threads, p1 = nnz * (t + 1) / n_threads;
      if (indices.type() == DirectVector::Type::Int32)
        faults[t] = scan_part_for<int32_t>(indices, target, p0, p1, hits[t]);
      else if (indices.type() == DirectVector::Type::Int64)
        faults[t] = scan_part_for<int64_t>(indices, target, p0, p1, hits[t]);
      else
        faults[t] = ScanFault::IndexOutOfRange;  // float indices: never a valid matrix
    } catch (...) {
      errors[t] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  for (size_t t = 1; t < n_threads; ++t) threads.emplace_back(work, t);
  work(0);
  for (auto& th : threads) th.join();
  for (auto& e : errors)
    if (e) std::rethrow_exception(e);
  for (ScanFault f : faults) {
    if (f == ScanFault::IndexOutOfRange)
      fail_read(file, "'" + m.path + "/indices' holds an index out of range");
    if (f == ScanFault::FileShortened)
      fail_read(file, "the file became shorter while '" + m.path + "' was read from it");
  }

  if (!m.data_direct) {
    std::vector<uint64_t> positions;
    for (auto& part : hits)
      for (const Hit& h : part) positions.push_back(h.pos);
    std::vector<float> values(positions.size());
    h5::read_points(m.data, positions, values.data());
    size_t next = 0;
    for (auto& part : hits)
      for (Hit& h : part) h.value = values[next++];
  }
  for (auto& part : hits)
    for (const Hit& h : part) pick.put(h.col, h.row, h.value);
}

}  // namespace

void read_stored_columns(const std::filesystem::path& file, const MatrixSource& m,
                         ColumnPick& pick) {
  try {
    if (m.info.format == MatrixInfo::Format::CSR) {
      if (m.indices_direct) {
        scan_placed_csr(file, m, read_indptr(file, m, m.info.n_rows), pick);
        return;
      }
      // Every stored column index must be looked at, but only the few values of the asked
      // genes are needed: scan the indices in blocks, then read just those values.
      const std::vector<int64_t> ip = read_indptr(file, m, m.info.n_rows);
      const size_t block = size_t{1} << 22;
      std::vector<int32_t> idx;
      std::vector<uint64_t> hits;
      std::vector<std::pair<size_t, size_t>> hit_cell;  // (row, column) of each hit
      std::vector<float> values;
      size_t row = 0;
      for (size_t a = 0; a < m.info.nnz; a += block) {
        const size_t n = std::min(block, m.info.nnz - a);
        idx.resize(n);
        h5::read_range(m.indices, a, n, idx.data());
        check_indices(file, m, idx, m.info.n_cols);
        hits.clear();
        hit_cell.clear();
        for (size_t k = 0; k < n; ++k) {
          const size_t c = static_cast<size_t>(idx[k]);
          if (pick.slot_of[c] < 0) continue;
          while (static_cast<size_t>(ip[row + 1]) <= a + k) ++row;
          hits.push_back(a + k);
          hit_cell.emplace_back(row, c);
        }
        values.resize(hits.size());
        h5::read_points(m.data, hits, values.data());
        for (size_t h = 0; h < hits.size(); ++h)
          pick.put(hit_cell[h].second, hit_cell[h].first, values[h]);
      }
    } else if (m.info.format == MatrixInfo::Format::CSC) {
      std::vector<int64_t> ip = read_indptr(file, m, m.info.n_cols);
      std::vector<int64_t> idx;
      std::vector<float> val;
      for (auto& [c, ss] : pick.slots) {
        size_t a = static_cast<size_t>(ip[c]), n = static_cast<size_t>(ip[c + 1] - ip[c]);
        idx.resize(n);
        val.resize(n);
        read_part(file, m, m.indices_direct, m.indices, a, n, idx.data());
        read_part(file, m, m.data_direct, m.data, a, n, val.data());
        check_indices(file, m, idx, m.info.n_rows);
        for (size_t k = 0; k < n; ++k) {
          for (size_t s : ss) pick.out[s][static_cast<size_t>(idx[k])] = val[k];
        }
      }
    } else {
      std::vector<double> column(m.info.n_rows);
      for (auto& [c, ss] : pick.slots) {
        h5::read_block(m.dense, 0, c, m.info.n_rows, 1, column.data());
        for (size_t s : ss) {
          for (size_t r = 0; r < column.size(); ++r) pick.out[s][r] = static_cast<float>(column[r]);
        }
      }
    }
  } catch (const h5::Failure& e) {
    fail_read(file, std::string("damaged matrix '") + m.path + "': " + e.what());
  }
}

}  // namespace detail

namespace detail {

namespace {

std::string matrix_path(const std::optional<std::string>& layer) {
  return layer ? "layers/" + *layer : "X";
}

class MemoryStorage : public MatrixStorage {
 public:
  explicit MemoryStorage(const SparseMatrix& x) : x_(x) {}
  MatrixInfo info() const override {
    MatrixInfo info;
    info.format =
        x_.format == SparseMatrix::Format::CSR ? MatrixInfo::Format::CSR : MatrixInfo::Format::CSC;
    info.n_rows = x_.n_rows;
    info.n_cols = x_.n_cols;
    info.dtype = x_.dtype;
    info.nnz = x_.data.size();
    return info;
  }
  void row_chunks(size_t rows_per_chunk, const RowChunkFn& fn) const override {
    SparseMatrix converted;
    const SparseMatrix* csr = &x_;
    if (x_.format == SparseMatrix::Format::CSC) {
      converted = csc_to_csr(x_);
      csr = &converted;
    }
    for (size_t r0 = 0; r0 < csr->n_rows; r0 += rows_per_chunk)
      fn(slice_rows(*csr, r0, std::min(csr->n_rows, r0 + rows_per_chunk)));
  }
  std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const override {
    ColumnPick pick(cols, x_.n_cols, x_.n_rows);
    if (x_.format == SparseMatrix::Format::CSR) {
      for (size_t r = 0; r < x_.n_rows; ++r) {
        for (int64_t p = x_.indptr[r]; p < x_.indptr[r + 1]; ++p) {
          const size_t c = static_cast<size_t>(x_.indices[p]);
          if (c < pick.slot_of.size() && pick.slot_of[c] >= 0) pick.put(c, r, x_.data[p]);
        }
      }
    } else {
      for (auto& [c, ss] : pick.slots) {
        for (int64_t p = x_.indptr[c]; p < x_.indptr[c + 1]; ++p) {
          for (size_t s : ss) pick.out[s][static_cast<size_t>(x_.indices[p])] = x_.data[p];
        }
      }
    }
    return std::move(pick.out);
  }
  std::optional<SparseMatrix> to_write() const override { return x_; }

 private:
  const SparseMatrix& x_;  // owned by the dataset's backing, which outlives this view
};

class FileStorage : public MatrixStorage {
 public:
  FileStorage(std::shared_ptr<h5::Handle> file, std::filesystem::path file_path, MatrixSource m)
      : file_(std::move(file)), file_path_(std::move(file_path)), m_(std::move(m)) {}
  MatrixInfo info() const override { return m_.info; }
  void row_chunks(size_t rows_per_chunk, const RowChunkFn& fn) const override {
    try {
      ensure_placed();
      chunks_from_file(file_path_, m_, rows_per_chunk, fn);
    } catch (const h5::Failure& e) {
      fail_read(file_path_, "damaged matrix '" + m_.path + "': " + e.what());
    }
  }
  std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const override {
    ColumnPick pick(cols, m_.info.n_cols, m_.info.n_rows);
    try {
      ensure_placed();
    } catch (const h5::Failure& e) {
      fail_read(file_path_, "damaged matrix '" + m_.path + "': " + e.what());
    }
    read_stored_columns(file_path_, m_, pick);
    return std::move(pick.out);
  }

 private:
  // Placing a chunked part reads its chunk index: done on first read, not on open, so a
  // storage opened only for its shape (or passed over for the gene index) costs nothing.
  void ensure_placed() const {
    if (placed_) return;
    placed_ = true;
    open_direct_parts(*file_, m_);
  }

  std::shared_ptr<h5::Handle> file_;  // keeps the file open while the handles below live
  std::filesystem::path file_path_;
  mutable MatrixSource m_;
  mutable bool placed_ = false;
};

}  // namespace

std::unique_ptr<MatrixStorage> memory_storage(const SparseMatrix& x) {
  return std::make_unique<MemoryStorage>(x);
}

std::unique_ptr<MatrixStorage> file_storage(std::shared_ptr<h5::Handle> file,
                                            const std::filesystem::path& file_path,
                                            const std::string& path) {
  AnnData::Backing b;
  b.path = file_path;
  b.file = file;
  return std::make_unique<FileStorage>(std::move(file), file_path, open_matrix(b, path, false));
}

std::unique_ptr<MatrixStorage> stored_storage(const AnnData& ad, const std::string& path) {
  auto direct = file_storage(ad.backing_->file, ad.backing_->path, path);
  if (auto indexed = indexed_storage(ad, path, direct)) return indexed;
  return direct;
}

std::unique_ptr<MatrixStorage> x_storage(const AnnData& ad,
                                         const std::optional<std::string>& layer) {
  if (!ad.backing_) return nullptr;
  const AnnData::Backing& b = *ad.backing_;
  if (!layer && b.x_mem) return memory_storage(*b.x_mem);
  if (!layer && b.x_external) return external_storage(b.x_external);
  if (layer) {
    if (auto it = b.layers_external.find(*layer); it != b.layers_external.end())
      return external_storage(it->second);
  }
  const std::string path = matrix_path(layer);
  if (!b.file || h5::kind(*b.file, path) == h5::Kind::Missing) return nullptr;
  return stored_storage(ad, path);
}

void row_chunks_of(const AnnData& ad, const std::string& path, size_t rows_per_chunk,
                   const std::function<void(const RowChunk&)>& fn) {
  if (rows_per_chunk == 0) throw ValueError("rows_per_chunk must be positive");
  stored_storage(ad, path)->row_chunks(rows_per_chunk, fn);
}

}  // namespace detail

namespace {

std::unique_ptr<detail::MatrixStorage> require_x(const AnnData& ad,
                                                 const std::optional<std::string>& layer) {
  auto x = detail::x_storage(ad, layer);
  if (!x) {
    if (layer) throw key_error(*layer);
    throw KeyError("the dataset has no X");
  }
  return x;
}

}  // namespace

bool AnnData::has_X() const {
  if (backing_ && (backing_->x_mem || backing_->x_external)) return true;
  return backing_ && backing_->file && h5::kind(*backing_->file, "X") != h5::Kind::Missing;
}

MatrixInfo AnnData::x_info(const std::optional<std::string>& layer) const {
  return require_x(*this, layer)->info();
}

std::vector<std::string> AnnData::layer_keys() const {
  if (backing_ && !backing_->layer_order.empty()) return backing_->layer_order;
  if (!backing_ || !backing_->file) return {};
  if (h5::kind(*backing_->file, "layers") != h5::Kind::Group) return {};
  try {
    return h5::children(h5::open_group(*backing_->file, "layers"));
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, std::string("damaged file: ") + e.what());
  }
}

void AnnData::for_each_row_chunk(size_t rows_per_chunk,
                                 const std::function<void(const RowChunk&)>& fn,
                                 const std::optional<std::string>& layer) const {
  if (rows_per_chunk == 0) throw ValueError("rows_per_chunk must be positive");
  require_x(*this, layer)->row_chunks(rows_per_chunk, fn);
}

std::vector<std::vector<float>> AnnData::gene_expression(
    const std::vector<std::string>& genes, const std::optional<std::string>& layer) const {
  const std::vector<size_t> cols = detail::name_columns(var.index(), genes);
  if (genes.empty()) return {};
  auto x = require_x(*this, layer);
  const MatrixInfo info = x->info();
  if (info.n_rows != n_obs() || info.n_cols != n_vars()) {
    if (layer || (!backing_->x_mem && !backing_->x_external))
      detail::fail_read(backing_->path, "'" + detail::matrix_path(layer) +
                                            "' does not have the shape of the dataset");
    throw ValueError("X does not match the number of cells");
  }
  return x->columns(cols);
}

void AnnData::set_X(SparseMatrix x) {
  if (x.n_rows != n_obs() || x.n_cols != n_vars()) {
    throw ValueError("X must have shape (" + std::to_string(n_obs()) + ", " +
                     std::to_string(n_vars()) + "), got (" + std::to_string(x.n_rows) + ", " +
                     std::to_string(x.n_cols) + ")");
  }
  size_t n_major = x.format == SparseMatrix::Format::CSR ? x.n_rows : x.n_cols;
  if (x.indptr.size() != n_major + 1 || x.indices.size() != x.data.size() ||
      (x.indptr.empty() ? 0 : static_cast<size_t>(x.indptr.back())) != x.data.size()) {
    throw ValueError("X is malformed: indptr, indices and data disagree");
  }
  detail::writable_backing(*this).x_mem = std::move(x);
}

std::vector<std::string> AnnData::obsm_keys() const {
  return backing_ ? backing_->obsm_order : std::vector<std::string>{};
}

bool AnnData::has_obsm(const std::string& key) const {
  if (!backing_) return false;
  auto& o = backing_->obsm_order;
  return std::find(o.begin(), o.end(), key) != o.end();
}

DenseMatrix AnnData::obsm(const std::string& key) const {
  if (!has_obsm(key)) throw key_error(key);
  auto mem = backing_->obsm_mem.find(key);
  if (mem != backing_->obsm_mem.end()) return mem->second;
  if (auto ext = backing_->obsm_external.find(key); ext != backing_->obsm_external.end()) {
    return ext->second->dense();
  }
  try {
    if (backing_->obsm_compound) return detail::legacy_field_matrix(*backing_->file, "obsm", key);
    return detail::read_dense(*backing_->file, "obsm/" + key);
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, std::string("damaged obsm['") + key + "']: " + e.what());
  }
}

std::vector<size_t> AnnData::obsm_shape(const std::string& key) const {
  if (!has_obsm(key)) throw key_error(key);
  auto mem = backing_->obsm_mem.find(key);
  if (mem != backing_->obsm_mem.end()) return {mem->second.n_rows, mem->second.n_cols};
  if (auto ext = backing_->obsm_external.find(key); ext != backing_->obsm_external.end()) {
    const MatrixInfo info = ext->second->info();
    return {info.n_rows, info.n_cols};
  }
  try {
    hid_t f = *backing_->file;
    if (backing_->obsm_compound) {
      DenseMatrix m = detail::legacy_field_matrix(f, "obsm", key);
      return {m.n_rows, m.n_cols};
    }
    std::string path = "obsm/" + key;
    if (auto info = detail::matrix_info(f, path)) return {info->n_rows, info->n_cols};
    if (h5::kind(f, path) == h5::Kind::Dataset) return h5::shape(h5::open_dataset(f, path));
    DataFrame df = detail::read_dataframe(backing_->file, backing_->path, path, false);
    return {df.n_rows(), df.columns().size()};
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, std::string("damaged obsm['") + key + "']: " + e.what());
  }
}

void AnnData::for_each_obsm_chunk(
    const std::string& key, size_t rows_per_chunk,
    const std::function<void(size_t row_begin, const DenseMatrix& rows)>& fn) const {
  if (!has_obsm(key)) throw key_error(key);
  rows_per_chunk = std::max<size_t>(rows_per_chunk, 1);
  auto slices = [&](const DenseMatrix& all) {
    for (size_t r0 = 0; r0 < all.n_rows; r0 += rows_per_chunk) {
      DenseMatrix part;
      part.n_rows = std::min(rows_per_chunk, all.n_rows - r0);
      part.n_cols = all.n_cols;
      part.dtype = all.dtype;
      part.values.assign(all.values.begin() + r0 * all.n_cols,
                         all.values.begin() + (r0 + part.n_rows) * all.n_cols);
      fn(r0, part);
    }
  };
  auto mem = backing_->obsm_mem.find(key);
  if (mem != backing_->obsm_mem.end()) return slices(mem->second);
  const std::string path = "obsm/" + key;
  std::optional<std::vector<size_t>> dense_shape;
  try {
    hid_t f = *backing_->file;
    if (!backing_->obsm_compound && h5::kind(f, path) == h5::Kind::Dataset) {
      h5::Handle ds = h5::open_dataset(f, path);
      if (h5::shape(ds).size() == 2 && h5::type_info(ds).cls != h5::TypeClass::String)
        dense_shape = h5::shape(ds);
    }
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, std::string("damaged obsm['") + key + "']: " + e.what());
  }
  // Legacy, sparse and one-column entries are small enough to read whole.
  if (!dense_shape) return slices(obsm(key));
  const size_t n_rows = (*dense_shape)[0], n_cols = (*dense_shape)[1];
  DenseMatrix part;
  part.n_cols = n_cols;
  for (size_t r0 = 0; r0 < n_rows; r0 += rows_per_chunk) {
    part.n_rows = std::min(rows_per_chunk, n_rows - r0);
    part.values.resize(part.n_rows * n_cols);
    try {
      h5::Handle ds = h5::open_dataset(*backing_->file, path);
      h5::read_block(ds, r0, 0, part.n_rows, n_cols, part.values.data());
    } catch (const h5::Failure& e) {
      detail::fail_read(backing_->path, std::string("damaged obsm['") + key + "']: " + e.what());
    }
    fn(r0, part);
  }
}

void AnnData::set_obsm(const std::string& key, DenseMatrix m) {
  if (m.n_rows != n_obs()) {
    throw ValueError("obsm['" + key + "'] must have " + std::to_string(n_obs()) + " rows, got " +
                     std::to_string(m.n_rows));
  }
  if (m.values.size() != m.n_rows * m.n_cols) {
    throw ValueError("obsm['" + key + "'] has " + std::to_string(m.values.size()) +
                     " values for shape (" + std::to_string(m.n_rows) + ", " +
                     std::to_string(m.n_cols) + ")");
  }
  auto& b = detail::writable_backing(*this);
  if (std::find(b.obsm_order.begin(), b.obsm_order.end(), key) == b.obsm_order.end()) {
    b.obsm_order.push_back(key);
  }
  b.obsm_external.erase(key);
  b.obsm_mem[key] = std::move(m);
}

std::vector<std::string> AnnData::stored_groups() const {
  if (!backing_ || !backing_->file) return {};
  std::vector<std::string> out;
  try {
    for (auto& name : h5::children(h5::open_group(*backing_->file, "/"))) {
      if (name == "obs" || name == "var" || name == "uns" || name == "X" || name == "obsm" ||
          name == "layers") {
        continue;
      }
      out.push_back(name);
    }
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, std::string("damaged file: ") + e.what());
  }
  return out;
}

}  // namespace norvex
