#include "buffers.hpp"

#include <pybind11/numpy.h>

#include <cstring>

#include "norvex/common/errors.hpp"

namespace norvex::python {

namespace py = pybind11;

namespace {

enum class Type { F32, F64, I32, I64 };

Type type_of(const py::array& a, bool index) {
  const char kind = a.dtype().kind();
  const auto size = a.dtype().itemsize();
  if (!index && kind == 'f' && size == 4) return Type::F32;
  if (!index && kind == 'f' && size == 8) return Type::F64;
  if (kind == 'i' && size == 4) return Type::I32;
  if (kind == 'i' && size == 8) return Type::I64;
  throw TypeError(std::string(index ? "index" : "value") + " type " +
                  py::str(a.dtype()).cast<std::string>() + " is not supported (" +
                  (index ? "int32 or int64" : "float32, float64, int32 or int64") + ")");
}

// One element of a buffer, read through its byte stride.
struct Vector {
  const char* base = nullptr;
  ptrdiff_t stride = 0;
  Type type = Type::F32;
  double value(size_t i) const {
    const char* p = base + static_cast<ptrdiff_t>(i) * stride;
    switch (type) {
      case Type::F32: {
        float v;
        std::memcpy(&v, p, sizeof v);
        return v;
      }
      case Type::F64: {
        double v;
        std::memcpy(&v, p, sizeof v);
        return v;
      }
      case Type::I32: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
      }
      case Type::I64: {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<double>(v);
      }
    }
    return 0;
  }
  int64_t index(size_t i) const {
    const char* p = base + static_cast<ptrdiff_t>(i) * stride;
    if (type == Type::I32) {
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      return v;
    }
    int64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
};

const char* dtype_name(Type t) {
  switch (t) {
    case Type::F32:
      return "float32";
    case Type::F64:
      return "float64";
    case Type::I32:
      return "int32";
    case Type::I64:
      return "int64";
  }
  return "float32";
}

// Holds Python references; released with the GIL, since the engine may drop its last
// reference on a thread that does not hold it.
class BufferMatrix : public ExternalMatrix {
 public:
  ~BufferMatrix() override {
    py::gil_scoped_acquire gil;
    arrays_.clear();
  }

  static std::shared_ptr<BufferMatrix> make(py::handle parts_handle) {
    auto parts = parts_handle.cast<py::tuple>();
    auto m = std::shared_ptr<BufferMatrix>(new BufferMatrix());
    const std::string kind = parts[0].cast<std::string>();
    if (kind == "dense") {
      py::array a = py::reinterpret_borrow<py::array>(parts[1]);
      if (a.ndim() != 2) throw ValueError("a dense matrix must have two dimensions");
      m->info_.format = MatrixInfo::Format::Dense;
      m->info_.n_rows = static_cast<size_t>(a.shape(0));
      m->info_.n_cols = static_cast<size_t>(a.shape(1));
      m->values_ = {static_cast<const char*>(a.data()), 0, type_of(a, false)};
      m->row_stride_ = a.strides(0);
      m->col_stride_ = a.strides(1);
      m->arrays_.push_back(a);
    } else if (kind == "csr" || kind == "csc") {
      py::array data = py::reinterpret_borrow<py::array>(parts[1]);
      py::array indices = py::reinterpret_borrow<py::array>(parts[2]);
      py::array indptr = py::reinterpret_borrow<py::array>(parts[3]);
      auto shape = parts[4].cast<py::tuple>();
      m->info_.format = kind == "csr" ? MatrixInfo::Format::CSR : MatrixInfo::Format::CSC;
      m->info_.n_rows = shape[0].cast<size_t>();
      m->info_.n_cols = shape[1].cast<size_t>();
      for (auto* a : {&data, &indices, &indptr}) {
        if (a->ndim() != 1) throw ValueError("sparse matrix parts must be one-dimensional");
      }
      m->values_ = {static_cast<const char*>(data.data()), data.strides(0), type_of(data, false)};
      m->indices_ = {static_cast<const char*>(indices.data()), indices.strides(0),
                     type_of(indices, true)};
      m->indptr_ = {static_cast<const char*>(indptr.data()), indptr.strides(0),
                    type_of(indptr, true)};
      m->arrays_ = {data, indices, indptr};
      const size_t n_major = kind == "csr" ? m->info_.n_rows : m->info_.n_cols;
      const size_t n_minor = kind == "csr" ? m->info_.n_cols : m->info_.n_rows;
      m->info_.nnz = static_cast<size_t>(data.shape(0));
      if (static_cast<size_t>(indptr.shape(0)) != n_major + 1 ||
          static_cast<size_t>(indices.shape(0)) != m->info_.nnz || m->indptr_.index(0) != 0 ||
          static_cast<size_t>(m->indptr_.index(n_major)) != m->info_.nnz) {
        throw ValueError("the sparse matrix is malformed: indptr, indices and data disagree");
      }
      for (size_t i = 0; i < n_major; ++i) {
        if (m->indptr_.index(i) > m->indptr_.index(i + 1)) {
          throw ValueError("the sparse matrix is malformed: indptr decreases");
        }
      }
      for (size_t k = 0; k < m->info_.nnz; ++k) {
        const int64_t at = m->indices_.index(k);
        if (at < 0 || static_cast<size_t>(at) >= n_minor) {
          throw ValueError("the sparse matrix is malformed: an index is out of range");
        }
      }
    } else {
      throw TypeError("unsupported matrix kind '" + kind + "'");
    }
    m->info_.dtype = dtype_name(m->values_.type);
    return m;
  }

