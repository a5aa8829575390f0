// Properties of tool results that a plausible slip would break without any other test
// noticing: unused categories change no marker, cells without a cell type still count in
// their sample, and Sankey percentages add up on both sides of every node.
#include <gtest/gtest.h>

#include <map>

#include "norvex/analysis_tools/comparison_steps.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/table.hpp"
#include "tool_test_data.hpp"

namespace norvex {
namespace {

AnnData& demo() {
  return testing::small_demo(900, 300, 5);
}

// The column with categories no cell has, before and after its own (as subsetting leaves
// them): codes shifted so every cell keeps its label.
Column with_unused_categories(const Column& c) {
  Column out = c;
  std::vector<std::string> cats = {"Aardvark cells"};
  for (const auto& s : c.categories->strings) cats.push_back(s);
  cats.push_back("Zebra cells");
  out.categories = Array::of_strings(cats);
  for (size_t i = 0; i < out.values.ints.size(); ++i)
    if (out.values.ints[i] >= 0) out.values.ints.set(i, out.values.ints[i] + 1);
  return out;
}

TEST(ToolInvariants, UnusedCategoriesChangeNoMarker) {
  const json args = {{"find_cfg", {{"celltype_col", "celltype_major"}, {"n_top", 4}}}};
  const json plain = testing::run_tool_quietly(demo(), "plot_markers_and_expression_dot", args);
  AnnData subset = demo();
  subset.obs.set("celltype_major", with_unused_categories(demo().obs.col("celltype_major")));
  ASSERT_EQ(subset.obs.col("celltype_major").text_at(0),
            demo().obs.col("celltype_major").text_at(0));
  const json padded = testing::run_tool_quietly(subset, "plot_markers_and_expression_dot", args);
  const Table a = Table::from_json(plain["table_summaries"]["markers"]);
  const Table b = Table::from_json(padded["table_summaries"]["markers"]);
  ASSERT_EQ(a.n_rows(), b.n_rows());
  ASSERT_GT(a.n_rows(), 0u);
  for (const char* col : {"group", "names", "scores", "pvals", "pvals_adj", "logfoldchanges"}) {
    if (!a.has_column(col)) continue;
    EXPECT_EQ(a.column(col), b.column(col)) << col;
  }
  for (size_t r = 0; r < b.n_rows(); ++r) {
    EXPECT_NE(b.column("group")[r], "Aardvark cells");
    EXPECT_NE(b.column("group")[r], "Zebra cells");
  }
}

TEST(ToolInvariants, CellsWithoutACellTypeStillCountInTheirSample) {
  // Eight cells in two samples; two have no cell type (code -1).
  AnnData a;
  a.obs.set_index({"c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8"});
  Column celltype;
  celltype.values = Array::of_ints({0, 0, -1, 1, 0, 1, 1, -1}, "int8");
  celltype.categories = Array::of_strings({"T", "B"});
  a.obs.set("celltype", celltype);
  a.obs.set("condition", Column::categorical({"A", "A", "A", "A", "B", "B", "B", "B"}));
  a.obs.set("sample", Column::categorical({"s1", "s1", "s1", "s1", "s2", "s2", "s2", "s2"}));
  a.var.set_index({"G1"});
  SparseMatrix x;
  x.n_rows = 8;
  x.n_cols = 1;
  x.indptr = {0, 0, 0, 0, 0, 0, 0, 0, 0};
  a.set_X(x);

  const detail::SignifTestConfig test{"condition", "mannwhitneyu", "fdr_bh", "sample"};
  detail::PopulationSelection sel;
  sel.samples = detail::sample_groups(a, test, "condition", std::nullopt);
  sel.celltype_col = "celltype";
  sel.celltypes = detail::obs_categories(a, "celltype");
  sel.shown = {sel.celltypes.find("T")};
  const auto st = detail::compute_box_population_stats(sel, "mannwhitneyu", "fdr_bh");
  std::map<std::string, long long> totals;
  std::map<std::string, double> percent;
  for (const auto& share : st.per_sample) {
    totals[share.sample] = share.total;
    percent[share.sample] = share.percent;
  }
  EXPECT_EQ(totals, (std::map<std::string, long long>{{"s1", 4}, {"s2", 4}}));
  EXPECT_DOUBLE_EQ(percent["s1"], 50.0);  // 2 T cells of 4, not of the 3 with a type
  EXPECT_DOUBLE_EQ(percent["s2"], 25.0);
}

TEST(ToolInvariants, SankeyPercentagesAddUpOnEachSideOfEveryNode) {
  const json r = testing::run_tool_quietly(
      demo(), "plot_sankey", {{"levels", {"condition", "celltype_major", "celltype_minor"}}});
  const Table t = Table::from_json(r["table_summaries"]["flows"]);
  ASSERT_GT(t.n_rows(), 3u);
  std::map<std::string, double> out_of, into;
  for (size_t i = 0; i < t.n_rows(); ++i) {
    out_of[t.column("from_level")[i].get<std::string>() + ":" +
           t.column("from")[i].get<std::string>()] += t.column("pct_of_from")[i].get<double>();
    into[t.column("to_level")[i].get<std::string>() + ":" + t.column("to")[i].get<std::string>()] +=
        t.column("pct_of_to")[i].get<double>();
  }
  for (const auto& [node, sum] : out_of) EXPECT_NEAR(sum, 100.0, 1e-9) << node;
  for (const auto& [node, sum] : into) EXPECT_NEAR(sum, 100.0, 1e-9) << node;
  // Every node of the first two levels sends cells on; every node after them receives some.
  EXPECT_FALSE(out_of.empty());
  EXPECT_FALSE(into.empty());
}

}  // namespace
}  // namespace norvex
