#include "norvex/analysis_tools/comparisons.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/text.hpp"

namespace norvex::detail {

ExpressionSource expression_source(const AnnData& adata, const std::optional<std::string>& layer,
                                   std::optional<bool> use_raw) {
  ExpressionSource s;
  if (layer) {
    const auto keys = adata.layer_keys();
    if (std::find(keys.begin(), keys.end(), *layer) == keys.end())
      throw KeyError("'" + *layer + "' is not a layer of the dataset. Layers: " +
                     (keys.empty() ? std::string("(none)") : join_limited(keys)));
    s.layer = layer;
    s.label = "layer '" + *layer + "'";
    return s;
  }
  if (use_raw.value_or(adata.has_raw())) {
    if (!adata.has_raw()) throw KeyError("use_raw is true but the dataset has no raw");
    s.raw = true;
    s.label = "raw";
    return s;
  }
  s.label = "X";
  return s;
}

std::vector<std::string> source_gene_names(const AnnData& adata, const ExpressionSource& src) {
  return src.raw ? adata.raw_var_names() : adata.var.index();
}

std::vector<std::vector<float>> source_expression(const AnnData& adata, const ExpressionSource& src,
                                                  const std::vector<std::string>& genes) {
  return src.raw ? adata.raw_gene_expression(genes) : adata.gene_expression(genes, src.layer);
}

namespace {

std::string folded(const std::string& s) {
  std::string out;
  for (char ch : ascii_lower(s))
    if (std::isalnum(static_cast<unsigned char>(ch))) out += ch;
  return out;
}

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (size_t j = 1; j <= b.size(); ++j)
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1])});
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

}  // namespace

std::vector<std::string> close_choices(const std::string& value,
                                       const std::vector<std::string>& available, size_t limit) {
  const std::string v = folded(value);
  std::vector<std::pair<size_t, std::string>> scored;
  for (const auto& a : available) {
    const std::string f = folded(a);
    size_t score;
    if (f == v)
      score = 0;
    else if (!v.empty() && (f.rfind(v, 0) == 0 || v.rfind(f, 0) == 0) && f.size() > 1)
      score = 1;
    else if (std::max(f.size(), v.size()) - std::min(f.size(), v.size()) > 2)
      continue;
    else if (size_t d = edit_distance(f, v); d <= std::max<size_t>(1, v.size() / 3))
      score = 1 + d;
    else
      continue;
    scored.emplace_back(score, a);
  }
  std::stable_sort(scored.begin(), scored.end(),
                   [](auto& x, auto& y) { return x.first < y.first; });
  std::vector<std::string> out;
  for (size_t i = 0; i < scored.size() && out.size() < limit; ++i) out.push_back(scored[i].second);
  return out;
}

std::vector<std::string> resolve_genes(const std::vector<std::string>& requested,
                                       const std::vector<std::string>& available,
                                       const std::string& where, Warnings& warnings) {
  std::vector<std::string> found, missing;
  for (const auto& g : requested) {
    std::optional<std::string> hit;
    if (std::find(available.begin(), available.end(), g) != available.end()) {
      hit = g;
    } else {
      const std::string lg = ascii_lower(g);
      for (const auto& a : available)
        if (ascii_lower(a) == lg) {
          hit = a;
          break;
        }
    }
    if (!hit) {
      const auto close = close_choices(g, available);
      missing.push_back("'" + g + "'" +
                        (close.empty() ? "" : " (close: " + join_limited(close) + ")"));
    } else if (std::find(found.begin(), found.end(), *hit) == found.end()) {
      found.push_back(*hit);
    }
  }
  if (found.empty()) {
    std::vector<std::string> first(available.begin(),
                                   available.begin() + std::min<size_t>(8, available.size()));
    throw KeyError("Gene(s) not in " + where + ": " + join_limited(missing) +
                   ". Gene names look like: " + join_limited(first) +
                   (available.size() > 8 ? ", ..." : ""));
  }
  if (!missing.empty())
    warnings.push_back("Gene(s) not in " + where + ", left out: " + join_limited(missing));
  return found;
}

std::string group_column(const AnnData& adata, const std::string& group_by,
                         const std::string& condition_col) {
  const std::string col = group_by == "condition" ? condition_col : group_by;
  obs_column(adata, col);  // KeyError listing the obs columns
  return col;
}

void compare_groups(std::vector<Comparison>& out, size_t panel, const std::string& feature,
                    const std::string& celltype, const std::vector<std::vector<double>>& values,
                    const std::string& test) {
  auto mean = [](const std::vector<double>& v) {
    if (v.empty()) return std::nan("");
    double s = 0;
    for (double x : v) s += x;
    return s / static_cast<double>(v.size());
  };
  for (size_t a = 0; a < values.size(); ++a) {
    for (size_t b = a + 1; b < values.size(); ++b) {
      Comparison c;
      c.feature = feature;
      c.celltype = celltype;
      c.panel = panel;
      c.a = a;
      c.b = b;
      c.n1 = values[a].size();
      c.n2 = values[b].size();
      c.mean1 = mean(values[a]);
      c.mean2 = mean(values[b]);
      c.result = two_group_test(test, values[a], values[b]);
      c.smallest_p = smallest_attainable_p(test, c.n1, c.n2);
      out.push_back(std::move(c));
    }
  }
}

void adjust_comparisons(std::vector<Comparison>& cmp, const std::string& correction) {
  std::vector<double> p;
  for (auto& c : cmp) p.push_back(c.result.pvalue);
  const std::vector<double> adj = adjust_pvalues(p, correction);
  for (size_t i = 0; i < cmp.size(); ++i) cmp[i].pval_adj = adj[i];
}

