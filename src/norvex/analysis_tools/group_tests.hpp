#pragma once
// Two-group tests and multiple-testing correction, computed the way scipy computes them so
// that an outside check with scipy reproduces every number:
//   - Mann-Whitney U as scipy.stats.mannwhitneyu with its defaults (two-sided, continuity
//     correction, method "auto": the exact distribution when one group has at most 8
//     values and there are no ties, else the normal approximation with tie correction);
//   - Welch's t-test as scipy.stats.ttest_ind(equal_var=False);
//   - Kruskal-Wallis as scipy.stats.kruskal;
//   - Benjamini-Hochberg over the p-values that are not NaN (NaNs stay NaN).
#include <string>
#include <vector>

namespace norvex::detail {

struct TestResult {
  double statistic = 0;  // NaN when not computed
  double pvalue = 0;     // NaN when the test cannot be made
  std::string method;    // "mannwhitneyu (exact)", "welch_t", ...
  std::string reason;    // why pvalue is NaN; empty otherwise
};

// U of the first group and the two-sided p-value.
TestResult mann_whitney_u(const std::vector<double>& x, const std::vector<double>& y);
TestResult welch_t_test(const std::vector<double>& x, const std::vector<double>& y);
TestResult kruskal_wallis(const std::vector<std::vector<double>>& groups);

// One of the tests by its name in a test record: "mannwhitneyu" (also "wilcoxon",
// "mann-whitney"), "t-test_welch" (also "ttest", "welch", "t-test"), "kruskal". Groups with
// fewer than two values are not tested (NaN p-value with the reason). ValueError naming the
// test and the valid names for anything else.
TestResult two_group_test(const std::string& test, const std::vector<double>& x,
                          const std::vector<double>& y);
// The smallest p-value `test` can give for groups of n1 and n2 values, whatever the
// values, since rank tests only see orderings: Mann-Whitney U's exact 2 / C(n1 + n2, n1)
// (3 vs 3 cannot go below 0.1), Kruskal-Wallis's p at complete separation; 0 for Welch's
// t-test, which has no such floor. NaN when a group has no values.
double smallest_attainable_p(const std::string& test, size_t n1, size_t n2);
// The canonical name of a test name two_group_test accepts (ValueError otherwise).
std::string canonical_test_name(const std::string& test);

// Adjusted p-values by `correction`: "fdr_bh" (also "bh", "fdr"), "bonferroni", "none".
// NaNs are left out of the count and stay NaN. ValueError for another correction.
std::vector<double> adjust_pvalues(const std::vector<double>& p, const std::string& correction);
std::vector<double> benjamini_hochberg(const std::vector<double>& p);

// Significance stars of a p-value: "****" < 1e-4, "***" < 1e-3, "**" < 0.01, "*" < 0.05,
// "ns" otherwise, "n/a" for NaN.
std::string significance_stars(double p);

// Average ranks (1-based) as scipy.stats.rankdata(method="average").
std::vector<double> average_ranks(const std::vector<double>& values);

}  // namespace norvex::detail
