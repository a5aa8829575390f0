#pragma once
// A realistic demonstration dataset: a lung tumour study (normal lung, primary tumours,
// metastases) with a three-level cell-type hierarchy, marker genes expressed where they
// belong, condition effects, CNV profiles on the malignant cells, and precomputed DEG,
// GSEA, GO and cell-cell interaction results computed from the generated expression.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "norvex/dataset/anndata.hpp"

namespace norvex {

struct DemoDataOptions {
  size_t n_cells = 4000;
  size_t n_genes = 2000;
  uint64_t seed = 0;
  // Statistics use at most this many cells per (cell type, condition).
  size_t max_cells_per_group = 400;
};

// Smallest gene count accepted (the markers, ligand-receptor and pathway genes).
size_t demo_min_genes();
inline constexpr size_t kDemoMinCells = 500;

// The whole dataset in memory, X included. For tests and modest sizes.
std::shared_ptr<AnnData> make_demo_data(const DemoDataOptions& options = {});

struct DemoWriteSummary {
  size_t n_cells = 0, n_genes = 0, nnz = 0;
};

// Writes the dataset to `path`, streaming X row chunk by row chunk so that memory stays
// bounded at any size. The file holds the same data as make_demo_data with the same
// options. `progress` (optional) receives short status texts.
DemoWriteSummary write_demo_data(const std::filesystem::path& path,
                                 const DemoDataOptions& options = {},
                                 const std::function<void(const std::string&)>& progress = {});

}  // namespace norvex
