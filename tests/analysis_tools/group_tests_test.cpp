// The group tests against scipy (Debian's Python) on the same numbers: every statistic and
// p-value within 1e-9 relative.
#include "norvex/analysis_tools/group_tests.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "norvex/common/errors.hpp"
#include "norvex/common/json.hpp"
#include "support/test_support.hpp"

namespace norvex::detail {
namespace {

const char* kOracle = R"PY(
import sys, json
import numpy as np
from scipy import stats
cases = json.load(open(sys.argv[1]))
out = []
for c in cases:
    x, y = np.asarray(c["x"], float), np.asarray(c["y"], float)
    if c["test"] == "mwu":
        r = stats.mannwhitneyu(x, y)
    elif c["test"] == "welch":
        r = stats.ttest_ind(x, y, equal_var=False)
    else:
        r = stats.kruskal(x, y)
    out.append([float(r.statistic), float(r.pvalue)])
def bh(p):
    p = np.asarray(p, float); res = np.full(p.shape, np.nan)
    ok = ~np.isnan(p); q = p[ok]; n = len(q)
    order = np.argsort(q, kind="stable")
    adj = q[order] * n / np.arange(1, n + 1)
    adj = np.minimum.accumulate(adj[::-1])[::-1]
    tmp = np.empty(n); tmp[order] = np.minimum(adj, 1.0); res[ok] = tmp
    return [None if np.isnan(v) else float(v) for v in res]
bh_in = json.load(open(sys.argv[2]))
print(json.dumps({"tests": out, "bh": [bh(p) for p in bh_in]}))
)PY";

struct Case {
  std::string name, test;
  std::vector<double> x, y;
};

std::vector<double> draw(std::mt19937& rng, size_t n, double shift, int round_to = 0,
                         double zero_share = 0) {
  std::normal_distribution<double> nd(shift, 1.0);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<double> v;
  for (size_t i = 0; i < n; ++i) {
    double x = nd(rng);
    if (round_to) x = std::round(x * round_to) / round_to;
    if (u(rng) < zero_share) x = 0;
    v.push_back(x);
  }
  return v;
}

void expect_close(double ours, double theirs, const std::string& what) {
  if (std::isnan(theirs)) {
    EXPECT_TRUE(std::isnan(ours)) << what << ": ours " << ours << ", scipy nan";
    return;
  }
  EXPECT_LE(std::fabs(ours - theirs), 1e-9 * std::max(std::fabs(theirs), 1e-300))
      << what << ": ours " << ours << ", scipy " << theirs;
}

TEST(GroupTests, AgreeWithScipy) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's python3 is not available";
  std::mt19937 rng(11);
  std::vector<Case> cases;
  // Exact distribution: one group of at most 8, no ties; up to a long other group.
  for (auto [n1, n2] : {std::pair{3, 4}, {5, 5}, {8, 8}, {2, 30}, {8, 200}, {7, 9}})
    cases.push_back({"mwu exact " + std::to_string(n1) + "x" + std::to_string(n2), "mwu",
                     draw(rng, n1, 0.8), draw(rng, n2, 0.0)});
  // A complete separation: the smallest exact p-value.
  cases.push_back({"mwu exact separated", "mwu", {10, 11, 12, 13, 14}, {1, 2, 3, 4, 5, 6}});
  // Normal approximation: large groups with ties, zero-inflated expression, small groups
  // with ties, identical groups.
  cases.push_back({"mwu ties", "mwu", draw(rng, 60, 0.3, 2), draw(rng, 75, 0.0, 2)});
  cases.push_back({"mwu zeros", "mwu", draw(rng, 400, 0.5, 10, 0.6), draw(rng, 500, 0.2, 10, 0.7)});
  cases.push_back({"mwu small ties", "mwu", {1, 2, 2, 3}, {2, 3, 3, 4, 5}});
  cases.push_back(
      {"mwu identical", "mwu", std::vector<double>(12, 1.5), std::vector<double>(15, 1.5)});
  cases.push_back({"mwu far apart", "mwu", draw(rng, 300, 5.0), draw(rng, 300, 0.0)});
  for (auto [n1, n2] : {std::pair{3, 4}, {20, 50}, {200, 150}})
    cases.push_back(
        {"welch " + std::to_string(n1), "welch", draw(rng, n1, 0.4), draw(rng, n2, 0.0)});
  cases.push_back({"welch one constant", "welch", {2, 2, 2, 2}, {1, 2, 3, 4.5}});
  for (auto [n1, n2] : {std::pair{4, 6}, {40, 35}})
    cases.push_back(
        {"kruskal " + std::to_string(n1), "kruskal", draw(rng, n1, 0.5, 2), draw(rng, n2, 0.0, 2)});

  std::vector<std::vector<double>> bh_inputs = {
      {0.01, 0.04, 0.03, 0.04, 0.2, 0.5},
      {0.001, NAN, 0.02, 0.02, NAN, 0.9, 0.049},
      {NAN, NAN},
      {0.5},
  };

