#include "norvex/dataset/data_context.hpp"

#include <algorithm>
#include <map>
#include <vector>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"

namespace norvex {
namespace {

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += items[i];
  }
  return out;
}

const Column& required_obs_column(const AnnData& adata, const std::string& name) {
  if (!adata.obs.has(name)) {
    throw KeyError("'" + name + "': the dataset has no obs column '" + name + "'");
  }
  return adata.obs.col(name);
}

const UnsDict& required_uns_dict(const AnnData& adata, const std::string& key) {
  if (!adata.uns.contains(key)) {
    throw KeyError("'" + key + "': the dataset has no uns['" + key + "']");
  }
  const UnsNode& node = adata.uns.at(key);
  if (!node.is_dict()) {
    throw TypeError("uns['" + key + "'] must be a mapping, not " + node.kind_name());
  }
  return node.dict();
}

const UnsNode& required_entry(const UnsDict& dict, const std::string& parent,
                              const std::string& key) {
  if (!dict.contains(key)) {
    throw KeyError("'" + key + "': the dataset has no uns['" + parent + "']['" + key + "']");
  }
  return dict.at(key);
}

// Text of a scalar entry; the description concatenates these, so they must be text.
std::string required_text(const UnsDict& dict, const std::string& parent, const std::string& key) {
  const UnsNode& node = required_entry(dict, parent, key);
  if (!node.is_scalar() || node.array().kind != Array::Kind::String) {
    throw TypeError("uns['" + parent + "']['" + key + "'] must be a string, not " +
                    node.kind_name());
  }
  return node.text();
}

// Any scalar as text (the cell-type level name and reference condition are inserted as text).
std::string scalar_text(const UnsDict& dict, const std::string& parent, const std::string& key) {
  const UnsNode& node = required_entry(dict, parent, key);
  if (!node.is_scalar()) {
    throw TypeError("uns['" + parent + "']['" + key + "'] must be a single value, not " +
                    node.kind_name());
  }
  return node.array().text_at(0);
}

bool marked_true(const Column& col, size_t i) {
  if (col.is_missing(i)) return false;
  if (col.is_categorical()) {
    const std::string t = col.text_at(i);
    return t == "True" || t == "true" || t == "1";
  }
  switch (col.values.kind) {
    case Array::Kind::Bool:
    case Array::Kind::Int:
      return col.values.ints[i] == 1;
    case Array::Kind::Float:
      return col.values.floats[i] == 1.0;
    case Array::Kind::String:
      return col.values.strings[i] == "True" || col.values.strings[i] == "true";
  }
  return false;
}

// Labels of celltype_major among tumour-origin cells, most frequent first; ties keep the
// order of first appearance (categories first, for categorical columns).
std::vector<std::string> tumor_origin_label_counts(const AnnData& adata) {
  const Column& origin = required_obs_column(adata, "tumor_origin_ind");
  const Column& major = required_obs_column(adata, "celltype_major");
  std::vector<std::string> order;
  std::map<std::string, size_t> counts;
  if (major.is_categorical()) {
    for (size_t c = 0; c < major.categories->size(); ++c) {
      order.push_back(major.categories->text_at(c));
      counts[order.back()] = 0;
    }
  }
  if (major.is_categorical()) {
    // Counted by code: a million cells need no text per cell.
    std::vector<size_t> by_code(major.categories->size(), 0);
    for (size_t i = 0; i < adata.n_obs(); ++i) {
      if (!marked_true(origin, i) || major.is_missing(i)) continue;
      ++by_code[static_cast<size_t>(major.values.ints[i])];
    }
    for (size_t c = 0; c < by_code.size(); ++c) counts[order[c]] += by_code[c];
  } else {
    for (size_t i = 0; i < adata.n_obs(); ++i) {
      if (!marked_true(origin, i) || major.is_missing(i)) continue;
      std::string label = major.text_at(i);
      auto [it, inserted] = counts.emplace(label, 0);
      if (inserted) order.push_back(label);
      ++it->second;
    }
  }
  std::stable_sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
    return counts[a] > counts[b];
  });
  // Labels that no tumour-origin cell carries do not count as candidates.
  std::vector<std::string> present;
  for (auto& l : order)
    if (counts[l] > 0) present.push_back(l);
  return present;
}

std::string tumor_origin_label(const AnnData& adata) {
  std::vector<std::string> labels = tumor_origin_label_counts(adata);
  // With no tumour-origin cells, or "unassigned" as the only label, report "unassigned".
  if (labels.empty()) return "unassigned";
  if (labels[0] != "unassigned") return labels[0];
  if (labels.size() < 2) return "unassigned";
  return "unassigned, " + labels[1];
}

bool tumor_id_set(const AnnData& adata) {
  const UnsDict& usr = required_uns_dict(adata, "usr_param");
  return required_entry(usr, "usr_param", "tumor_id").truthy();
}

