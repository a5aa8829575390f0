// The marker statistics against scipy (Debian's Python) on the same numbers: the rank-sum
// test, Benjamini-Hochberg, and the streaming one-group-against-the-rest computation over
// sparse matrices with ties, zeros, negative values and cells without a group.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "norvex/analysis_tools/group_tests.hpp"
#include "norvex/analysis_tools/rank_tests.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using detail::benjamini_hochberg;
using detail::MarkerStats;
using detail::rank_genes_against_rest;
using detail::rank_sum_test;

void expect_rel(double ours, double theirs, const std::string& what) {
  if (std::isnan(theirs)) {
    EXPECT_TRUE(std::isnan(ours)) << what;
    return;
  }
  EXPECT_NEAR(ours, theirs, 1e-9 * std::max(1e-300, std::fabs(theirs))) << what;
}

json oracle(const std::string& script, const json& input) {
  testing::TempDir dir;
  testing::write_file(dir / "in.json", input.dump());
  auto r = testing::run_oracle_python(script, (dir / "in.json").string());
  if (r.exit_code != 0) throw std::runtime_error("oracle failed: " + r.err);
  return json::parse(r.out);
}

const char* kRankSumScript = R"(
import json, sys
from scipy import stats
cases = json.load(open(sys.argv[1]))
out = []
for x, y in cases:
    r = stats.ranksums(x, y)
    out.append([float(r.statistic), float(r.pvalue)])
print(json.dumps(out))
)";

TEST(RankTests, RankSumMatchesScipyWithTiesNegativesAndExtremes) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "no oracle Python";
  std::mt19937 rng(3);
  std::vector<std::pair<std::vector<double>, std::vector<double>>> cases = {
      {{1, 2, 3}, {4, 5, 6, 7}},
      {{0, 0, 0, 1, 1}, {0, 0, 1, 2, 2, 2}},                // heavy ties
      {{-1.5, 0, 2.5, 2.5}, {-3, -1.5, 0, 0, 7}},           // negatives
      {{1, 1, 1}, {1, 1, 1, 1}},                            // all tied: z = 0
      {{10, 11, 12, 13, 14, 15, 16, 17}, {1, 2, 3, 4, 5}},  // complete separation
  };
  std::vector<double> big_x, big_y;  // large samples: a tiny p-value
  std::uniform_int_distribution<int> level(0, 6);
  for (int i = 0; i < 3000; ++i) big_x.push_back(level(rng) * 0.5 + 0.5);
  for (int i = 0; i < 5000; ++i) big_y.push_back(level(rng) * 0.5);
  cases.push_back({big_x, big_y});
  json input = json::array();
  for (auto& [x, y] : cases) input.push_back({x, y});
  const json expected = oracle(kRankSumScript, input);
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto r = rank_sum_test(cases[i].first, cases[i].second);
    expect_rel(r.statistic, expected[i][0].get<double>(), "z of case " + std::to_string(i));
    expect_rel(r.pvalue, expected[i][1].get<double>(), "p of case " + std::to_string(i));
  }
  EXPECT_TRUE(std::isnan(rank_sum_test(std::vector<double>{}, std::vector<double>{1.0}).pvalue));
}

TEST(RankTests, BenjaminiHochbergWithTiesAndNaNs) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "no oracle Python";
  const double nan = std::nan("");
  const std::vector<std::vector<double>> cases = {
      {0.01, 0.04, 0.03, 0.04, 0.2, 0.9, 0.04},
      {nan, 0.001, 0.5, nan, 0.001, 0.02},
      {1.0, 1.0, 0.99},
      {nan, nan},
  };
  // The step-up rule written independently with NumPy, NaNs left out of the count.
  const char* script = R"(
import json, sys
import numpy as np
out = []
for case in json.load(open(sys.argv[1])):
    p = np.array([np.nan if v is None else v for v in case], dtype=float)
    res = np.full(p.shape, np.nan)
    ok = ~np.isnan(p)
    q = p[ok]
    m = len(q)
    if m:
        order = np.argsort(q, kind="mergesort")
        scaled = q[order] * m / np.arange(1, m + 1)
        adj = np.minimum(1.0, np.minimum.accumulate(scaled[::-1])[::-1])
        back = np.empty(m); back[order] = adj
        res[ok] = back
    out.append([None if np.isnan(v) else float(v) for v in res])
