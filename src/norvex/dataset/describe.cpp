// A readable summary of any dataset, in the spirit of anndata's repr.
#include <sstream>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"

namespace norvex {

namespace {

// Python's tuple form: (10,), (700, 50).
std::string shape_text(const std::vector<size_t>& shape) {
  std::string s = "(";
  for (size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + (shape.size() == 1 ? ",)" : ")");
}

std::string quoted_list(const std::vector<std::string>& names, size_t limit = 40) {
  std::string s;
  for (size_t i = 0; i < names.size() && i < limit; ++i) s += (i ? ", '" : "'") + names[i] + "'";
  if (names.size() > limit) s += ", ... (" + std::to_string(names.size()) + " in all)";
  return s;
}

std::string short_text(const std::string& s, size_t limit = 60) {
  if (s.size() <= limit) return s;
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // UTF-8 safe
  return s.substr(0, cut) + "...";
}

void frame_line(std::ostringstream& out, const std::string& label, const DataFrame& df) {
  if (df.columns().empty()) return;
  std::vector<std::string> parts;
  for (auto& c : df.columns()) parts.push_back(c + "' (" + df.col(c).dtype_name() + ")");
  out << "\n    " << label << ": ";
  for (size_t i = 0; i < parts.size(); ++i) out << (i ? ", '" : "'") << parts[i];
}

void uns_tree(std::ostringstream& out, const UnsDict& d, int depth) {
  std::string pad(4 * static_cast<size_t>(depth), ' ');
  for (auto& key : d.keys()) {
    const UnsNode& n = d.at(key);
    out << "\n" << pad << key << ": ";
    const auto& v = n.value();
    if (n.is_dict()) {
      out << "dict (" << n.dict().size() << (n.dict().size() == 1 ? " key)" : " keys)");
      uns_tree(out, n.dict(), depth + 1);
    } else if (n.is_table()) {
      const DataFrame& t = n.table();
      out << "dataframe " << shape_text({t.n_rows(), t.columns().size()});
      if (!t.columns().empty()) out << ": " << quoted_list(t.columns(), 12);
    } else if (n.is_array()) {
      const Array& a = n.array();
      if (a.is_scalar()) {
        std::string text = a.size() ? a.text_at(0) : "";
        out << "scalar " << a.dtype << " = "
            << (a.kind == Array::Kind::String ? "'" + short_text(text) + "'" : text);
      } else {
        out << "array " << a.dtype << " " << shape_text(a.shape);
      }
    } else if (auto* m = std::get_if<SparseMatrix>(&v)) {
      out << "sparse " << (m->format == SparseMatrix::Format::CSR ? "csr" : "csc") << " "
          << shape_text({m->n_rows, m->n_cols});
    } else if (auto* o = std::get_if<StoredObject>(&v)) {
      out << "stored" << (o->encoding_type.empty() ? "" : " " + o->encoding_type);
    } else {
      out << "null";
    }
  }
}

std::string matrix_text(const MatrixInfo& info) {
  std::string f = info.format == MatrixInfo::Format::CSR   ? "csr_matrix"
                  : info.format == MatrixInfo::Format::CSC ? "csc_matrix"
                                                           : "dense array";
  std::string s = f + " " + info.dtype;
  if (info.format != MatrixInfo::Format::Dense)
    s += ", " + std::to_string(info.nnz) + " stored values";
  return s;
}

}  // namespace

std::string describe_structure(const AnnData& adata) {
  std::ostringstream out;
  out << "AnnData object with n_obs × n_vars = " << adata.n_obs() << " × " << adata.n_vars();
  // Matrices are described from their headers only; a damaged one is reported, not fatal.
  try {
    if (adata.has_X()) out << "\n    X: " << matrix_text(adata.x_info());
  } catch (const std::exception& e) {
    out << "\n    X: unreadable (" << e.what() << ")";
  }
  frame_line(out, "obs", adata.obs);
  frame_line(out, "var", adata.var);
  auto obsm = adata.obsm_keys();
  if (!obsm.empty()) {
    out << "\n    obsm: ";
    for (size_t i = 0; i < obsm.size(); ++i) {
      out << (i ? ", '" : "'") << obsm[i] << "'";
      try {
        out << " " << shape_text(adata.obsm_shape(obsm[i]));
      } catch (const std::exception&) {
        out << " (unreadable)";
      }
    }
  }
  try {
    auto layers = adata.layer_keys();
    if (!layers.empty()) out << "\n    layers: " << quoted_list(layers);
    auto other = adata.stored_groups();
    if (!other.empty()) out << "\n    other: " << quoted_list(other);
  } catch (const std::exception& e) {
    out << "\n    other: unreadable (" << e.what() << ")";
  }
  if (!adata.uns.empty()) {
    out << "\n    uns:";
    uns_tree(out, adata.uns, 2);
  }
  return out.str();
}

}  // namespace norvex
