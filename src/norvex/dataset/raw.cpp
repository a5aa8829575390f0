// raw: the unscaled expression anndata keeps beside a processed X (raw.X with its own var
// names, often more genes than var). Read by gene, never whole.
#include <algorithm>
#include <unordered_map>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/backing.hpp"

namespace norvex {

namespace {

// Where raw lives: "raw/X" + "raw/var" (anndata 0.7+), or "raw.X" + "raw.var" (older).
struct RawPaths {
  std::string x, var;
};

std::optional<RawPaths> raw_paths(const AnnData& ad) {
  if (!ad.backing_ || !ad.backing_->file) return std::nullopt;
  const hid_t f = *ad.backing_->file;
  for (const RawPaths& p : {RawPaths{"raw/X", "raw/var"}, RawPaths{"raw.X", "raw.var"}}) {
    if (h5::kind(f, p.x) != h5::Kind::Missing && h5::kind(f, p.var) != h5::Kind::Missing) return p;
  }
  return std::nullopt;
}

RawPaths require_raw(const AnnData& ad) {
  auto p = raw_paths(ad);
  if (!p) throw KeyError("the dataset has no raw");
  return *p;
}

}  // namespace

bool AnnData::has_raw() const {
  try {
    return raw_paths(*this).has_value();
  } catch (const h5::Failure&) {
    return false;
  }
}

std::vector<std::string> AnnData::raw_var_names() const {
  const RawPaths p = require_raw(*this);
  try {
    return detail::read_dataframe(backing_->file, backing_->path, p.var, false).index();
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, "damaged raw var: " + std::string(e.what()));
  }
}

MatrixInfo AnnData::raw_info() const {
  const RawPaths p = require_raw(*this);
  return detail::open_matrix(*backing_, p.x).info;
}

void AnnData::for_each_raw_row_chunk(size_t rows_per_chunk,
                                     const std::function<void(const RowChunk&)>& fn) const {
  const RawPaths p = require_raw(*this);
  const MatrixInfo info = raw_info();
  if (info.n_rows != n_obs())
    throw ValueError(p.x + " has " + std::to_string(info.n_rows) + " rows but the dataset has " +
                     std::to_string(n_obs()) + " cells");
  detail::row_chunks_of(*this, p.x, rows_per_chunk, fn);
}

std::vector<std::vector<float>> AnnData::raw_gene_expression(
    const std::vector<std::string>& genes) const {
  const RawPaths p = require_raw(*this);
  const std::vector<std::string> names = raw_var_names();
  std::unordered_map<std::string, size_t> position;
  for (size_t i = names.size(); i-- > 0;) position[names[i]] = i;  // first wins
  std::vector<size_t> cols;
  for (auto& g : genes) {
    auto it = position.find(g);
    if (it == position.end()) throw key_error(g);
    cols.push_back(it->second);
  }
  std::vector<std::vector<float>> out(genes.size(), std::vector<float>(n_obs(), 0.0f));
  if (genes.empty()) return out;
  // Output slots of each asked column (a gene may be asked for twice).
  std::vector<int32_t> slot_of(names.size(), -1);
  std::vector<std::vector<size_t>> slots;
  for (size_t s = 0; s < cols.size(); ++s) {
    if (slot_of[cols[s]] < 0) {
      slot_of[cols[s]] = static_cast<int32_t>(slots.size());
      slots.emplace_back();
    }
    slots[static_cast<size_t>(slot_of[cols[s]])].push_back(s);
  }
  auto put = [&](size_t col, size_t row, float v) {
    for (size_t s : slots[static_cast<size_t>(slot_of[col])]) out[s][row] = v;
  };
  const detail::MatrixSource m = detail::open_matrix(*backing_, p.x);
  const std::string what = "'" + p.x + "'";
  if (m.info.n_rows != n_obs() || m.info.n_cols != names.size())
    detail::fail_read(backing_->path, what + " does not match the cells and raw var names");
  try {
    const size_t n_major = m.info.format == MatrixInfo::Format::CSC ? m.info.n_cols : m.info.n_rows;
    std::vector<int64_t> ip;
    if (m.info.format != MatrixInfo::Format::Dense) {
      ip.resize(n_major + 1);
      h5::read_range(m.indptr, 0, ip.size(), ip.data());
      if (ip[0] != 0 || static_cast<size_t>(ip.back()) != m.info.nnz ||
          !std::is_sorted(ip.begin(), ip.end()))
        detail::fail_read(backing_->path, what + " has an indptr that does not match its data");
    }
    const size_t minor = m.info.format == MatrixInfo::Format::CSC ? m.info.n_rows : m.info.n_cols;
    auto check = [&](const std::vector<int64_t>& idx) {
      for (int64_t j : idx)
        if (j < 0 || static_cast<size_t>(j) >= minor)
          detail::fail_read(backing_->path, what + " holds an index out of range");
    };
    if (m.info.format == MatrixInfo::Format::CSR) {
      // Scan the column indices in blocks; read only the values of the asked genes.
      const size_t block = size_t{1} << 22;
      std::vector<int64_t> idx;
      std::vector<uint64_t> hits;
      std::vector<std::pair<size_t, size_t>> cell;
      std::vector<float> values;
      size_t row = 0;
      for (size_t a = 0; a < m.info.nnz; a += block) {
        const size_t n = std::min(block, m.info.nnz - a);
        idx.resize(n);
        h5::read_range(m.indices, a, n, idx.data());
        check(idx);
        hits.clear();
        cell.clear();
        for (size_t k = 0; k < n; ++k) {
          const size_t c = static_cast<size_t>(idx[k]);
          if (slot_of[c] < 0) continue;
          while (static_cast<size_t>(ip[row + 1]) <= a + k) ++row;
          hits.push_back(a + k);
          cell.emplace_back(row, c);
        }
        values.resize(hits.size());
        h5::read_points(m.data, hits, values.data());
        for (size_t h = 0; h < hits.size(); ++h) put(cell[h].second, cell[h].first, values[h]);
      }
    } else if (m.info.format == MatrixInfo::Format::CSC) {
      std::vector<int64_t> idx;
      std::vector<float> val;
      for (size_t c = 0; c < names.size(); ++c) {
        if (slot_of[c] < 0) continue;
        const size_t a = static_cast<size_t>(ip[c]), n = static_cast<size_t>(ip[c + 1] - ip[c]);
        idx.resize(n);
        val.resize(n);
        h5::read_range(m.indices, a, n, idx.data());
        h5::read_range(m.data, a, n, val.data());
        check(idx);
        for (size_t k = 0; k < n; ++k) put(c, static_cast<size_t>(idx[k]), val[k]);
      }
    } else {
      std::vector<double> column(m.info.n_rows);
      for (size_t c = 0; c < names.size(); ++c) {
        if (slot_of[c] < 0) continue;
        h5::read_block(m.dense, 0, c, m.info.n_rows, 1, column.data());
        for (size_t r = 0; r < column.size(); ++r) put(c, r, static_cast<float>(column[r]));
      }
    }
  } catch (const h5::Failure& e) {
    detail::fail_read(backing_->path, "damaged matrix " + what + ": " + e.what());
  }
  return out;
}

}  // namespace norvex
