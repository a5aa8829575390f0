#include "norvex/analysis_tools/group_tests.hpp"

#include <algorithm>
#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <limits>
#include <numeric>

#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"

namespace norvex::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double normal_sf(double z) {
  return 0.5 * std::erfc(z / std::sqrt(2.0));
}

// Sum over tied runs of t^3 - t, from sorted values.
double tie_term(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  double total = 0;
  for (size_t i = 0; i < values.size();) {
    size_t j = i;
    while (j < values.size() && values[j] == values[i]) ++j;
    const double t = static_cast<double>(j - i);
    total += t * t * t - t;
    i = j;
  }
  return total;
}

// P(U <= k) of the null distribution of U for groups of m and n values without ties. The
// counts of each U are the coefficients of the Gaussian binomial [m+n choose m]_q, built
// one factor (1 - q^(n+i)) / (1 - q^i) at a time; below the middle the subtractions
// cancel little, and only the lower half is summed.
double mwu_exact_cdf(size_t k, size_t m, size_t n) {
  if (m > n) std::swap(m, n);
  const size_t top = m * n;
  std::vector<double> c(top + 1, 0.0);
  c[0] = 1.0;
  for (size_t i = 1; i <= m; ++i) {
    const size_t up = n + i;
    for (size_t d = i * n + 1; d-- > up;) c[d] -= c[d - up];
    for (size_t d = i; d <= i * n; ++d) c[d] += c[d - i];
  }
  double total = 0, below = 0;
  for (size_t d = 0; d <= top; ++d) {
    total += c[d];
    if (d <= k) below += c[d];
  }
  return below / total;
}

// The values sorted; zeros (most of a sparse gene's values) set aside first, so that only
// the rest pay for the sort.
std::vector<double> sorted_sparse(const std::vector<double>& v) {
  std::vector<double> rest;
  rest.reserve(v.size());
  for (double x : v)
    if (x != 0) rest.push_back(x);
  std::sort(rest.begin(), rest.end());
  const size_t zeros = v.size() - rest.size();
  const auto first_positive = std::upper_bound(rest.begin(), rest.end(), 0.0);
  rest.insert(first_positive, zeros, 0.0);
  return rest;
}

struct RankSum {
  double r1 = 0;    // the sum of x's ranks in x and y pooled, ties at their mean rank
  double ties = 0;  // the sum over tied runs of t^3 - t
};

// From each group sorted apart, one merge: the same sums as ranking the pooled values,
// exactly (ranks are halves, counts integers), without sorting n indices.
RankSum rank_sum(const std::vector<double>& x_values, const std::vector<double>& y_values) {
  const std::vector<double> x = sorted_sparse(x_values), y = sorted_sparse(y_values);
  RankSum out;
  size_t i = 0, j = 0, before = 0;
  while (i < x.size() || j < y.size()) {
    const double v = j == y.size() || (i < x.size() && x[i] <= y[j]) ? x[i] : y[j];
    size_t in_x = 0, in_y = 0;
    for (; i < x.size() && x[i] == v; ++i) ++in_x;
    for (; j < y.size() && y[j] == v; ++j) ++in_y;
    if (in_x + in_y == 0) break;  // values that compare unequal to themselves: never loop
    const double t = static_cast<double>(in_x + in_y);
    out.r1 += static_cast<double>(in_x) * (static_cast<double>(before) + (t + 1) / 2);
    out.ties += t * t * t - t;
    before += in_x + in_y;
  }
  return out;
}

double mean_of(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}

double variance_of(const std::vector<double>& v, double mean) {
  double s = 0;
  for (double x : v) s += (x - mean) * (x - mean);
  return s / static_cast<double>(v.size() - 1);
}

}  // namespace

std::vector<double> average_ranks(const std::vector<double>& values) {
  std::vector<size_t> order(values.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return values[a] < values[b]; });
  std::vector<double> ranks(values.size());
  for (size_t i = 0; i < order.size();) {
    size_t j = i;
    while (j < order.size() && values[order[j]] == values[order[i]]) ++j;
    const double r = 0.5 * static_cast<double>(i + 1 + j);  // mean of ranks i+1 .. j
    for (size_t k = i; k < j; ++k) ranks[order[k]] = r;
    i = j;
  }
  return ranks;
}