print(json.dumps(out))
)";
  json input = json::array();
  for (auto& c : cases) {
    json row = json::array();
    for (double v : c) row.push_back(std::isnan(v) ? json(nullptr) : json(v));
    input.push_back(row);
  }
  const json expected = oracle(script, input);
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto adj = benjamini_hochberg(cases[i]);
    ASSERT_EQ(adj.size(), cases[i].size());
    for (size_t k = 0; k < adj.size(); ++k)
      expect_rel(adj[k], expected[i][k].is_null() ? nan : expected[i][k].get<double>(),
                 "case " + std::to_string(i) + " item " + std::to_string(k));
  }
}

// A small expression matrix with the shapes that break rank shortcuts: mostly zeros,
// repeated values across groups, one gene with negative values, one never expressed, one
// expressed everywhere, and cells left out of every group.
struct Fixture {
  size_t n_cells = 240, n_genes = 7, n_groups = 4;
  std::vector<std::vector<double>> dense;  // [cell][gene]
  std::vector<int32_t> codes;
  AnnData adata;

  explicit Fixture(bool csc) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0, 1);
    dense.assign(n_cells, std::vector<double>(n_genes, 0.0));
    for (size_t i = 0; i < n_cells; ++i) {
      codes.push_back(i % 17 == 0 ? -1 : static_cast<int32_t>(i % n_groups));
      const int g = static_cast<int>(i % n_groups);
      for (size_t k = 0; k < n_genes; ++k) {
        double v = 0;
        if (k == 0 && u(rng) < 0.3 + 0.15 * g) v = std::log1p(std::floor(u(rng) * 4) + 1);
        if (k == 1 && u(rng) < 0.5) v = 0.25 * std::floor(u(rng) * 5 + (g == 2 ? 3 : 0));
        if (k == 2 && u(rng) < 0.6) v = std::round((u(rng) - 0.5 + 0.3 * g) * 4) / 4;  // ±
        if (k == 4) v = 1.0 + 0.5 * std::floor(u(rng) * 3);
        if (k == 5 && g == 3) v = std::log1p(u(rng) * 5);
        if (k == 6 && u(rng) < 0.05) v = 2.0;
        dense[i][k] = static_cast<float>(v);  // what the matrix stores
      }
    }
    std::vector<std::string> cells, genes;
    for (size_t i = 0; i < n_cells; ++i) cells.push_back("c" + std::to_string(i));
    for (size_t k = 0; k < n_genes; ++k) genes.push_back("G" + std::to_string(k));
    adata.obs.set_index(cells);
    adata.var.set_index(genes);
    SparseMatrix m;
    m.n_rows = n_cells;
    m.n_cols = n_genes;
    m.format = csc ? SparseMatrix::Format::CSC : SparseMatrix::Format::CSR;
    const size_t outer = csc ? n_genes : n_cells, inner = csc ? n_cells : n_genes;
    m.indptr.push_back(0);
    for (size_t a = 0; a < outer; ++a) {
      for (size_t b = 0; b < inner; ++b) {
        const double v = csc ? dense[b][a] : dense[a][b];
        // One explicitly stored zero: it must join the zero block.
        if (v != 0 || (a == 3 && b == 1)) {
          m.indices.push_back(static_cast<int64_t>(b));
          m.data.push_back(static_cast<float>(v));
        }
      }
      m.indptr.push_back(static_cast<int64_t>(m.indices.size()));
    }
    adata.set_X(std::move(m));
  }
};

const char* kMarkersScript = R"(
import json, sys
import numpy as np
from scipy import stats
d = json.load(open(sys.argv[1]))
X = np.array(d["X"], dtype=float)
codes = np.array(d["codes"])
keep = codes >= 0
X, codes = X[keep], codes[keep]
out = {"scores": [], "pvals": [], "lfc": [], "padj": []}
for g in range(d["n_groups"]):
    inside = codes == g
    r = stats.ranksums(X[inside], X[~inside], axis=0)
    z, p = np.asarray(r.statistic, float), np.asarray(r.pvalue, float)
    # expm1 of the mean log expression, as the usual marker tables (not the mean of expm1)
    mg = np.expm1(X[inside].mean(axis=0))
    mr = np.expm1(X[~inside].mean(axis=0))
    lfc = np.log2((mg + 1e-9) / (mr + 1e-9))
    ok = ~np.isnan(p); q = p[ok]; m = len(q)
    adj = np.full(p.shape, np.nan)
    order = np.argsort(q, kind="mergesort")
    s = np.minimum(1.0, np.minimum.accumulate((q[order] * m / np.arange(1, m + 1))[::-1])[::-1])
    back = np.empty(m); back[order] = s; adj[ok] = back
    tolist = lambda a: [None if np.isnan(v) else float(v) for v in a]
    out["scores"].append(tolist(z)); out["pvals"].append(tolist(p))
    out["lfc"].append(tolist(lfc)); out["padj"].append(tolist(adj))
