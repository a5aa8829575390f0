#pragma once
// The precomputed results of the demonstration dataset (DEG, GSEA, GO over-representation,
// cell-cell interactions), computed from a bounded subsample of the generated cells.
#include <cstdint>
#include <vector>

#include "norvex/dataset/anndata.hpp"
#include "norvex/demo/model.hpp"

namespace norvex::demo {

// Cells whose expression feeds the statistics: at most `cap` per (cell type, condition),
// held as CSR rows.
struct Subsample {
  std::vector<uint32_t> cells;  // global cell indices, increasing
  std::vector<size_t> indptr;
  std::vector<uint32_t> genes;
  std::vector<float> values;
};

// A column of plain values (not categorical, nothing missing).
inline Column plain_column(Array values) {
  Column c;
  c.values = std::move(values);
  return c;
}

Subsample draw_subsample(const DemoModel& model, size_t cap_per_group);

// Names of the cell-type level the results are keyed by, per subset (celltype_minor).
const std::vector<std::string>& result_celltypes();

// uns['DEG'], ['DEG_vs_ref'], ['GSEA'], ['GSEA_vs_ref'], ['GSA_up'], ['GSA_vs_ref_up'],
// ['CCI'], ['CCI_sample'], in that order.
void add_results(const DemoModel& model, const Subsample& sample, UnsDict& uns);

// The pathway database as stored: a few symbols carry a trailing line break, as some
// databases deliver them.
UnsDict pathway_database();

inline constexpr size_t kGseaPermutations = 100;
inline constexpr size_t kCciPermutations = 100;
inline constexpr size_t kMinCellsPerGroup = 10;

}  // namespace norvex::demo