TestResult mann_whitney_u(const std::vector<double>& x, const std::vector<double>& y) {
  TestResult r;
  const size_t n1 = x.size(), n2 = y.size();
  if (n1 == 0 || n2 == 0) {
    r.statistic = r.pvalue = kNaN;
    r.method = "mannwhitneyu";
    r.reason = "a group has no values";
    return r;
  }
  double r1 = 0, ties = 0;
  auto is_nan = [](double v) { return std::isnan(v); };
  if (std::none_of(x.begin(), x.end(), is_nan) && std::none_of(y.begin(), y.end(), is_nan)) {
    const RankSum sums = rank_sum(x, y);
    r1 = sums.r1;
    ties = sums.ties;
  } else {  // NaN has no order: the pooled ranking, as before
    std::vector<double> xy(x);
    xy.insert(xy.end(), y.begin(), y.end());
    const std::vector<double> ranks = average_ranks(xy);
    for (size_t i = 0; i < n1; ++i) r1 += ranks[i];
    ties = tie_term(xy);
  }
  const double d1 = static_cast<double>(n1), d2 = static_cast<double>(n2);
  const double u1 = r1 - d1 * (d1 + 1) / 2;
  const double u2 = d1 * d2 - u1;
  const double u = std::max(u1, u2);
  r.statistic = u1;
  if ((n1 <= 8 || n2 <= 8) && ties == 0) {
    r.method = "mannwhitneyu (exact)";
    const size_t k = static_cast<size_t>(d1 * d2 - u);
    r.pvalue = std::clamp(2.0 * mwu_exact_cdf(k, n1, n2), 0.0, 1.0);
    return r;
  }
  r.method = "mannwhitneyu (asymptotic)";
  const double n = d1 + d2;
  const double s = std::sqrt(d1 * d2 / 12 * ((n + 1) - ties / (n * (n - 1))));
  const double z = (u - d1 * d2 / 2 - 0.5) / s;
  r.pvalue = std::clamp(2.0 * normal_sf(z), 0.0, 1.0);
  if (std::isnan(z)) r.pvalue = kNaN, r.reason = "no variance in either group";
  return r;
}

TestResult welch_t_test(const std::vector<double>& x, const std::vector<double>& y) {
  TestResult r;
  r.method = "welch_t";
  if (x.size() < 2 || y.size() < 2) {
    r.statistic = r.pvalue = kNaN;
    r.reason = "fewer than two values in a group";
    return r;
  }
  const double n1 = static_cast<double>(x.size()), n2 = static_cast<double>(y.size());
  const double m1 = mean_of(x), m2 = mean_of(y);
  const double vn1 = variance_of(x, m1) / n1, vn2 = variance_of(y, m2) / n2;
  double df = (vn1 + vn2) * (vn1 + vn2) / (vn1 * vn1 / (n1 - 1) + vn2 * vn2 / (n2 - 1));
  if (std::isnan(df)) df = 1;  // as scipy: both variances zero
  const double t = (m1 - m2) / std::sqrt(vn1 + vn2);
  r.statistic = t;
  if (std::isnan(t)) {
    r.pvalue = kNaN;
    r.reason = "no variance in either group";
  } else if (std::isinf(t)) {
    r.pvalue = 0;
  } else {
    const boost::math::students_t dist(df);
    r.pvalue = std::min(1.0, 2.0 * boost::math::cdf(boost::math::complement(dist, std::fabs(t))));
  }
  return r;
}

TestResult kruskal_wallis(const std::vector<std::vector<double>>& groups) {
  TestResult r;
  r.method = "kruskal";
  std::vector<double> all;
  for (auto& g : groups) {
    if (g.empty()) {
      r.statistic = r.pvalue = kNaN;
      r.reason = "a group has no values";
      return r;
    }
    all.insert(all.end(), g.begin(), g.end());
  }
  const std::vector<double> ranks = average_ranks(all);
  const double n = static_cast<double>(all.size());
  const double ties = 1.0 - tie_term(all) / (n * n * n - n);
  if (ties == 0 || groups.size() < 2) {
    r.statistic = r.pvalue = kNaN;
    r.reason = groups.size() < 2 ? "fewer than two groups" : "all values are identical";
    return r;
  }
  double ssbn = 0;
  size_t at = 0;
  for (auto& g : groups) {
    double s = 0;
    for (size_t i = 0; i < g.size(); ++i) s += ranks[at + i];
    at += g.size();
    ssbn += s * s / static_cast<double>(g.size());
  }
  double h = 12.0 / (n * (n + 1)) * ssbn - 3 * (n + 1);
  h /= ties;
  r.statistic = h;
  const boost::math::chi_squared dist(static_cast<double>(groups.size() - 1));
  r.pvalue = h <= 0 ? 1.0 : boost::math::cdf(boost::math::complement(dist, h));
  return r;
}