std::vector<plotting::GroupPanel::Bracket> panel_brackets(const std::vector<Comparison>& cmp,
                                                          size_t panel, bool* thinned) {
  std::vector<const Comparison*> pairs;
  for (auto& c : cmp)
    if (c.panel == panel && c.n1 > 0 && c.n2 > 0) pairs.push_back(&c);
  // Beyond a few pairs every bracket cannot be drawn legibly: keep the significant ones,
  // strongest first, up to a stack that still reads (the table keeps them all).
  if (pairs.size() > kMaxBrackets) {
    std::vector<const Comparison*> kept;
    for (auto* c : pairs)
      if (c->pval_adj < 0.05) kept.push_back(c);
    // Adjusted p-values tie often (BH steps, the smallest attainable p); the larger
    // difference of means then reads as the stronger pair. Within a panel every pair
    // measures the same feature, so the differences share a unit.
    std::stable_sort(kept.begin(), kept.end(), [](auto* a, auto* b) {
      if (a->pval_adj != b->pval_adj) return a->pval_adj < b->pval_adj;
      return std::fabs(a->mean1 - a->mean2) > std::fabs(b->mean1 - b->mean2);
    });
    if (kept.size() > kMaxBrackets) kept.resize(kMaxBrackets);
    pairs = kept;
    if (thinned) *thinned = true;
  }
  std::vector<plotting::GroupPanel::Bracket> out;
  for (auto* c : pairs) out.push_back({c->a, c->b, significance_stars(c->pval_adj)});
  return out;
}

double extra_panel_height_in(const plotting::GroupComparisonPlot& p) {
  size_t most = 0, longest = 0;
  for (auto& panel : p.panels) most = std::max(most, panel.brackets.size());
  for (auto& g : p.groups) longest = std::max(longest, g.size());
  const double brackets = 0.22 * static_cast<double>(most > 3 ? most - 3 : 0);
  const double labels = p.groups.size() > 4 && longest > 8 ? 0.7 : 0.0;
  return brackets + labels;
}

namespace {

bool cannot_reach_alpha(const Comparison& c) {
  return c.result.reason.empty() && c.smallest_p >= kAlpha;
}

std::string p_text(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", p);
  return buf;
}

}  // namespace

std::string attainable_p_note(const std::vector<Comparison>& cmp) {
  const Comparison* worst = nullptr;
  for (const Comparison& c : cmp)
    if (cannot_reach_alpha(c) && (!worst || c.smallest_p > worst->smallest_p)) worst = &c;
  if (!worst) return "";
  const std::string test =
      worst->result.method.rfind("kruskal", 0) == 0 ? "Kruskal-Wallis" : "Mann-Whitney U";
  return "Few values: with n = " + std::to_string(worst->n1) + " vs " + std::to_string(worst->n2) +
         " the smallest p " + test + " can reach is " + p_text(worst->smallest_p) +
         ", so no pair can be significant; Welch's t-test (test \"t-test_welch\") suits few "
         "samples.";
}

Table comparison_table(const std::vector<Comparison>& cmp, const std::vector<std::string>& groups,
                       const std::string& feature_col, bool with_celltype) {
  auto num = [](double v) { return std::isfinite(v) ? json(v) : json(nullptr); };
  json f = json::array(), ct = json::array(), g1 = json::array(), g2 = json::array(),
       n1 = json::array(), n2 = json::array(), m1 = json::array(), m2 = json::array(),
       st = json::array(), p = json::array(), pa = json::array(), me = json::array(),
       note = json::array();
  for (auto& c : cmp) {
    f.push_back(c.feature);
    ct.push_back(c.celltype);
    g1.push_back(groups[c.a]);
    g2.push_back(groups[c.b]);
    n1.push_back(c.n1);
    n2.push_back(c.n2);
    m1.push_back(num(c.mean1));
    m2.push_back(num(c.mean2));
    st.push_back(num(c.result.statistic));
    p.push_back(num(c.result.pvalue));
    pa.push_back(num(c.pval_adj));
    me.push_back(c.result.method);
    note.push_back(cannot_reach_alpha(c)
                       ? "smallest attainable p for n = " + std::to_string(c.n1) + " vs " +
                             std::to_string(c.n2) + " is " + p_text(c.smallest_p)
                       : c.result.reason);
  }
  Table t;
  t.add_column(feature_col, f);
  if (with_celltype) t.add_column("celltype", ct);
  t.add_column("group1", g1)
      .add_column("group2", g2)
      .add_column("n1", n1)
      .add_column("n2", n2)
      .add_column("mean1", m1)
      .add_column("mean2", m2)
      .add_column("statistic", st)
      .add_column("pval", p)
      .add_column("pval_adj", pa)
      .add_column("method", me)
      .add_column("note", note);
  return t;
}

std::string stars_note(const std::string& test, const std::string& correction) {
  const std::string t = canonical_test_name(test);
  const std::string name = t == "mannwhitneyu"   ? "Two-sided Mann-Whitney U"
                           : t == "t-test_welch" ? "Welch's t-test"
                                                 : "Kruskal-Wallis";
  const std::string c = ascii_lower(correction);
  const std::string adj = c == "none" || c.empty() ? "unadjusted p"
                          : c == "bonferroni"
                              ? "Bonferroni-adjusted p"
                              : "Benjamini-Hochberg-adjusted p (all brackets of the figure)";
  return name + "; stars: " + adj +
         " < 0.05 *, < 0.01 **, < 0.001 ***, < 0.0001 ****; ns not significant";
}

}  // namespace norvex::detail
