// The tools' steps apart from drawing, and what a run returns besides its figures: the
// violin and box statistics on a tiny dataset against values worked out by hand, and the
// warnings every tool returns in its result instead of printing them.
#include <gtest/gtest.h>

#include <cmath>

#include "norvex/analysis_tools/comparison_steps.hpp"
#include "norvex/analysis_tools/group_tests.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/host/recording_host.hpp"
#include "tool_test_data.hpp"

namespace norvex {
namespace {

using detail::ExpressionSelection;
using detail::ObsFilter;
using detail::Warnings;

// Twelve cells: six T cells (conditions A, A, A, B, B, B) and six B cells (A, A, B, B, B, B)
// in four samples (s1, s2 mostly A; s3, s4 B), with a T-cell subtype level. G1 rises with
// the cell; G2 is zero but in two cells.
AnnData tiny() {
  AnnData a;
  a.obs.set_index({"c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9", "c10", "c11", "c12"});
  a.obs.set("celltype",
            Column::categorical({"T", "T", "T", "T", "T", "T", "B", "B", "B", "B", "B", "B"}));
  a.obs.set("subtype", Column::categorical({"CD4", "CD8", "CD4", "CD4", "CD8", "CD8", "Bn", "Bn",
                                            "Bn", "Bn", "Bn", "Bn"}));
  a.obs.set("condition",
            Column::categorical({"A", "A", "A", "B", "B", "B", "A", "A", "B", "B", "B", "B"}));
  a.obs.set("sample", Column::categorical({"s1", "s1", "s2", "s3", "s3", "s4", "s1", "s2", "s3",
                                           "s4", "s4", "s4"}));
  a.var.set_index({"G1", "G2"});
  const std::vector<std::vector<float>> rows = {{1, 0}, {2, 0},   {3, 0},   {4, 2},
                                                {5, 0}, {6, 0},   {0.5, 0}, {7, 0},
                                                {8, 0}, {9, 1.5}, {10, 0},  {11, 0}};
  SparseMatrix x;
  x.n_rows = rows.size();
  x.n_cols = 2;
  x.indptr = {0};
  for (const auto& r : rows) {
    for (size_t j = 0; j < r.size(); ++j)
      if (r[j] != 0) x.indices.push_back(static_cast<int64_t>(j)), x.data.push_back(r[j]);
    x.indptr.push_back(static_cast<int64_t>(x.indices.size()));
  }
  a.set_X(x);
  return a;
}

ObsFilter filter(std::optional<detail::TextList> celltypes = std::nullopt,
                 std::optional<detail::TextList> conditions = std::nullopt) {
  return ObsFilter{"celltype", std::move(celltypes), "condition", std::move(conditions)};
}

// The shared selection, in the violin's order.
ExpressionSelection select(const AnnData& a, const detail::TextList& genes, const ObsFilter& f,
                           detail::ViolinGroups* groups = nullptr) {
  ExpressionSelection sel;
  Warnings warnings;
  detail::select_genes(sel, a, genes, std::nullopt, std::nullopt, warnings);
  EXPECT_TRUE(warnings.empty());
  sel.celltypes = detail::obs_categories(a, f.celltype_col);
  detail::select_celltype_panels(sel, f);
  if (groups) {
    *groups = detail::violin_group_column(a, "condition", f.condition_col);
    detail::select_violin_groups(*groups, sel, a, f);
  }
  detail::load_expression(sel, a);
  return sel;
}

TEST(ToolSteps, SharedSelectionResolvesGenesAndPanels) {
  const AnnData a = tiny();
  ExpressionSelection sel;
  Warnings warnings;
  detail::select_genes(sel, a, {"g1", "NOPE", "G1"}, std::nullopt, std::nullopt, warnings);
  EXPECT_EQ(sel.genes, std::vector<std::string>{"G1"});  // case-insensitive, once
  EXPECT_EQ(sel.source.label, "X");
  EXPECT_EQ(warnings, Warnings{"Gene(s) not in var names, left out: 'NOPE'"});
  EXPECT_THROW(detail::select_genes(sel, a, {"NOPE"}, std::nullopt, std::nullopt, warnings),
               KeyError);
  EXPECT_THROW(detail::requested_genes(std::nullopt, detail::TextList{}), ValueError);
  EXPECT_EQ(detail::requested_genes(detail::TextList{"A"}, detail::TextList{"B"}),
            (detail::TextList{"A", "B"}));

  sel.celltypes = detail::obs_categories(a, "celltype");
  detail::select_celltype_panels(sel, filter(detail::TextList{"t", "B", "T"}));
  ASSERT_EQ(sel.n_celltype_panels(), 2u);
  EXPECT_EQ(sel.panel_celltype(0), "T");
  EXPECT_EQ(sel.panel_celltype(1), "B");
  EXPECT_EQ(sel.panel_of_cell(0), 0);
  EXPECT_EQ(sel.panel_of_cell(11), 1);
  detail::select_celltype_panels(sel, filter());
  EXPECT_EQ(sel.n_celltype_panels(), 1u);
  EXPECT_EQ(sel.panel_celltype(0), "all cells");
  EXPECT_THROW(detail::select_celltype_panels(sel, filter(detail::TextList{"NK"})), ValueError);
}

TEST(ToolSteps, ViolinStatisticsMatchTheCellsAndExactTests) {
  const AnnData a = tiny();
  detail::ViolinGroups groups;
  const ExpressionSelection sel = select(a, {"G1"}, filter(detail::TextList{"T", "B"}), &groups);
  EXPECT_EQ(groups.groups, (std::vector<std::string>{"A", "B"}));
  const detail::ViolinStats st =
      detail::compute_violin_stats(sel, groups, "mannwhitneyu", "fdr_bh");
  EXPECT_EQ(st.n_cells, 12u);
  ASSERT_EQ(st.panels.size(), 2u);
  EXPECT_EQ(st.panels[0].feature, "G1");
  EXPECT_EQ(st.panels[0].celltype, "T");
  EXPECT_EQ(st.panels[0].values, (std::vector<std::vector<double>>{{1, 2, 3}, {4, 5, 6}}));
  EXPECT_EQ(st.panels[1].values, (std::vector<std::vector<double>>{{0.5, 7}, {8, 9, 10, 11}}));
  ASSERT_EQ(st.comparisons.size(), 2u);
  const detail::Comparison& t = st.comparisons[0];
  const detail::Comparison& b = st.comparisons[1];
  EXPECT_EQ(t.n1, 3u);
  EXPECT_EQ(t.n2, 3u);
  EXPECT_DOUBLE_EQ(t.mean1, 2.0);
  EXPECT_DOUBLE_EQ(t.mean2, 5.0);
  EXPECT_DOUBLE_EQ(b.mean1, 3.75);
  EXPECT_DOUBLE_EQ(b.mean2, 9.5);
  // Complete separation: U = 0, exact two-sided p = 2 / C(n1 + n2, n1).
  EXPECT_DOUBLE_EQ(t.result.statistic, 0.0);
  EXPECT_DOUBLE_EQ(t.result.pvalue, 2.0 / 20.0);
  EXPECT_DOUBLE_EQ(b.result.pvalue, 2.0 / 15.0);
  // Benjamini-Hochberg over both: min(0.1 * 2 / 1, 2/15 * 2 / 2) = 2/15 for each.
  EXPECT_DOUBLE_EQ(t.pval_adj, 2.0 / 15.0);
  EXPECT_DOUBLE_EQ(b.pval_adj, 2.0 / 15.0);
  // Bonferroni doubles each.
  const auto bonf = detail::compute_violin_stats(sel, groups, "mannwhitneyu", "bonferroni");
  EXPECT_DOUBLE_EQ(bonf.comparisons[0].pval_adj, 0.2);

  // No cell type chosen: one panel of all cells; a condition filter keeps only its groups.
  detail::ViolinGroups only_b;
  const ExpressionSelection all =
      select(a, {"G1", "G2"}, filter(std::nullopt, detail::TextList{"B"}), &only_b);
  EXPECT_EQ(only_b.groups, std::vector<std::string>{"B"});
  const auto st2 = detail::compute_violin_stats(all, only_b, "mannwhitneyu", "fdr_bh");
  EXPECT_EQ(st2.n_cells, 7u);
  ASSERT_EQ(st2.panels.size(), 2u);  // one per gene
  EXPECT_EQ(st2.panels[1].feature, "G2");
  EXPECT_EQ(st2.panels[1].celltype, "all cells");
  EXPECT_EQ(st2.panels[1].values, (std::vector<std::vector<double>>{{2, 0, 0, 0, 1.5, 0, 0}}));
  EXPECT_TRUE(st2.comparisons.empty());  // one group: nothing to compare
}

TEST(ToolSteps, BoxGeneStatisticsArePerSampleMeans) {
  const AnnData a = tiny();
  const ExpressionSelection sel = select(a, {"G1"}, filter(detail::TextList{"T"}));
  const detail::SignifTestConfig test{"condition", "t-test_welch", "none", "sample"};
  const detail::SampleGroups sg = detail::sample_groups(a, test, "condition", std::nullopt);
  EXPECT_EQ(sg.groups, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(sg.group_of_sample, (std::vector<int32_t>{0, 0, 1, 1}));  // by most cells
  const detail::BoxGeneStats st = detail::compute_box_gene_stats(sel, sg, "t-test_welch", "none");
  ASSERT_EQ(st.per_sample.size(), 4u);
  const std::vector<double> means = {1.5, 3, 4.5, 6};  // s1: c1, c2; s2: c3; s3: c4, c5; s4: c6
  const std::vector<long long> counts = {2, 1, 2, 1};
  for (size_t s = 0; s < 4; ++s) {
    EXPECT_EQ(st.per_sample[s].sample, "s" + std::to_string(s + 1));
    EXPECT_EQ(st.per_sample[s].celltype, "T");
    EXPECT_EQ(st.per_sample[s].n_cells, counts[s]);
    EXPECT_DOUBLE_EQ(st.per_sample[s].mean, means[s]);
  }
  ASSERT_EQ(st.comparisons.size(), 1u);
  const detail::Comparison& c = st.comparisons[0];
  EXPECT_EQ(c.n1, 2u);  // samples, not cells
  EXPECT_DOUBLE_EQ(c.mean1, 2.25);
  EXPECT_DOUBLE_EQ(c.mean2, 5.25);
  // Welch: t = -3 / sqrt(1.125) with 2 degrees of freedom, where p = 1 - |t| / sqrt(2 + t²).
  EXPECT_NEAR(c.result.statistic, -std::sqrt(8.0), 1e-12);
  EXPECT_NEAR(c.result.pvalue, 1 - std::sqrt(0.8), 1e-12);
  EXPECT_DOUBLE_EQ(c.pval_adj, c.result.pvalue);  // no correction
}

TEST(ToolSteps, BoxGroupsNeedOneValuePerSample) {
  AnnData a = tiny();
  // A per-cell label (a cell-cycle phase): sample s1 has cells of both phases.
  a.obs.set("phase", Column::categorical(
                         {"G1", "S", "G1", "G1", "G1", "G1", "G1", "G1", "G1", "G1", "G1", "G1"}));
  try {
    detail::sample_groups(a, {"phase", "mannwhitneyu", "fdr_bh", "sample"}, "condition",
                          std::nullopt);
    ADD_FAILURE() << "a per-cell column was accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "obs['phase'] varies within samples (sample 's1' has cells of 'G1', 'S'): box "
                 "plots compare samples, so group them by a column with one value per sample, "
                 "such as the condition");
  }
  // One value per sample (missing values aside) is a grouping.
  a.obs.set("site",
            Column::categorical({"x", "x", "y", "z", "z", "z", "x", "y", "z", "z", "z", "z"}));
  EXPECT_EQ(detail::sample_groups(a, {"site", "mannwhitneyu", "fdr_bh", "sample"}, "condition",
                                  std::nullopt)
                .group_of_sample,
            (std::vector<int32_t>{0, 1, 2, 2}));
}

TEST(ToolSteps, FewSamplesSayWhichPValuesTheTestCanReach) {
  const AnnData a = tiny();
  const ExpressionSelection sel = select(a, {"G1"}, filter(detail::TextList{"T"}));
  for (const char* test : {"mannwhitneyu", "t-test_welch"}) {
    SCOPED_TRACE(test);
    const detail::SignifTestConfig cfg{"condition", test, "fdr_bh", "sample"};
    const detail::SampleGroups sg = detail::sample_groups(a, cfg, "condition", std::nullopt);
    const detail::BoxGeneStats st = detail::compute_box_gene_stats(sel, sg, test, "fdr_bh");
    const Table t = detail::comparison_table(st.comparisons, sg.groups, "gene");
    if (std::string(test) == "mannwhitneyu") {
      // 2 vs 2 samples: 2 / C(4, 2) = 1/3 at best, whatever the values.
      EXPECT_NEAR(st.comparisons[0].smallest_p, 1.0 / 3, 1e-15);
      EXPECT_EQ(t.column("note")[0], "smallest attainable p for n = 2 vs 2 is 0.333");
      EXPECT_EQ(detail::attainable_p_note(st.comparisons),
                "Few values: with n = 2 vs 2 the smallest p Mann-Whitney U can reach is 0.333, "
                "so no pair can be significant; Welch's t-test (test \"t-test_welch\") suits "
                "few samples.");
    } else {
      EXPECT_EQ(t.column("note")[0], "");
      EXPECT_EQ(detail::attainable_p_note(st.comparisons), "");
    }
  }
}

TEST(ToolSteps, BoxPopulationSharesPerSampleAndAmongTheParent) {
  const AnnData a = tiny();
  const detail::SignifTestConfig test{"condition", "mannwhitneyu", "fdr_bh", "sample"};
  detail::PopulationSelection sel;
  sel.samples = detail::sample_groups(a, test, "condition", std::nullopt);
  sel.celltype_col = "celltype";
  sel.celltypes = detail::obs_categories(a, "celltype");
  sel.shown = {sel.celltypes.find("T")};
  const auto st = detail::compute_box_population_stats(sel, "mannwhitneyu", "fdr_bh");
  ASSERT_EQ(st.panels.size(), 1u);
  // s1: 2 of 3 cells are T; s2: 1 of 2; s3: 2 of 3; s4: 1 of 4.
  EXPECT_EQ(st.panels[0].values,
            (std::vector<std::vector<double>>{{200.0 / 3, 50.0}, {200.0 / 3, 25.0}}));
  EXPECT_EQ(st.per_sample[3].total, 4);
  EXPECT_FALSE(st.panel_parents[0]);

  // CD8 T cells among the T cells of each sample: 1 of 2, 0 of 1, 1 of 2, 1 of 1.
  detail::PopulationSelection sub = sel;
  sub.celltype_col = "subtype";
  sub.celltypes = detail::obs_categories(a, "subtype");
  sub.shown = {sub.celltypes.find("CD8")};
  sub.parent_col = "celltype";
  sub.parents = detail::obs_categories(a, "celltype");
  const auto among = detail::compute_box_population_stats(sub, "mannwhitneyu", "fdr_bh");
  EXPECT_EQ(among.panels[0].values, (std::vector<std::vector<double>>{{50, 0}, {50, 100}}));
  EXPECT_EQ(among.panel_parents[0], std::optional<std::string>("T"));
  EXPECT_EQ(among.per_sample[1].total, 1);  // s2 has one T cell
}

// ---- warnings travel in the result; tools neither print nor display ----

AnnData& demo() {
  return testing::small_demo(1500, 400, 5);
}

json minimal_args(const std::string& tool) {
  if (tool == "plot_violin_for_gene_expression_with_signif_difference" ||
      tool == "plot_box_for_gene_expression_with_signif_difference")
    return {{"target_genes", {"CD274"}}};
  if (tool == "plot_box_for_cci_with_signif_difference") return {{"target_genes", {"PDCD1"}}};
  return json::object();
}

TEST(ToolWarnings, EveryToolReturnsItsWarningsAndShowsNothing) {
  ASSERT_EQ(tool_names().size(), 12u);
  for (const std::string& tool : tool_names()) {
    RecordingHost host;
    ScopedHost scoped{host};
    json args = minimal_args(tool);
    args["show"] = true;  // accepted, and ignored: the caller shows
    const json r = builtin_tool_funcs().at(tool)(demo(), args);
    ASSERT_TRUE(r.contains("warnings")) << tool;
    EXPECT_EQ(r["warnings"], json::array()) << tool;
    EXPECT_TRUE(r.contains("img_base64")) << tool;
    EXPECT_TRUE(host.events.empty()) << tool << ": the tool printed or displayed something";
  }
}

TEST(ToolWarnings, WarningsArriveInTheResultInTheOrderFound) {
  RecordingHost host;
  ScopedHost scoped{host};
  const json umap = testing::run_tool_quietly(
      demo(), "plot_umap", {{"target_genes", {"CD3E", "NOTAGENE1", "MS4A1", "NOTAGENE2"}}});
  EXPECT_EQ(umap["warnings"],
            json::array({"Gene(s) not in var names, left out: 'NOTAGENE1', 'NOTAGENE2'"}));
  const json box =
      testing::run_tool_quietly(demo(), "plot_box_for_gene_expression_with_signif_difference",
                                {{"target_genes", {"CD274", "NOTAGENE1"}}});
  EXPECT_EQ(box["warnings"], json::array({"Gene(s) not in var names, left out: 'NOTAGENE1'"}));

  // Two warnings of the interaction box plot: a table of no known sample, then a gene in no
  // pair.
  AnnData copy = demo();
  UnsDict& per = copy.uns.at("CCI_sample").dict();
  const UnsNode first = per.at(per.keys().front());
  per.set("X99", first);
  const json cci = testing::run_tool_quietly(copy, "plot_box_for_cci_with_signif_difference",
                                             {{"target_genes", {"PDCD1", "NOTAGENE"}}});
  EXPECT_EQ(cci["warnings"],
            json::array({"uns['CCI_sample'] entries that are not samples of obs['sample'], left "
                         "out: 'X99'",
                         "No ligand-receptor pair involves 'NOTAGENE'; left out"}));
  EXPECT_EQ(host.console(), "");
}

}  // namespace
}  // namespace norvex