  MatrixInfo info() const override { return info_; }

  SparseMatrix rows(size_t r0, size_t r1) const override {
    SparseMatrix out;
    out.n_rows = r1 - r0;
    out.n_cols = info_.n_cols;
    out.dtype = info_.dtype;
    out.indptr.push_back(0);
    auto put = [&](size_t c, double v) {
      out.indices.push_back(static_cast<int64_t>(c));
      out.data.push_back(static_cast<float>(v));
    };
    if (info_.format == MatrixInfo::Format::Dense) {
      for (size_t r = r0; r < r1; ++r) {
        for (size_t c = 0; c < info_.n_cols; ++c) {
          const double v = dense_at(r, c);
          if (v != 0) put(c, v);
        }
        out.indptr.push_back(static_cast<int64_t>(out.data.size()));
      }
    } else if (info_.format == MatrixInfo::Format::CSR) {
      for (size_t r = r0; r < r1; ++r) {
        for (int64_t p = indptr_.index(r); p < indptr_.index(r + 1); ++p) {
          put(static_cast<size_t>(indices_.index(static_cast<size_t>(p))),
              values_.value(static_cast<size_t>(p)));
        }
        out.indptr.push_back(static_cast<int64_t>(out.data.size()));
      }
    } else {
      // CSC: bucket this band's entries by row, one pass over the columns.
      std::vector<std::vector<std::pair<int64_t, float>>> by_row(r1 - r0);
      for (size_t c = 0; c < info_.n_cols; ++c) {
        for (int64_t p = indptr_.index(c); p < indptr_.index(c + 1); ++p) {
          const auto r = static_cast<size_t>(indices_.index(static_cast<size_t>(p)));
          if (r >= r0 && r < r1) {
            by_row[r - r0].emplace_back(static_cast<int64_t>(c),
                                        static_cast<float>(values_.value(static_cast<size_t>(p))));
          }
        }
      }
      for (auto& row : by_row) {
        for (auto& [c, v] : row) {
          out.indices.push_back(c);
          out.data.push_back(v);
        }
        out.indptr.push_back(static_cast<int64_t>(out.data.size()));
      }
    }
    return out;
  }

  // CSC: each pass over the columns gathers the rows of many chunks, as many as about
  // kPassEntries values allow, instead of one pass per chunk.
  void row_chunks(size_t rows_per_chunk,
                  const std::function<void(const RowChunk&)>& fn) const override {
    if (info_.format != MatrixInfo::Format::CSC)
      return ExternalMatrix::row_chunks(rows_per_chunk, fn);
    constexpr size_t kPassEntries = size_t{1} << 24;
    const size_t n_rows = info_.n_rows, n_cols = info_.n_cols;
    std::vector<int64_t> per_row(n_rows + 1, 0);
    for (size_t p = 0; p < info_.nnz; ++p) ++per_row[static_cast<size_t>(indices_.index(p)) + 1];
    for (size_t r = 0; r < n_rows; ++r) per_row[r + 1] += per_row[r];
    std::vector<int64_t> next;
    std::vector<int64_t> band_indices;
    std::vector<float> band_values;
    for (size_t p0 = 0; p0 < n_rows;) {
      // Whole chunks per pass, at least one.
      size_t p1 = std::min(n_rows, p0 + rows_per_chunk);
      while (p1 < n_rows && static_cast<size_t>(per_row[std::min(n_rows, p1 + rows_per_chunk)] -
                                                per_row[p0]) <= kPassEntries)
        p1 = std::min(n_rows, p1 + rows_per_chunk);
      const int64_t base = per_row[p0];
      const size_t count = static_cast<size_t>(per_row[p1] - base);
      band_indices.resize(count);
      band_values.resize(count);
      next.assign(per_row.begin() + static_cast<ptrdiff_t>(p0),
                  per_row.begin() + static_cast<ptrdiff_t>(p1));
      for (size_t c = 0; c < n_cols; ++c) {
        for (int64_t p = indptr_.index(c); p < indptr_.index(c + 1); ++p) {
          const auto r = static_cast<size_t>(indices_.index(static_cast<size_t>(p)));
          if (r < p0 || r >= p1) continue;
          const auto at = static_cast<size_t>(next[r - p0]++ - base);
          band_indices[at] = static_cast<int64_t>(c);
          band_values[at] = static_cast<float>(values_.value(static_cast<size_t>(p)));
        }
      }
      for (size_t r0 = p0; r0 < p1; r0 += rows_per_chunk) {
        const size_t r1 = std::min(p1, r0 + rows_per_chunk);
        RowChunk ch;
        ch.row_begin = r0;
        ch.row_end = r1;
        ch.rows.n_rows = r1 - r0;
        ch.rows.n_cols = n_cols;
        ch.rows.dtype = info_.dtype;
        const auto a = static_cast<size_t>(per_row[r0] - base),
                   b = static_cast<size_t>(per_row[r1] - base);
        ch.rows.indices.assign(band_indices.begin() + static_cast<ptrdiff_t>(a),
                               band_indices.begin() + static_cast<ptrdiff_t>(b));
        ch.rows.data.assign(band_values.begin() + static_cast<ptrdiff_t>(a),
                            band_values.begin() + static_cast<ptrdiff_t>(b));
        for (size_t r = r0; r <= r1; ++r) ch.rows.indptr.push_back(per_row[r] - per_row[r0]);
        fn(ch);
      }
      p0 = p1;
    }
  }

