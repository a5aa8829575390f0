#pragma once
// One generated dataset shared by the demo tests (generation is the slow part).
#include <memory>

#include "norvex/dataset/anndata.hpp"
#include "norvex/demo/demo_data.hpp"

namespace norvex::testing {

inline DemoDataOptions small_demo_options() {
  DemoDataOptions o;
  o.n_cells = 1500;
  o.n_genes = 2000;
  o.seed = 7;
  return o;
}

inline const AnnData& small_demo() {
  static const std::shared_ptr<AnnData> data = make_demo_data(small_demo_options());
  return *data;
}

// Dense copy of X (the small dataset only).
std::vector<std::vector<float>> dense_x(const AnnData& adata);
// Mean expression of a gene over the cells for which `keep` is true.
double mean_of(const AnnData& adata, const std::string& gene, const std::vector<bool>& keep);
std::vector<bool> cells_where(const AnnData& adata, const std::string& column,
                              const std::string& value);

}  // namespace norvex::testing