print(json.dumps(out))
)";

TEST(RankTests, StreamingMarkersMatchScipyPerGroupOnCsrAndCsc) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "no oracle Python";
  Fixture f(false);
  std::vector<size_t> all(f.n_genes);
  for (size_t k = 0; k < f.n_genes; ++k) all[k] = k;
  const json expected =
      oracle(kMarkersScript, {{"X", f.dense}, {"codes", f.codes}, {"n_groups", f.n_groups}});
  const MarkerStats ours = rank_genes_against_rest(f.adata, f.codes, f.n_groups, all, {});
  EXPECT_EQ(ours.passes, 1u);
  auto value = [](const json& v) { return v.is_null() ? std::nan("") : v.get<double>(); };
  for (size_t g = 0; g < f.n_groups; ++g)
    for (size_t k = 0; k < f.n_genes; ++k) {
      const std::string at = "group " + std::to_string(g) + " gene " + std::to_string(k);
      expect_rel(ours.scores[ours.at(g, k)], value(expected["scores"][g][k]), "z " + at);
      expect_rel(ours.pvals[ours.at(g, k)], value(expected["pvals"][g][k]), "p " + at);
      expect_rel(ours.pvals_adj[ours.at(g, k)], value(expected["padj"][g][k]), "padj " + at);
      expect_rel(ours.logfoldchanges[ours.at(g, k)], value(expected["lfc"][g][k]), "lfc " + at);
    }

  // CSC storage and a budget that forces one pass per gene give the same numbers, and the
  // genes may be asked in any order, repeated.
  Fixture fc(true);
  const std::vector<size_t> asked = {6, 2, 2, 0};
  const MarkerStats split = rank_genes_against_rest(fc.adata, fc.codes, fc.n_groups, asked, {}, 1);
  EXPECT_EQ(split.passes, asked.size());
  for (size_t g = 0; g < f.n_groups; ++g)
    for (size_t j = 0; j < asked.size(); ++j) {
      expect_rel(split.scores[split.at(g, j)], ours.scores[ours.at(g, asked[j])], "split z");
      expect_rel(split.logfoldchanges[split.at(g, j)], ours.logfoldchanges[ours.at(g, asked[j])],
                 "split lfc");
    }
}

TEST(RankTests, DotValuesCountGroupCellsOnly) {
  Fixture f(false);
  const MarkerStats s = rank_genes_against_rest(f.adata, f.codes, f.n_groups, {0, 3, 4}, {});
  for (size_t g = 0; g < f.n_groups; ++g) {
    double n = 0, expressing = 0, sum = 0;
    for (size_t i = 0; i < f.n_cells; ++i)
      if (f.codes[i] == static_cast<int32_t>(g)) {
        ++n;
        expressing += f.dense[i][0] > 0;
        sum += f.dense[i][0];
      }
    EXPECT_EQ(s.group_sizes[g], static_cast<long long>(n));
    EXPECT_DOUBLE_EQ(s.fraction_expressing[s.at(g, 0)], expressing / n);
    EXPECT_NEAR(s.mean_expression[s.at(g, 0)], sum / n, 1e-12);
    EXPECT_EQ(s.fraction_expressing[s.at(g, 1)], 0.0);  // never expressed
    EXPECT_EQ(s.scores[s.at(g, 1)], 0.0);               // all tied: no difference
    EXPECT_EQ(s.fraction_expressing[s.at(g, 2)], 1.0);  // expressed everywhere
  }
  // Scaled data (negative values) is reported, so "expressing" is not claimed for it.
  EXPECT_FALSE(s.negative_values);
  EXPECT_TRUE(rank_genes_against_rest(f.adata, f.codes, f.n_groups, {2}, {}).negative_values);
}

}  // namespace
}  // namespace norvex
