// The CNV heatmap over a large dataset: obsm['X_cnv'] is streamed and averaged into the
// figure's pixel rows, so peak memory should stay far below the matrix's own size.
//
//   ./build/norvex demo-data big.h5ad --cells 1000000 --genes 2000
//   ./build/bench/cnv_heatmap_bench big.h5ad
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/dataset/anndata.hpp"

using namespace norvex;

static double peak_mb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: cnv_heatmap_bench FILE.h5ad\n");
    return 2;
  }
  auto adata = AnnData::read_h5ad(argv[1]);
  const auto shape = adata->obsm_shape("X_cnv");
  const double before = peak_mb();
  const auto t0 = std::chrono::steady_clock::now();
  const json r = builtin_tool_funcs().at("plot_cnv_heatmap")(*adata, {{"show", false}});
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double matrix_mb = static_cast<double>(shape[0] * shape[1]) * 8 / (1024.0 * 1024.0);
  std::printf(
      "cnv heatmap: %zu cells x %zu bins in %.2f s; peak RSS %.0f MB (%.0f MB after "
      "opening); the matrix as doubles would be %.0f MB\n",
      shape[0], shape[1], secs, peak_mb(), before, matrix_mb);
  return r.contains("img_base64") ? 0 : 1;
}