  std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const override {
    std::vector<std::vector<float>> out(cols.size(), std::vector<float>(info_.n_rows, 0.0f));
    if (info_.format == MatrixInfo::Format::Dense) {
      for (size_t k = 0; k < cols.size(); ++k) {
        for (size_t r = 0; r < info_.n_rows; ++r) {
          out[k][r] = static_cast<float>(dense_at(r, cols[k]));
        }
      }
    } else if (info_.format == MatrixInfo::Format::CSC) {
      for (size_t k = 0; k < cols.size(); ++k) {
        for (int64_t p = indptr_.index(cols[k]); p < indptr_.index(cols[k] + 1); ++p) {
          out[k][static_cast<size_t>(indices_.index(static_cast<size_t>(p)))] =
              static_cast<float>(values_.value(static_cast<size_t>(p)));
        }
      }
    } else {
      std::vector<int32_t> slot(info_.n_cols, -1);
      for (size_t k = 0; k < cols.size(); ++k) slot[cols[k]] = static_cast<int32_t>(k);
      for (size_t r = 0; r < info_.n_rows; ++r) {
        for (int64_t p = indptr_.index(r); p < indptr_.index(r + 1); ++p) {
          const int32_t s = slot[static_cast<size_t>(indices_.index(static_cast<size_t>(p)))];
          if (s >= 0) {
            out[static_cast<size_t>(s)][r] =
                static_cast<float>(values_.value(static_cast<size_t>(p)));
          }
        }
      }
    }
    return out;
  }

  DenseMatrix dense() const override {
    DenseMatrix out;
    out.n_rows = info_.n_rows;
    out.n_cols = info_.n_cols;
    out.dtype = info_.dtype;
    out.values.assign(info_.n_rows * info_.n_cols, 0.0);
    if (info_.format == MatrixInfo::Format::Dense) {
      for (size_t r = 0; r < info_.n_rows; ++r) {
        for (size_t c = 0; c < info_.n_cols; ++c) out.values[r * out.n_cols + c] = dense_at(r, c);
      }
      return out;
    }
    const bool csr = info_.format == MatrixInfo::Format::CSR;
    const size_t n_major = csr ? info_.n_rows : info_.n_cols;
    for (size_t i = 0; i < n_major; ++i) {
      for (int64_t p = indptr_.index(i); p < indptr_.index(i + 1); ++p) {
        const auto j = static_cast<size_t>(indices_.index(static_cast<size_t>(p)));
        const size_t r = csr ? i : j, c = csr ? j : i;
        out.values[r * out.n_cols + c] = values_.value(static_cast<size_t>(p));
      }
    }
    return out;
  }

 private:
  BufferMatrix() = default;
  double dense_at(size_t r, size_t c) const {
    Vector v = values_;
    v.base += static_cast<ptrdiff_t>(r) * row_stride_ + static_cast<ptrdiff_t>(c) * col_stride_;
    return v.value(0);
  }

  MatrixInfo info_;
  Vector values_, indices_, indptr_;
  ptrdiff_t row_stride_ = 0, col_stride_ = 0;
  std::vector<py::object> arrays_;
};

}  // namespace

std::shared_ptr<const ExternalMatrix> buffer_matrix(py::handle parts) {
  return BufferMatrix::make(parts);
}

}  // namespace norvex::python
