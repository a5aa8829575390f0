// plot_markers_and_expression_dot on a generated demo dataset and on the real-shaped file:
// the table agrees with a recomputation from the matrix, the dot values with a recount, and
// bad input names what is wrong.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "norvex/analysis_tools/rank_tests.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/demo/demo_data.hpp"
#include "norvex/plotting/plot.hpp"
#include "support/real_shaped_dataset.hpp"
#include "tool_test_data.hpp"

namespace norvex {
namespace {

AnnData& demo() {
  return testing::small_demo(900, 300, 5);
}

json run(AnnData& adata, const json& args) {
  return testing::run_tool_quietly(adata, "plot_markers_and_expression_dot", args);
}

// The cells of each group; cells labelled "unassigned" or "nan" (left out of the marker
// search by default) only when `all`.
std::map<std::string, std::vector<size_t>> cells_by(const AnnData& adata, const std::string& col,
                                                    bool all = false) {
  std::map<std::string, std::vector<size_t>> out;
  for (size_t i = 0; i < adata.n_obs(); ++i) {
    const std::string label = adata.obs.col(col).text_at(i);
    if (all || (label != "unassigned" && label != "nan")) out[label].push_back(i);
  }
  return out;
}

TEST(MarkersTool, FoundMarkersAreEachGroupsTopGenesAndMatchARecomputation) {
  const json r = run(demo(), {{"find_cfg", {{"celltype_col", "celltype_major"}, {"n_top", 3}}}});
  auto [w, h] = plotting::png_size(base64_decode(r["img_base64"].get<std::string>()));
  EXPECT_GE(w, 900);
  EXPECT_GE(h, 500);
  EXPECT_EQ(r["data"], "marker gene");  // headed "Selected marker genes for markers"
  const Table t = Table::from_json(r["table_summaries"]["markers"]);
  const auto groups = cells_by(demo(), "celltype_major");
  EXPECT_EQ(t.n_rows(), 3 * groups.size());

  // Each row's numbers from the test on that gene's values, group against the rest.
  std::map<std::string, std::vector<double>> scores;
  for (size_t row = 0; row < t.n_rows(); ++row) {
    const std::string group = t.column("group")[row], gene = t.column("names")[row];
    ASSERT_TRUE(groups.count(group)) << group;
    const auto expr = demo().gene_expression({gene})[0];
    std::vector<double> in, rest;  // the rest: the other labelled cells
    for (auto& [g, cells] : groups)
      for (size_t i : cells) (g == group ? in : rest).push_back(expr[i]);
    const auto expected = detail::rank_sum_test(in, rest);
    const double z = t.column("scores")[row].get<double>();
    EXPECT_NEAR(z, expected.statistic, 1e-9 * std::fabs(expected.statistic)) << group << gene;
    // log2 fold change: expm1 of each side's mean log expression, as the DEG tables have it
    // (not the mean of expm1, which differs by up to a few log2 units).
    auto mean = [](const std::vector<double>& v) {
      double sum = 0;
      for (double x : v) sum += x;
      return sum / static_cast<double>(v.size());
    };
    const double lfc = std::log2((std::expm1(mean(in)) + 1e-9) / (std::expm1(mean(rest)) + 1e-9));
    EXPECT_NEAR(t.column("logfoldchanges")[row].get<double>(), lfc, 1e-6 * std::max(1.0, lfc))
        << group << gene;
    EXPECT_GT(z, 0) << "a marker ranks higher in its group: " << group << " " << gene;
    EXPECT_GE(t.column("pvals_adj")[row].get<double>(), t.column("pvals")[row].get<double>());
    scores[group].push_back(z);
  }
  for (auto& [group, s] : scores)
    EXPECT_TRUE(std::is_sorted(s.rbegin(), s.rend())) << "best first within " << group;

  // The T-cell group's markers include a T-cell gene of the demo's design.
  std::set<std::string> t_markers;
  for (size_t row = 0; row < t.n_rows(); ++row)
    if (t.column("group")[row] == "T cell") t_markers.insert(t.column("names")[row]);
  EXPECT_FALSE(t_markers.empty());
}

TEST(MarkersTool, UnassignedCellsAreLeftOutUnlessAskedFor) {
  AnnData a = demo();
  std::vector<std::string> labels;
  for (size_t i = 0; i < a.n_obs(); ++i)
    labels.push_back(i % 7 == 0    ? "unassigned"
                     : i % 11 == 0 ? "nan"
                                   : a.obs.col("celltype_major").text_at(i));
  a.obs.set("cluster", Column::categorical(labels));
  const json r = run(a, {{"find_cfg", {{"celltype_col", "cluster"}, {"n_top", 2}}}});
  const Table t = Table::from_json(r["table_summaries"]["markers"]);
  const auto groups = cells_by(a, "cluster", true);
  for (size_t row = 0; row < t.n_rows(); ++row) {
    const std::string group = t.column("group")[row], gene = t.column("names")[row];
    EXPECT_NE(group, "unassigned");
    EXPECT_NE(group, "nan");
    // "The rest" holds only labelled cells.
    const auto expr = a.gene_expression({gene})[0];
    std::vector<double> in, rest;
    for (auto& [g, cells] : groups) {
      if (g == "unassigned" || g == "nan") continue;
      for (size_t i : cells) (g == group ? in : rest).push_back(expr[i]);
    }
    const double z = detail::rank_sum_test(in, rest).statistic;
    EXPECT_NEAR(t.column("scores")[row].get<double>(), z, 1e-9 * std::fabs(z)) << group << gene;
  }
  // Said in the figure's subtitle, not warned about.
  EXPECT_EQ(r["warnings"], json::array());
  // Asked for, they are a group like the others, and the figure differs.
  const json kept = run(
      a, {{"find_cfg", {{"celltype_col", "cluster"}, {"n_top", 2}, {"include_unassigned", true}}}});
  EXPECT_NE(kept["img_base64"], r["img_base64"]);
  std::set<std::string> seen;
  const Table k = Table::from_json(kept["table_summaries"]["markers"]);
  for (size_t row = 0; row < k.n_rows(); ++row) seen.insert(k.column("group")[row]);
  EXPECT_TRUE(seen.count("unassigned"));
  EXPECT_TRUE(seen.count("nan"));
}

TEST(MarkersTool, DotValuesMatchARecountForTheRequestedGenes) {
  const json r = run(demo(), {{"target_genes", {"cd3e", "MS4A1", "NOTAGENE1"}},
                              {"find_cfg", {{"celltype_col", "celltype_minor"}}},
                              {"plot_cfg", {{"standard_scale", "none"}, {"swap_axes", true}}}});
  // The missing gene is named, the others drawn (the lower-case one found as CD3E).
  ASSERT_EQ(r["warnings"].size(), 1u) << r["warnings"];
  EXPECT_NE(r["warnings"][0].get<std::string>().find("'NOTAGENE1'"), std::string::npos)
      << r["warnings"];
  const Table dots = Table::from_json(r["table_summaries"]["dot_plot"]);
  const auto groups = cells_by(demo(), "celltype_minor");
  EXPECT_EQ(dots.n_rows(), 2 * groups.size());
  const auto expr = demo().gene_expression({"CD3E", "MS4A1"});
  for (size_t row = 0; row < dots.n_rows(); ++row) {
    const std::string group = dots.column("group")[row], gene = dots.column("gene")[row];
    const auto& values = expr[gene == "CD3E" ? 0 : 1];
    long long expressing = 0;
    double sum = 0;
    for (size_t i : groups.at(group)) expressing += values[i] > 0, sum += values[i];
    EXPECT_EQ(dots.column("n_cells")[row].get<long long>(),
              static_cast<long long>(groups.at(group).size()));
    EXPECT_EQ(dots.column("n_expressing")[row].get<long long>(), expressing) << group << gene;
    EXPECT_NEAR(dots.column("mean_expression")[row].get<double>(),
                sum / static_cast<double>(groups.at(group).size()), 1e-6);
  }
  // With genes given, the table gives their statistics in every group.
  const Table markers = Table::from_json(r["table_summaries"]["markers"]);
  EXPECT_EQ(markers.n_rows(), 2 * groups.size());
}

TEST(MarkersTool, BadInputNamesTheProblem) {
  auto message = [](const json& args) {
    try {
      run(demo(), args);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  // A misspelt gene: named, with the close real names.
  const std::string gene = message({{"target_genes", {"CD3EE"}}});
  EXPECT_NE(gene.find("CD3EE"), std::string::npos) << gene;
  // "CD3E" once inside "CD3EE" and once more as the close name.
  EXPECT_NE(gene.find("CD3E", gene.find("CD3EE") + 5), std::string::npos) << gene;
  const std::string col = message({{"find_cfg", {{"celltype_col", "cell_kind"}}}});
  EXPECT_NE(col.find("cell_kind"), std::string::npos) << col;
  const std::string layer = message({{"find_cfg", {{"layer", "spliced"}}}});
  EXPECT_NE(layer.find("spliced"), std::string::npos) << layer;
  const std::string method = message({{"find_cfg", {{"method", "t-test"}}}});
  EXPECT_NE(method.find("t-test"), std::string::npos) << method;
}

TEST(MarkersTool, RealShapedFileWithSlashedCellTypes) {
  std::string why;
  const auto path = testing::real_shaped_dataset(&why);
  if (path.empty()) GTEST_SKIP() << why;
  auto adata = AnnData::read_h5ad(path.string());
  std::string col;
  for (const char* c : {"celltype_minor", "celltype_major"})
    if (col.empty() && adata->obs.has(c)) col = c;
  ASSERT_FALSE(col.empty());
  const json r = run(*adata, {{"find_cfg", {{"celltype_col", col}, {"n_top", 2}}}});
  const Table markers = Table::from_json(r["table_summaries"]["markers"]);
  const Table dots = Table::from_json(r["table_summaries"]["dot_plot"]);
  const auto groups = cells_by(*adata, col);
  std::set<std::string> seen;
  for (size_t row = 0; row < markers.n_rows(); ++row) seen.insert(markers.column("group")[row]);
  for (auto& [g, cells] : groups) EXPECT_TRUE(seen.count(g)) << g;
  // raw is read by default there, not the scaled X.
  EXPECT_EQ(r["warnings"], json::array()) << r["warnings"];
  // The figure and its table hold the same groups with the same counts.
  for (size_t row = 0; row < dots.n_rows(); ++row)
    EXPECT_EQ(dots.column("n_cells")[row].get<long long>(),
              static_cast<long long>(groups.at(dots.column("group")[row]).size()));

  // Asked for X, the scaled values are used, and the figure says its dots count values
  // above zero rather than claiming expression.
  const json scaled = run(*adata, {{"target_genes", {"CD3E", "LYZ"}},
                                   {"find_cfg", {{"celltype_col", col}, {"use_raw", false}}}});
  ASSERT_EQ(scaled["warnings"].size(), 1u) << scaled["warnings"];
  EXPECT_EQ(scaled["warnings"][0].get<std::string>().rfind("X holds negative values", 0), 0u)
      << scaled["warnings"];
  const json on_raw =
      run(*adata, {{"target_genes", {"CD3E", "LYZ"}}, {"find_cfg", {{"celltype_col", col}}}});
  EXPECT_NE(scaled["table_summaries"]["dot_plot"], on_raw["table_summaries"]["dot_plot"]);
  const std::string no_raw = [&] {
    AnnData plain;
    plain.obs = adata->obs;
    plain.var = adata->var;
    try {
      run(plain, {{"find_cfg", {{"celltype_col", col}, {"use_raw", true}}}});
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  }();
  EXPECT_NE(no_raw.find("no raw"), std::string::npos) << no_raw;
}

}  // namespace
}  // namespace norvex
