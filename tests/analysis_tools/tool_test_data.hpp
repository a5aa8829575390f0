#pragma once
// What the tool tests share: a small demo dataset made once per test program, and a tool
// run that draws without showing.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/json.hpp"
#include "norvex/demo/demo_data.hpp"

namespace norvex::testing {

// A demo dataset of `n_cells` cells and at least `min_genes` genes, made on the first call
// with these sizes and seed and kept for the rest of the test program.
inline AnnData& small_demo(size_t n_cells, size_t min_genes, uint64_t seed) {
  static std::map<std::tuple<size_t, size_t, uint64_t>, std::shared_ptr<AnnData>> made;
  auto& d = made[{n_cells, min_genes, seed}];
  if (!d) {
    DemoDataOptions o;
    o.n_cells = n_cells;
    o.n_genes = std::max<size_t>(demo_min_genes(), min_genes);
    o.seed = seed;
    d = make_demo_data(o);
  }
  return *d;
}

inline json run_tool_quietly(AnnData& adata, const std::string& tool, json args) {
  args["show"] = false;
  return builtin_tool_funcs().at(tool)(adata, args);
}

}  // namespace norvex::testing