// Columns of the first table of a one-level (`levels` = 1) or two-level result mapping;
// nullopt when the mapping holds no table at that position.
std::optional<std::vector<std::string>> first_table_columns(const UnsNode& node, int levels) {
  const UnsNode* cur = &node;
  for (int l = 0; l < levels; ++l) {
    if (!cur->is_dict() || cur->dict().empty()) return std::nullopt;
    cur = &cur->dict().at(cur->dict().keys().front());
  }
  if (!cur->is_table()) return std::nullopt;
  return cur->table().columns();
}

}  // namespace

std::optional<std::string> find_tumor_origin_celltype(const AnnData& adata) {
  if (!tumor_id_set(adata)) return std::nullopt;
  return tumor_origin_label(adata);
}

std::string get_data_description_str(const AnnData& adata) {
  std::string s = "AnnData: " + std::to_string(adata.obs.n_rows()) + " cells × " +
                  std::to_string(adata.var.n_rows()) + " genes";
  s += "\n - obs columns: " + join(adata.obs.columns());
  s += "\n - var columns: " + join(adata.var.columns());

  const UnsDict& usr = required_uns_dict(adata, "usr_param");
  s += "\n - species: " + required_text(usr, "usr_param", "species");
  s += "\n - tissue: " + required_text(usr, "usr_param", "tissue");

  std::vector<std::string> conditions = required_obs_column(adata, "condition").unique_text();
  s += "\n - conditions: " + join(conditions);
  for (const char* level : {"celltype_major", "celltype_minor", "celltype_subset"}) {
    s +=
        std::string("\n - ") + level + ": " + join(required_obs_column(adata, level).unique_text());
  }

  const bool tumor = required_entry(usr, "usr_param", "tumor_id").truthy();
  if (tumor) {
    s += "\n - Tumor origin celltype: " + tumor_origin_label(adata);
    s += "\n - ploidy_dec: Aneuploid, Diploid ";
  }

  const UnsDict& params = required_uns_dict(adata, "analysis_parameters");
  const std::string taxo_level = scalar_text(params, "analysis_parameters", "CCI_DEG_BASE");
  const std::string deg_ref = scalar_text(params, "analysis_parameters", "DEG_REF_GROUP");
  if (std::find(conditions.begin(), conditions.end(), deg_ref) != conditions.end()) {
    s += "\n - Reference condition for DEG_vs_ref, GSEA_vs_ref, and GSA_vs_ref_up: " + deg_ref;
  }

  struct TableLine {
    const char* key;
    const char* prefix;
    int levels;
  };
  for (const TableLine& t : {TableLine{"CCI", "\n - CCI DataFrame columns: ", 1},
                             TableLine{"DEG", "\n - DEG DataFrame columns: ", 2},
                             TableLine{"GSEA", "\n - GSEA DataFrame columns: ", 2},
                             TableLine{"GSA_up", "\n - GSA DataFrame columns: ", 2}}) {
    if (!adata.uns.contains(t.key)) continue;
    // An empty result mapping has no table to show; its line is left out.
    if (auto cols = first_table_columns(adata.uns.at(t.key), t.levels)) s += t.prefix + join(*cols);
  }

  s += "\n\nPrecomputed results include .. ";
  const std::string per_rest = " comparing one condition versus the rest.";
  const std::string per_ref = " comparing one condition versus the reference condition.";
  const std::vector<std::pair<std::string, std::string>> results = {
      {"CCI", "Cell-cell interaction (CellPhoneDB) results per condition."},
      {"CCI_sample", "Cell-cell interaction (CellPhoneDB) results per sample."},
      {"DEG", "DEG results for each " + taxo_level + per_rest},
      {"DEG_vs_ref", "DEG results for each " + taxo_level + per_ref},
      {"GSEA", "GSEA results for each " + taxo_level + per_rest},
      {"GSEA_vs_ref", "GSEA results for each " + taxo_level + per_ref},
      {"GSA_up", "GO(GSA) results for each " + taxo_level + per_rest},
      {"GSA_vs_ref_up", "GO(GSA) results for each " + taxo_level + per_ref},
  };
  for (auto& [key, text] : results) {
    if (adata.uns.contains(key)) s += "\n - uns['" + key + "']: " + text;
  }
  if (tumor) {
    s += "\n - obs['ploidy_dec']: Ploidy inference label (Aneuploid/Diploid).";
    s += "\n - obsm['X_cnv']: CNV estimates.";
  }
  return s;
}

std::string get_data_context(const AnnData& adata) {
  return "\n\n[DATA CONTEXT]\n" +
         std::string("An AnnData (obtained from single-cell RNA-seq data) is given: \n") +
         get_data_description_str(adata);
}

}  // namespace norvex