  json in = json::array(), bh = json::array();
  for (auto& c : cases) in.push_back({{"test", c.test}, {"x", c.x}, {"y", c.y}});
  for (auto& p : bh_inputs) {
    json row = json::array();
    for (double v : p) row.push_back(std::isnan(v) ? json("NaN") : json(v));
    bh.push_back(row);
  }
  testing::TempDir dir;
  // NaN travels as the JSON extension Python's json module reads.
  std::string bh_text = bh.dump();
  for (size_t at; (at = bh_text.find("\"NaN\"")) != std::string::npos;)
    bh_text.replace(at, 5, "NaN");
  testing::write_file(dir / "cases.json", in.dump());
  testing::write_file(dir / "bh.json", bh_text);
  const auto r = testing::run_oracle_python(
      kOracle, testing::shell_quote((dir / "cases.json").string()) + " " +
                   testing::shell_quote((dir / "bh.json").string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string text = r.out;
  for (size_t at; (at = text.find("NaN")) != std::string::npos;) text.replace(at, 3, "null");
  const json oracle = json::parse(text);

  auto num = [](const json& v) { return v.is_null() ? NAN : v.get<double>(); };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    TestResult t = c.test == "mwu"     ? mann_whitney_u(c.x, c.y)
                   : c.test == "welch" ? welch_t_test(c.x, c.y)
                                       : kruskal_wallis({c.x, c.y});
    expect_close(t.statistic, num(oracle["tests"][i][0]), c.name + " statistic");
    expect_close(t.pvalue, num(oracle["tests"][i][1]), c.name + " p-value");
  }
  EXPECT_NE(mann_whitney_u(cases[0].x, cases[0].y).method.find("exact"), std::string::npos);
  EXPECT_NE(mann_whitney_u(cases[7].x, cases[7].y).method.find("asymptotic"), std::string::npos);
  for (size_t i = 0; i < bh_inputs.size(); ++i) {
    const std::vector<double> ours = benjamini_hochberg(bh_inputs[i]);
    for (size_t k = 0; k < ours.size(); ++k)
      expect_close(ours[k], num(oracle["bh"][i][k]), "bh " + std::to_string(i));
  }
}

// The floor of rank tests on few values: scipy's p at complete separation
// (mannwhitneyu(method="exact"), kruskal), worked out once.
TEST(GroupTests, SmallestAttainablePMatchesScipyAtCompleteSeparation) {
  struct Case {
    size_t n1, n2;
    double mwu, kruskal;
  };
  for (const Case& c :
       {Case{2, 2, 1.0 / 3, 0.12133525035848367}, Case{3, 3, 0.1, 0.049534613435626915},
        Case{2, 5, 0.09523809523809523, 0.052807511416113395},
        Case{3, 4, 0.05714285714285714, 0.033894853524689295},
        Case{8, 8, 0.0001554001554001554, 0.000777530446940383}}) {
    SCOPED_TRACE(std::to_string(c.n1) + " vs " + std::to_string(c.n2));
    EXPECT_NEAR(smallest_attainable_p("mannwhitneyu", c.n1, c.n2), c.mwu, 1e-12 * c.mwu);
    EXPECT_NEAR(smallest_attainable_p("mannwhitneyu", c.n2, c.n1), c.mwu, 1e-12 * c.mwu);
    EXPECT_NEAR(smallest_attainable_p("kruskal", c.n1, c.n2), c.kruskal, 1e-9 * c.kruskal);
    EXPECT_EQ(smallest_attainable_p("t-test_welch", c.n1, c.n2), 0.0);
  }
  EXPECT_TRUE(std::isnan(smallest_attainable_p("mannwhitneyu", 0, 3)));
  // Large groups: far below any threshold, without overflow.
  EXPECT_LT(smallest_attainable_p("mannwhitneyu", 5000, 5000), 1e-11);
}

TEST(GroupTests, GroupsTooSmallOrFlatGiveAReasonNotACrash) {
  for (const char* test : {"mannwhitneyu", "t-test_welch", "kruskal"}) {
    const TestResult one = two_group_test(test, {1.0}, {1.0, 2.0, 3.0});
    EXPECT_TRUE(std::isnan(one.pvalue)) << test;
    EXPECT_FALSE(one.reason.empty()) << test;
    const TestResult none = two_group_test(test, {}, {});
    EXPECT_TRUE(std::isnan(none.pvalue)) << test;
  }
  const TestResult flat = two_group_test("welch", {2, 2, 2}, {2, 2});
  EXPECT_TRUE(std::isnan(flat.pvalue));
  EXPECT_EQ(flat.reason, "no variance in either group");
  EXPECT_TRUE(std::isnan(kruskal_wallis({{3, 3}, {3, 3, 3}}).pvalue));
}

TEST(GroupTests, NamesOfTestsAndCorrections) {
  EXPECT_EQ(canonical_test_name("Wilcoxon"), "mannwhitneyu");
  EXPECT_EQ(canonical_test_name("ttest"), "t-test_welch");
  try {
    canonical_test_name("chi2");
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'chi2'"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("mannwhitneyu"), std::string::npos);
  }
  EXPECT_THROW(adjust_pvalues({0.1}, "holm-sidak"), ValueError);
  const auto bonf = adjust_pvalues({0.01, NAN, 0.3}, "bonferroni");
  EXPECT_DOUBLE_EQ(bonf[0], 0.02);
  EXPECT_TRUE(std::isnan(bonf[1]));
  EXPECT_DOUBLE_EQ(bonf[2], 0.6);
  EXPECT_EQ(significance_stars(0.00001), "****");
  EXPECT_EQ(significance_stars(0.049), "*");
  EXPECT_EQ(significance_stars(0.05), "ns");
  EXPECT_EQ(significance_stars(NAN), "n/a");
}

}  // namespace
}  // namespace norvex::detail
