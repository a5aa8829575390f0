#include "norvex/display/show_tree.hpp"

#include <algorithm>

#include "norvex/dataset/anndata.hpp"

namespace norvex {
namespace {

// A tree built first, then drawn, so every level can be cut the same way.
struct TreeNode {
  std::string label;
  std::vector<TreeNode> children;
  bool truncated_depth = false;  // children exist but lie below the depth limit
};

std::string shape_text(const std::vector<size_t>& shape) {
  std::string s;
  for (size_t i = 0; i < shape.size(); ++i) s += (i ? " × " : "") + std::to_string(shape[i]);
  return s;
}

std::string plural(size_t n, const std::string& word) {
  if (n == 1) return "1 " + word;
  if (word == "category") return std::to_string(n) + " categories";
  return std::to_string(n) + " " + word + "s";
}

// At most `n` characters of UTF-8 text, cut on a character boundary.
std::string clip(const std::string& s, size_t n) {
  if (s.size() <= n) return s;
  size_t cut = n;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return s.substr(0, cut) + "…";
}

std::string column_label(const std::string& name, const Column& col) {
  std::string label = name + " (" + col.dtype_name();
  if (col.is_categorical()) label += ", " + plural(col.categories->size(), "category");
  return label + ")";
}

TreeNode frame_node(const std::string& name, const DataFrame& df) {
  TreeNode node{
      name + ": " + plural(df.n_rows(), "row") + " × " + plural(df.columns().size(), "column"), {}};
  for (const auto& c : df.columns()) node.children.push_back({column_label(c, df.col(c)), {}});
  return node;
}

std::string array_label(const Array& a) {
  if (a.is_scalar()) {
    std::string v = a.size() ? a.text_at(0) : "";
    return clip(v, 60) + " (" + a.dtype + ")";
  }
  return "array " + shape_text(a.shape) + " (" + a.dtype + ")";
}

TreeNode uns_node(const std::string& name, const UnsNode& node, size_t depth,
                  const ShowTreeOptions& o);

TreeNode dict_node(const std::string& label, const UnsDict& d, size_t depth,
                   const ShowTreeOptions& o) {
  TreeNode t{label + " (" + plural(d.size(), "key") + ")", {}};
  if (depth >= o.max_depth) {
    t.truncated_depth = !d.empty();
    return t;
  }
  for (const auto& k : d.keys()) t.children.push_back(uns_node(k, d.at(k), depth + 1, o));
  return t;
}

TreeNode uns_node(const std::string& name, const UnsNode& node, size_t depth,
                  const ShowTreeOptions& o) {
  const std::string prefix = name.empty() ? "" : name + ": ";
  const auto& v = node.value();
  if (const auto* d = std::get_if<UnsDict>(&v))
    return dict_node(name.empty() ? "dict" : name, *d, depth, o);
  if (const auto* df = std::get_if<DataFrame>(&v)) {
    TreeNode t = frame_node(name.empty() ? "DataFrame" : name + ": DataFrame", *df);
    if (depth >= o.max_depth) {
      t.truncated_depth = !t.children.empty();
      t.children.clear();
    }
    return t;
  }
  if (const auto* a = std::get_if<Array>(&v)) return {prefix + array_label(*a), {}};
  if (const auto* m = std::get_if<SparseMatrix>(&v)) {
    return {prefix + (m->format == SparseMatrix::Format::CSR ? "csr" : "csc") + " matrix " +
                std::to_string(m->n_rows) + " × " + std::to_string(m->n_cols) + " (" + m->dtype +
                ")",
            {}};
  }
  if (const auto* s = std::get_if<StoredObject>(&v)) {
    return {prefix + (s->encoding_type.empty() ? "stored object" : s->encoding_type) +
                " (kept in file)",
            {}};
  }
  return {prefix + "None", {}};
}

void draw(const TreeNode& node, const std::string& indent, bool is_root, bool last,
          const ShowTreeOptions& o, std::string& out) {
  if (is_root) {
    out += node.label + "\n";
  } else {
    out += indent + (last ? "└── " : "├── ") + node.label + "\n";
  }
  const std::string child_indent = is_root ? "" : indent + (last ? "    " : "│   ");
  const size_t shown = std::min(node.children.size(), o.max_children);
  const bool more = node.children.size() > shown || node.truncated_depth;
  for (size_t i = 0; i < shown; ++i) {
    draw(node.children[i], child_indent, false, i + 1 == shown && !more, o, out);
  }
  if (node.children.size() > shown) {
    out += child_indent + "└── … (" + std::to_string(node.children.size() - shown) + " more)\n";
  } else if (node.truncated_depth) {
    out += child_indent + "└── …\n";
  }
}

std::string render(const TreeNode& root, const ShowTreeOptions& o) {
  std::string out;
  draw(root, "", true, true, o, out);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

std::string show_tree(const AnnData& adata, const ShowTreeOptions& o) {
  TreeNode root{"AnnData object with n_obs × n_vars = " + std::to_string(adata.n_obs()) + " × " +
                    std::to_string(adata.n_vars()),
                {}};
  // Matrices live in the file; a damaged one is reported in its branch, not thrown.
  try {
    if (adata.has_X()) {
      MatrixInfo x = adata.x_info();
      std::string fmt = x.format == MatrixInfo::Format::Dense ? "dense"
                        : x.format == MatrixInfo::Format::CSR ? "csr"
                                                              : "csc";
      std::string label = "X: " + fmt + " " + std::to_string(x.n_rows) + " × " +
                          std::to_string(x.n_cols) + " (" + x.dtype;
      if (x.format != MatrixInfo::Format::Dense) label += ", " + std::to_string(x.nnz) + " stored";
      root.children.push_back({label + ")", {}});
    }
  } catch (const std::exception& e) {
    root.children.push_back({std::string("X: unreadable (") + e.what() + ")", {}});
  }
  root.children.push_back(frame_node("obs", adata.obs));
  root.children.push_back(frame_node("var", adata.var));
  try {
    std::vector<std::string> keys = adata.obsm_keys();
    if (!keys.empty()) {
      TreeNode obsm{"obsm", {}};
      for (const auto& k : keys)
        obsm.children.push_back({k + " (" + shape_text(adata.obsm_shape(k)) + ")", {}});
      root.children.push_back(std::move(obsm));
    }
    std::vector<std::string> layers = adata.layer_keys();
    if (!layers.empty()) {
      TreeNode t{"layers", {}};
      for (const auto& k : layers) t.children.push_back({k, {}});
      root.children.push_back(std::move(t));
    }
  } catch (const std::exception& e) {
    root.children.push_back({std::string("obsm/layers: unreadable (") + e.what() + ")", {}});
  }
  root.children.push_back(dict_node("uns", adata.uns, 1, o));
  return render(root, o);
}

std::string show_tree(const UnsNode& node, const ShowTreeOptions& o) {
  return render(uns_node("", node, 0, o), o);
}

}  // namespace norvex
