// The violin and box-plot comparison tools on a generated demo dataset: each figure's table
// is recomputed from the data (groups, counts, per-sample values, p-values, adjustment).
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "norvex/analysis_tools/comparisons.hpp"
#include "norvex/analysis_tools/group_tests.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/demo/demo_data.hpp"
#include "norvex/host/recording_host.hpp"
#include "norvex/plotting/plot.hpp"
#include "tool_test_data.hpp"

namespace norvex {
namespace {

AnnData& demo() {
  return testing::small_demo(1500, 400, 5);
}

json run(const std::string& tool, const json& args) {
  return testing::run_tool_quietly(demo(), tool, args);
}

void expect_png(const json& b64) {
  ASSERT_TRUE(b64.is_string());
  auto [w, h] = plotting::png_size(base64_decode(b64.get<std::string>()));
  EXPECT_GE(w, 600);
  EXPECT_GE(h, 450);
}

std::string obs(const std::string& col, size_t i) {
  return demo().obs.col(col).text_at(i);
}

// The heading the table display prints above each table of a result.
std::string heading(const json& result, const std::string& key) {
  return "Selected " + result.at("data").get<std::string>() + "s for " + key;
}

double num(const json& v) {
  return v.is_null() ? NAN : v.get<double>();
}

// Adjusted p-values are the Benjamini-Hochberg adjustment of the table's p-values.
void expect_bh(const Table& t) {
  std::vector<double> p;
  for (auto& v : t.column("pval")) p.push_back(num(v));
  const auto adj = detail::benjamini_hochberg(p);
  for (size_t r = 0; r < t.n_rows(); ++r) {
    if (std::isnan(adj[r]))
      EXPECT_TRUE(t.column("pval_adj")[r].is_null());
    else
      EXPECT_DOUBLE_EQ(num(t.column("pval_adj")[r]), adj[r]);
  }
}

TEST(ComparisonTools, ViolinTableMatchesTheCellsAndTheTests) {
  const std::vector<std::string> cts = {"T cell", "Myeloid cell"};
  json r = run("plot_violin_for_gene_expression_with_signif_difference",
               {{"target_genes", {"cd274", "PDCD1"}}, {"obs_filter", {{"celltypes", cts}}}});
  expect_png(r["img_base64"]);
  EXPECT_EQ(heading(r, "comparisons"), "Selected gene expression tests for comparisons");
  const Table t = Table::from_json(r["table_summaries"]["comparisons"]);
  // Two genes x two cell types, three conditions: three pairs per panel.
  ASSERT_EQ(t.n_rows(), 2u * 2u * 3u);
  const auto expr = demo().gene_expression({"CD274", "PDCD1"});
  for (size_t row = 0; row < t.n_rows(); ++row) {
    const std::string gene = t.column("gene")[row], ct = t.column("celltype")[row];
    const std::string g1 = t.column("group1")[row], g2 = t.column("group2")[row];
    std::vector<double> x, y;
    const auto& e = expr[gene == "CD274" ? 0 : 1];
    for (size_t i = 0; i < demo().n_obs(); ++i) {
      if (obs("celltype_major", i) != ct) continue;
      if (obs("condition", i) == g1) x.push_back(e[i]);
      if (obs("condition", i) == g2) y.push_back(e[i]);
    }
    EXPECT_EQ(t.column("n1")[row].get<size_t>(), x.size());
    EXPECT_EQ(t.column("n2")[row].get<size_t>(), y.size());
    const auto test = detail::mann_whitney_u(x, y);
    EXPECT_DOUBLE_EQ(num(t.column("pval")[row]), test.pvalue);
    EXPECT_DOUBLE_EQ(num(t.column("statistic")[row]), test.statistic);
    EXPECT_EQ(t.column("method")[row], test.method);
  }
  expect_bh(t);
}

TEST(ComparisonTools, ViolinBadInputNamesTheValueAndCloseChoices) {
  RecordingHost host;
  ScopedHost scoped(host);
  // Some genes exist: it runs on those and warns about the rest, in the result.
  json r = run("plot_violin_for_gene_expression_with_signif_difference",
               {{"target_genes", {"CD274", "NOTAGENE1"}}});
  EXPECT_EQ(Table::from_json(r["table_summaries"]["comparisons"]).n_rows(), 3u);
  EXPECT_EQ(r["warnings"], json::array({"Gene(s) not in var names, left out: 'NOTAGENE1'"}));
  EXPECT_EQ(host.console(), "");  // the tool itself prints nothing
  try {
    run("plot_violin_for_gene_expression_with_signif_difference", {{"target_genes", {"CD27A"}}});
    FAIL() << "no error";
  } catch (const KeyError& e) {
    EXPECT_NE(std::string(e.what()).find("'CD27A'"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("CD274"), std::string::npos) << e.what();
  }
  try {
    run("plot_violin_for_gene_expression_with_signif_difference",
        {{"target_genes", {"CD274"}}, {"obs_filter", {{"celltypes", {"Martian cell"}}}}});
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'Martian cell'"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("T cell"), std::string::npos);
  }
  EXPECT_THROW(run("plot_violin_for_gene_expression_with_signif_difference",
                   {{"target_genes", {"CD274"}}, {"test_cfg", {{"group_by", "no_such_col"}}}}),
               KeyError);
  EXPECT_THROW(run("plot_violin_for_gene_expression_with_signif_difference",
                   {{"target_genes", {"CD274"}}, {"test_cfg", {{"test", "chi2"}}}}),
               ValueError);
}

TEST(ComparisonTools, BoxGeneTestsPerSampleMeans) {
  json r = run("plot_box_for_gene_expression_with_signif_difference",
               {{"target_genes", {"CD274"}},
                {"obs_filter", {{"celltypes", {"Myeloid cell"}}}},
                {"test_cfg", {{"test", "t-test_welch"}}}});
  expect_png(r["img_base64"]);
  EXPECT_EQ(heading(r, "per_sample"), "Selected per-sample gene expression results for per_sample");
  const Table cmp = Table::from_json(r["table_summaries"]["comparisons"]);
  const Table per = Table::from_json(r["table_summaries"]["per_sample"]);
  const auto e = demo().gene_expression({"CD274"})[0];
  std::map<std::string, std::pair<double, long long>> sums;
  std::map<std::string, std::string> cond_of;
  for (size_t i = 0; i < demo().n_obs(); ++i) {
    if (obs("celltype_major", i) != "Myeloid cell") continue;
    auto& s = sums[obs("sample", i)];
    s.first += e[i];
    ++s.second;
    cond_of[obs("sample", i)] = obs("condition", i);
  }
  ASSERT_EQ(per.n_rows(), sums.size());
  std::map<std::string, std::vector<double>> by_group;
  for (size_t row = 0; row < per.n_rows(); ++row) {
    const std::string s = per.column("sample")[row];
    EXPECT_EQ(per.column("n_cells")[row].get<long long>(), sums[s].second);
    EXPECT_NEAR(num(per.column("mean_expression")[row]), sums[s].first / sums[s].second, 1e-9);
    EXPECT_EQ(per.column("condition")[row], cond_of[s]);
    by_group[cond_of[s]].push_back(num(per.column("mean_expression")[row]));
  }
  ASSERT_EQ(cmp.n_rows(), 3u);
  for (size_t row = 0; row < cmp.n_rows(); ++row) {
    const auto& x = by_group[cmp.column("group1")[row]];
    const auto& y = by_group[cmp.column("group2")[row]];
    EXPECT_EQ(cmp.column("n1")[row].get<size_t>(), x.size());  // samples, not cells
    const auto test = detail::welch_t_test(x, y);
    EXPECT_NEAR(num(cmp.column("pval")[row]), test.pvalue, 1e-12);
    EXPECT_EQ(cmp.column("method")[row], "welch_t");
  }
  expect_bh(cmp);
}

TEST(ComparisonTools, PopulationBoxRecountsProportionsPerSample) {
  json r = run("plot_box_for_celltype_population_with_signif_difference",
               {{"obs_filter", {{"celltypes", {"T cell", "Myeloid cell", "Epithelial cell"}}}}});
  expect_png(r["img_base64"]);
  EXPECT_EQ(heading(r, "comparisons"),
            "Selected per-sample cell-type population results for comparisons");
  const Table per = Table::from_json(r["table_summaries"]["per_sample"]);
  const Table cmp = Table::from_json(r["table_summaries"]["comparisons"]);
  std::map<std::pair<std::string, std::string>, long long> n;
  std::map<std::string, long long> total;
  for (size_t i = 0; i < demo().n_obs(); ++i) {
    ++n[{obs("sample", i), obs("celltype_major", i)}];
    ++total[obs("sample", i)];
  }
  EXPECT_EQ(per.n_rows(), 3u * total.size());
  for (size_t row = 0; row < per.n_rows(); ++row) {
    const std::string s = per.column("sample")[row], ct = per.column("celltype")[row];
    EXPECT_NEAR(num(per.column("percent")[row]), 100.0 * n[std::make_pair(s, ct)] / total[s], 1e-9);
  }
  ASSERT_EQ(cmp.n_rows(), 9u);
  EXPECT_FALSE(cmp.has_column("gene"));
  for (size_t row = 0; row < cmp.n_rows(); ++row) {
    EXPECT_EQ(cmp.column("n1")[row].get<size_t>(), 3u);  // three samples per condition
    // 3 vs 3 samples without ties: the exact distribution.
    EXPECT_EQ(cmp.column("method")[row], "mannwhitneyu (exact)");
  }
  expect_bh(cmp);
}

TEST(ComparisonTools, CciBoxReadsPerSampleScores) {
  json r = run("plot_box_for_cci_with_signif_difference",
               {{"target_genes", {"PDCD1"}}, {"test_cfg", {{"test", "kruskal"}}}});
  expect_png(r["img_base64"]);
  const Table per = Table::from_json(r["table_summaries"]["per_sample"]);
  const Table cmp = Table::from_json(r["table_summaries"]["comparisons"]);
  ASSERT_GT(cmp.n_rows(), 0u);
  const UnsDict& by_sample = demo().uns.at("CCI_sample").dict();
  for (size_t row = 0; row < per.n_rows(); ++row) {
    const std::string pair = per.column("feature")[row];
    EXPECT_NE(pair.find("PDCD1"), std::string::npos);
    const std::string between = per.column("celltype")[row];
    const std::string src = between.substr(0, between.find(" → "));
    const std::string dst = between.substr(between.find(" → ") + 5);
    const DataFrame& t = by_sample.at(per.column("sample")[row]).table();
    double expected = 0;
    for (size_t k = 0; k < t.n_rows(); ++k)
      if (t.col("interacting_pair").text_at(k) == pair && t.col("source").text_at(k) == src &&
          t.col("target").text_at(k) == dst)
        expected = t.col("mean").json_at(k).get<double>();
    EXPECT_DOUBLE_EQ(num(per.column("score")[row]), expected);
  }
  EXPECT_EQ(cmp.column("method")[0], "kruskal");
  try {
    run("plot_box_for_cci_with_signif_difference",
        {{"feature_cfg", {{"features", {"CD274_PDCD2"}}}}});
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'CD274_PDCD2'"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("CD274_PDCD1"), std::string::npos) << e.what();
  }
}

// The columns of value-axis tick labels in one run's figure: each tick column is a run of
// right-aligned numbers, so their right edges tell the columns apart.
size_t tick_columns(const std::string& tool, const json& args) {
  plotting::RenderScope scope;
  run(tool, args);
  std::set<long> right_edges;
  for (const auto& f : scope.figures())
    for (const auto& b : f.text_boxes) {
      char* end = nullptr;
      std::strtod(b.text.c_str(), &end);
      if (!b.text.empty() && end && *end == '\0') right_edges.insert(std::lround((b.x + b.w) / 4));
    }
  return right_edges.size();
}

TEST(ComparisonTools, BoxPanelsOnOneScaleShareTheValueAxis) {
  // Per-sample means of several genes from one source, and interaction scores of several
  // pairs, compare across panels: one axis, labelled on the first panel only.
  EXPECT_EQ(tick_columns("plot_box_for_gene_expression_with_signif_difference",
                         {{"target_genes", {"CD274", "PDCD1", "CD8A"}}}),
            1u);
  EXPECT_EQ(tick_columns("plot_box_for_cci_with_signif_difference", {{"target_genes", {"PDCD1"}}}),
            1u);
  // Shares of a rare and a common type would flatten the rare one on a common axis.
  EXPECT_GT(tick_columns("plot_box_for_celltype_population_with_signif_difference",
                         {{"obs_filter", {{"celltypes", {"T cell", "Myeloid cell"}}}}}),
            1u);
}

TEST(ComparisonTools, GroupsTooSmallGetARowWithAReason) {
  // Condition B has one sample: its comparisons are listed without a p-value, with why.
  AnnData a;
  a.obs.set_index({"c1", "c2", "c3", "c4", "c5", "c6"});
  a.obs.set("condition", Column::categorical({"A", "A", "A", "A", "B", "B"}));
  a.obs.set("sample", Column::categorical({"s1", "s1", "s2", "s3", "s4", "s4"}));
  a.obs.set("celltype_major", Column::categorical({"T", "T", "T", "T", "T", "T"}));
  a.var.set_index({"G1"});
  SparseMatrix x;
  x.n_rows = 6;
  x.n_cols = 1;
  x.indptr = {0, 1, 2, 3, 4, 5, 6};
  x.indices = {0, 0, 0, 0, 0, 0};
  x.data = {1, 2, 3, 4, 5, 6};
  a.set_X(x);
  json kw = {{"target_genes", {"G1"}}, {"show", false}};
  const json r =
      builtin_tool_funcs().at("plot_box_for_gene_expression_with_signif_difference")(a, kw);
  const Table cmp = Table::from_json(r["table_summaries"]["comparisons"]);
  ASSERT_EQ(cmp.n_rows(), 1u);
  EXPECT_EQ(cmp.column("n1")[0].get<size_t>(), 3u);
  EXPECT_EQ(cmp.column("n2")[0].get<size_t>(), 1u);
  EXPECT_TRUE(cmp.column("pval")[0].is_null());
  EXPECT_TRUE(cmp.column("pval_adj")[0].is_null());
  EXPECT_EQ(cmp.column("note")[0], "fewer than two values in a group");
  expect_png(r["img_base64"]);
  // The cells themselves are enough for the violin: 4 against 2.
  const json v =
      builtin_tool_funcs().at("plot_violin_for_gene_expression_with_signif_difference")(a, kw);
  const Table vc = Table::from_json(v["table_summaries"]["comparisons"]);
  EXPECT_EQ(vc.column("n1")[0].get<size_t>(), 4u);
  EXPECT_EQ(vc.column("method")[0], "mannwhitneyu (exact)");
  EXPECT_DOUBLE_EQ(num(vc.column("pval")[0]), 2.0 / 15.0);  // U=0: 2 of C(6,2) orderings
}

TEST(ComparisonTools, ManyGroupsKeepEveryPairInTheTableButFewBrackets) {
  // Nine samples as groups: 36 pairs in one panel.
  json r = run("plot_violin_for_gene_expression_with_signif_difference",
               {{"target_genes", {"CD274"}},
                {"test_cfg", {{"group_by", "sample"}}},
                {"obs_filter", {{"celltypes", {"Myeloid cell"}}}}});
  expect_png(r["img_base64"]);
  EXPECT_EQ(Table::from_json(r["table_summaries"]["comparisons"]).n_rows(), 36u);

  std::vector<detail::Comparison> cmp;
  for (size_t a = 0; a < 5; ++a)
    for (size_t b = a + 1; b < 5; ++b) {
      detail::Comparison c;
      c.a = a, c.b = b, c.n1 = c.n2 = 10;
      c.pval_adj = (a == 0) ? 0.001 * (b + 1) : 0.5;  // four significant pairs of ten
      cmp.push_back(c);
    }
  bool thinned = false;
  const auto br = detail::panel_brackets(cmp, 0, &thinned);
  EXPECT_TRUE(thinned);
  ASSERT_EQ(br.size(), 4u);
  EXPECT_EQ(br[0].b, 1u);  // strongest first
  EXPECT_EQ(br[0].label, "**");
  cmp.resize(3);
  thinned = false;
  EXPECT_EQ(detail::panel_brackets(cmp, 0, &thinned).size(), 3u);  // few pairs: all drawn
  EXPECT_FALSE(thinned);
}

TEST(ComparisonTools, BracketsBeyondTheLimitAreTheStrongestPairsNotTheFirstOnes) {
  // Ten pairs, all at the same adjusted p (as BH often leaves them): the six drawn are
  // those with the largest difference of means, largest first, wherever they sit.
  std::vector<detail::Comparison> cmp;
  for (size_t a = 0; a < 5; ++a)
    for (size_t b = a + 1; b < 5; ++b) {
      detail::Comparison c;
      c.a = a, c.b = b, c.n1 = c.n2 = 10;
      c.pval_adj = 0.01;
      c.mean1 = 0;
      c.mean2 = -static_cast<double>(cmp.size());  // later pairs differ more
      cmp.push_back(c);
    }
  cmp[1].pval_adj = 0.001;  // a smaller p still wins over any difference
  const auto br = detail::panel_brackets(cmp, 0);
  ASSERT_EQ(br.size(), detail::kMaxBrackets);
  EXPECT_EQ(br[0].a, cmp[1].a);
  EXPECT_EQ(br[0].b, cmp[1].b);
  for (size_t i = 1; i < br.size(); ++i) {
    const auto& want = cmp[cmp.size() - i];  // pairs 9, 8, 7, ...
    EXPECT_EQ(br[i].a, want.a) << i;
    EXPECT_EQ(br[i].b, want.b) << i;
  }
}

TEST(ComparisonTools, PopulationBoxAmongTheParentType) {
  json r =
      run("plot_box_for_celltype_population_with_signif_difference",
          {{"parent_col", "celltype_major"},
           {"obs_filter", {{"celltype_col", "celltype_minor"}, {"celltypes", {"CD8 T cell"}}}}});
  expect_png(r["img_base64"]);
  const Table per = Table::from_json(r["table_summaries"]["per_sample"]);
  std::map<std::string, long long> cd8, t_cells;
  for (size_t i = 0; i < demo().n_obs(); ++i) {
    if (obs("celltype_minor", i) == "CD8 T cell") ++cd8[obs("sample", i)];
    if (obs("celltype_major", i) == "T cell") ++t_cells[obs("sample", i)];
  }
  ASSERT_EQ(per.n_rows(), t_cells.size());
  for (size_t row = 0; row < per.n_rows(); ++row) {
    const std::string s = per.column("sample")[row];
    EXPECT_EQ(per.column("parent_total")[row].get<long long>(), t_cells[s]);
    EXPECT_NEAR(num(per.column("percent")[row]), 100.0 * cd8[s] / t_cells[s], 1e-9);
  }
}

}  // namespace
}  // namespace norvex