std::string canonical_test_name(const std::string& test) {
  const std::string t = ascii_lower(test);
  if (t == "mannwhitneyu" || t == "mann-whitney" || t == "mann_whitney" || t == "wilcoxon" ||
      t == "ranksums")
    return "mannwhitneyu";
  if (t == "t-test_welch" || t == "welch" || t == "ttest" || t == "t-test" || t == "t_test" ||
      t == "welch_t" || t == "ttest_ind")
    return "t-test_welch";
  if (t == "kruskal" || t == "kruskal-wallis" || t == "kruskal_wallis") return "kruskal";
  throw ValueError("Unknown test '" + test + "'. Valid tests: mannwhitneyu, t-test_welch, kruskal");
}

double smallest_attainable_p(const std::string& test, size_t n1, size_t n2) {
  if (n1 == 0 || n2 == 0) return kNaN;
  const std::string name = canonical_test_name(test);
  if (name == "t-test_welch") return 0;
  if (name == "kruskal") {
    std::vector<double> low(n1), high(n2);
    std::iota(low.begin(), low.end(), 0.0);
    std::iota(high.begin(), high.end(), static_cast<double>(n1));
    return kruskal_wallis({low, high}).pvalue;
  }
  // C(n1 + n2, n1) grows fast; past 1e12 the floor is far below any threshold anyway.
  const size_t k = std::min(n1, n2), n = n1 + n2;
  double arrangements = 1;
  for (size_t i = 1; i <= k && arrangements < 1e12; ++i)
    arrangements = arrangements * static_cast<double>(n - k + i) / static_cast<double>(i);
  return std::min(1.0, 2.0 / arrangements);
}

TestResult two_group_test(const std::string& test, const std::vector<double>& x,
                          const std::vector<double>& y) {
  const std::string name = canonical_test_name(test);
  if (x.size() < 2 || y.size() < 2) {
    TestResult r;
    r.statistic = r.pvalue = kNaN;
    r.method = name;
    r.reason = "fewer than two values in a group";
    return r;
  }
  if (name == "mannwhitneyu") return mann_whitney_u(x, y);
  if (name == "t-test_welch") return welch_t_test(x, y);
  return kruskal_wallis({x, y});
}

std::vector<double> benjamini_hochberg(const std::vector<double>& p) {
  std::vector<size_t> order;
  for (size_t i = 0; i < p.size(); ++i)
    if (!std::isnan(p[i])) order.push_back(i);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return p[a] < p[b]; });
  std::vector<double> out(p.size(), kNaN);
  const double m = static_cast<double>(order.size());
  double running = 1.0;
  for (size_t k = order.size(); k-- > 0;) {
    running = std::min(running, p[order[k]] * m / static_cast<double>(k + 1));
    out[order[k]] = running;
  }
  return out;
}

std::vector<double> adjust_pvalues(const std::vector<double>& p, const std::string& correction) {
  const std::string c = ascii_lower(correction);
  if (c == "fdr_bh" || c == "bh" || c == "fdr" || c == "benjamini-hochberg")
    return benjamini_hochberg(p);
  if (c == "none" || c.empty()) return p;
  if (c == "bonferroni") {
    double m = 0;
    for (double v : p) m += std::isnan(v) ? 0 : 1;
    std::vector<double> out;
    for (double v : p) out.push_back(std::isnan(v) ? v : std::min(1.0, v * m));
    return out;
  }
  throw ValueError("Unknown correction '" + correction +
                   "'. Valid corrections: fdr_bh, bonferroni, none");
}

std::string significance_stars(double p) {
  if (std::isnan(p)) return "n/a";
  if (p < 1e-4) return "****";
  if (p < 1e-3) return "***";
  if (p < 0.01) return "**";
  if (p < 0.05) return "*";
  return "ns";
}

}  // namespace norvex::detail
