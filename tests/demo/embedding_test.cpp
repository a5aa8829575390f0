// The embedding and the CNV matrix look like the real thing: one cluster per subset, and
// tumour cells carrying broad gains and losses. Set NORVEX_DEMO_PNG_DIR to keep the PNGs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>

#include "fixture.hpp"
#include "plot_helper.hpp"
#include "support/test_support.hpp"

namespace norvex::testing {
namespace {

TEST(DemoEmbedding, EachSubsetIsItsOwnCluster) {
  const AnnData& a = small_demo();
  const DenseMatrix xy = a.obsm("X_umap");
  const Column& subset = a.obs.col("celltype_subset");
  std::map<std::string, std::array<double, 3>> centre;
  for (size_t i = 0; i < a.n_obs(); ++i) {
    auto& c = centre[subset.text_at(i)];
    c[0] += xy.at(i, 0), c[1] += xy.at(i, 1), c[2] += 1;
  }
  for (auto& [_, c] : centre) c[0] /= c[2], c[1] /= c[2];
  size_t typed = 0, nearest_own = 0;
  for (size_t i = 0; i < a.n_obs(); ++i) {
    const std::string own = subset.text_at(i);
    if (own == "unassigned") continue;
    std::string best;
    double best_d = 1e300;
    for (auto& [label, c] : centre) {
      if (label == "unassigned") continue;
      const double d = std::hypot(xy.at(i, 0) - c[0], xy.at(i, 1) - c[1]);
      if (d < best_d) best_d = d, best = label;
    }
    ++typed;
    nearest_own += best == own;
  }
  EXPECT_GT(static_cast<double>(nearest_own) / typed, 0.95);
}

TEST(DemoEmbedding, RendersUmapAndCnvPictures) {
  TempDir tmp;
  const char* keep = std::getenv("NORVEX_DEMO_PNG_DIR");
  const std::filesystem::path dir = keep ? std::filesystem::path(keep) : tmp.path();
  std::filesystem::create_directories(dir);
  render_umap_png(small_demo(), "celltype_subset", dir / "demo_umap_subset.png");
  render_umap_png(small_demo(), "condition", dir / "demo_umap_condition.png");
  render_cnv_png(small_demo(), dir / "demo_cnv.png");
  for (const char* f : {"demo_umap_subset.png", "demo_umap_condition.png", "demo_cnv.png"}) {
    const std::string bytes = read_file(dir / f);
    ASSERT_GT(bytes.size(), 1000u) << f;
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
  }
}

}  // namespace
}  // namespace norvex::testing
