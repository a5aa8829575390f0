#pragma once
// Per-cell-type results under the names the data context shows. anndata writes a mapping
// key holding "/" as nested HDF5 groups, so the tables of the cell type "CD4+/CD25 T Reg"
// sit at uns['DEG']['CD4+']['CD25 T Reg']; these functions join such nesting back into
// the real names.
#include <string>
#include <vector>

#include "norvex/dataset/anndata.hpp"

namespace norvex {

struct NamedResults {
  std::string name;       // "CD4+/CD25 T Reg"
  const UnsDict* tables;  // its entries; the ones that are tables are its results
  // The keys of `tables` whose values are tables (comparisons), in stored order.
  std::vector<std::string> table_keys() const;
};

// The entries of a result mapping (cell type -> {comparison -> table}) with their real
// names, in stored order. A group holding tables is a cell type; a group holding groups is
// part of a longer name; a group can be both (a "CD4+" beside "CD4+/CD25 T Reg"). Nesting
// deeper than a few levels is not followed.
std::vector<NamedResults> named_results(const UnsDict& results);

// The names alone, for listing valid values in errors.
std::vector<std::string> result_names(const UnsDict& results);

}  // namespace norvex
