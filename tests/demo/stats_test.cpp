// The statistics behind the results, against values worked out independently.
#include <gtest/gtest.h>

#include <cmath>

#include "norvex/demo/random.hpp"
#include "norvex/demo/stats.hpp"

namespace norvex::demo {
namespace {

TEST(DemoStats, BenjaminiHochbergMatchesTheTextbookExample) {
  // Computed by hand: p * m / rank, then the running minimum from the largest down.
  const std::vector<double> p = {0.01, 0.04, 0.03, 0.005, 0.5};
  const std::vector<double> adj = bh_adjust(p);
  const std::vector<double> expected = {0.025, 0.05, 0.05, 0.025, 0.5};
  for (size_t i = 0; i < p.size(); ++i) EXPECT_NEAR(adj[i], expected[i], 1e-12);
}

TEST(DemoStats, HypergeometricTailMatchesDirectCounting) {
  // N=20, K=5, n=4: P(X>=2) = 1 - [C(15,4) + 5*C(15,3)] / C(20,4) = 1 - (1365+2275)/4845.
  EXPECT_NEAR(hypergeom_sf(2, 20, 5, 4), 1.0 - 3640.0 / 4845.0, 1e-12);
  EXPECT_DOUBLE_EQ(hypergeom_sf(0, 20, 5, 4), 1.0);
  EXPECT_DOUBLE_EQ(hypergeom_sf(5, 20, 5, 4), 0.0);
}

TEST(DemoStats, RankSumHandlesTiesAndZerosAndMissingExpression) {
  // Group 1: 0, 0, 2, 3; group 2: 0, 1, 1, 0; left out: 9.
  GeneColumns data;
  data.n_cells = 9;
  data.columns = {{{2, 2.f}, {3, 3.f}, {5, 1.f}, {6, 1.f}, {8, 9.f}}, {}};
  const std::vector<int8_t> group = {1, 1, 1, 1, 2, 2, 2, 2, 0};
  const RankResult r = wilcoxon_rank_sum(data, group);
  // Ranks: four zeros share 2.5, the two ones 5.5, then 7 and 8. R1 = 2.5*2 + 7 + 8 = 20.
  // E = 18; var = 16/12 * (9 - (60 + 6) / 56) with ties 4 and 2.
  const double var = 16.0 / 12.0 * (9.0 - 66.0 / 56.0);
  EXPECT_NEAR(r.scores[0], 2.0 / std::sqrt(var), 1e-12);
  EXPECT_NEAR(r.pvals[0], std::erfc(2.0 / std::sqrt(var) / std::sqrt(2.0)), 1e-12);
  EXPECT_NEAR(r.frac1[0], 0.5, 1e-12);
  // Of expm1 of the mean logs: (2 + 3) / 4 against (1 + 1) / 4.
  EXPECT_NEAR(r.logfoldchanges[0], std::log2((std::expm1(1.25) + 1e-9) / (std::expm1(0.5) + 1e-9)),
              1e-9);
  // A gene nobody expresses scores 0 with p = 1, not NaN.
  EXPECT_EQ(r.scores[1], 0.0);
  EXPECT_EQ(r.pvals[1], 1.0);
}

TEST(DemoStats, GseaFindsATopRankedSetAndItsLeadingEdge) {
  const size_t N = 400;
  std::vector<double> scores(N);
  std::vector<std::string> genes(N);
  for (size_t i = 0; i < N; ++i) {
    scores[i] = 10.0 - 20.0 * static_cast<double>(i) / N;
    genes[i] = "G" + std::to_string(i);
  }
  Rng rng(5);
  std::vector<size_t> scattered;
  for (size_t k = 0; k < 20; ++k) scattered.push_back(rng.below(N));
  std::sort(scattered.begin(), scattered.end());
  scattered.erase(std::unique(scattered.begin(), scattered.end()), scattered.end());
  const auto res = gsea_prerank(
      scores, genes, {"top", "bottom", "scattered"},
      {{0, 2, 4, 6, 8, 10, 12, 14, 16, 18}, {399, 397, 395, 393, 391}, scattered}, 200, 3);
  EXPECT_GT(res[0].es, 0.9);
  EXPECT_GT(res[0].nes, 1.5);
  EXPECT_LT(res[0].pval, 0.02);
  EXPECT_EQ(res[0].lead_genes.size(), 10u);
  EXPECT_EQ(res[0].lead_genes.front(), "G0");
  EXPECT_LT(res[1].es, -0.9);
  EXPECT_LT(res[1].nes, -1.5);
  EXPECT_EQ(res[1].lead_genes.front(), "G391");
  EXPECT_GT(res[2].pval, 0.05);
  // Deterministic for a seed.
  const auto again = gsea_prerank(
      scores, genes, {"top", "bottom", "scattered"},
      {{0, 2, 4, 6, 8, 10, 12, 14, 16, 18}, {399, 397, 395, 393, 391}, scattered}, 200, 3);
  EXPECT_EQ(again[2].pval, res[2].pval);
  EXPECT_EQ(again[2].fdr, res[2].fdr);
}

TEST(DemoStats, AliasTableDrawsInProportionToWeights) {
  const AliasTable t({1.0, 0.0, 3.0, 6.0});
  Rng rng(1);
  std::vector<int> counts(4, 0);
  for (int i = 0; i < 100000; ++i) ++counts[t.draw(rng)];
  EXPECT_EQ(counts[1], 0);
  EXPECT_NEAR(counts[0] / 1e5, 0.1, 0.01);
  EXPECT_NEAR(counts[2] / 1e5, 0.3, 0.01);
  EXPECT_NEAR(counts[3] / 1e5, 0.6, 0.01);
}

}  // namespace
}  // namespace norvex::demo
