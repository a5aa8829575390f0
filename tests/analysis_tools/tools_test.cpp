// The three built-in analyses on a generated demo dataset, checked against recomputation.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/demo/demo_data.hpp"
#include "norvex/plotting/plot.hpp"
#include "tool_test_data.hpp"

namespace norvex {
namespace {

AnnData& demo() {
  return testing::small_demo(1200, 400, 7);
}

json run(const std::string& tool, const json& args) {
  return testing::run_tool_quietly(demo(), tool, args);
}

void expect_png(const json& b64, int min_w = 600) {
  ASSERT_TRUE(b64.is_string());
  auto [w, h] = plotting::png_size(base64_decode(b64.get<std::string>()));
  EXPECT_GE(w, min_w);
  EXPECT_GE(h, 450);
}

std::string obs_text(const std::string& col, size_t i) {
  return demo().obs.col(col).text_at(i);
}

TEST(Tools, PopulationProportionsMatchARecount) {
  json r = run("plot_celltype_population",
               {{"compute_cfg", {{"celltype_col", "celltype_minor"}, {"group_by", "condition"}}}});
  expect_png(r["img_base64"]);
  Table t = Table::from_json(r["table_summaries"]["condition"]);
  std::map<std::pair<std::string, std::string>, long long> counts;
  std::map<std::string, long long> totals;
  for (size_t i = 0; i < demo().n_obs(); ++i) {
    ++counts[{obs_text("condition", i), obs_text("celltype_minor", i)}];
    ++totals[obs_text("condition", i)];
  }
  // Every (condition, cell type) pair appears, zero counts included.
  std::set<std::string> cts;
  for (auto& [k, n] : counts) cts.insert(k.second);
  EXPECT_EQ(t.n_rows(), totals.size() * cts.size());
  for (size_t row = 0; row < t.n_rows(); ++row) {
    const std::string g = t.column("condition")[row], ct = t.column("celltype_minor")[row];
    const long long expected = counts[std::make_pair(g, ct)];
    EXPECT_EQ(t.column("n_cells")[row].get<long long>(), expected);
    EXPECT_NEAR(t.column("proportion")[row].get<double>(),
                static_cast<double>(expected) / totals[g], 1e-12);
  }
}

TEST(Tools, PopulationWithinSelectedCellTypesAndPerSample) {
  json r = run("plot_celltype_population", {{"compute_cfg",
                                             {{"celltype_col", "celltype_minor"},
                                              {"group_by", "sample"},
                                              {"celltypes", {"CD8 T cell", "cd4 t cell"}}}}});
  Table t = Table::from_json(r["table_summaries"]["sample"]);
  std::map<std::string, double> sums;
  for (size_t row = 0; row < t.n_rows(); ++row) {
    const std::string ct = t.column("celltype_minor")[row];
    EXPECT_TRUE(ct == "CD8 T cell" || ct == "CD4 T cell") << ct;
    sums[t.column("sample")[row]] += t.column("proportion")[row].get<double>();
  }
  for (auto& [s, total] : sums) EXPECT_NEAR(total, 1.0, 1e-12) << s;
  EXPECT_TRUE(t.has_column("condition"));
}

TEST(Tools, UmapByCategoryAndByGene) {
  json r = run("plot_umap", {{"plot_cfg", {{"color_by", "condition"}}}});
  expect_png(r["img_base64"]);
  Table t = Table::from_json(r["table_summaries"]["condition"]);
  long long total = 0;
  for (auto& n : t.column("n_cells")) total += n.get<long long>();
  EXPECT_EQ(total, static_cast<long long>(demo().n_obs()));

  const std::string gene = demo().var.index()[0];
  json g = run("plot_umap", {{"target_genes", {gene, demo().var.index()[1]}},
                             {"embed_cfg", {{"conditions", {"Normal"}}}}});
  ASSERT_TRUE(g["img_base64"].is_array());
  EXPECT_EQ(g["img_base64"].size(), 2u);
  expect_png(g["img_base64"][0]);
  // Mean expression per cell type among Normal cells, recomputed from X.
  auto expr = demo().gene_expression({gene});
  std::map<std::string, std::pair<double, long long>> acc;
  for (size_t i = 0; i < demo().n_obs(); ++i) {
    if (obs_text("condition", i) != "Normal") continue;
    auto& a = acc[obs_text("celltype_major", i)];
    a.first += expr[0][i];
    ++a.second;
  }
  Table gt = Table::from_json(g["table_summaries"][gene]);
  for (size_t row = 0; row < gt.n_rows(); ++row) {
    auto& a = acc[gt.index()[row]];
    EXPECT_EQ(gt.column("n_cells")[row].get<long long>(), a.second);
    EXPECT_NEAR(gt.column("mean_expression")[row].get<double>(), a.first / a.second, 1e-5);
  }
}

// A title the user gives names a gene panel only when there are several: one gene's panel is
// the user's title alone, and panel k of several is that title with its gene.
TEST(Tools, UmapGenePanelTitles) {
  const std::string g1 = demo().var.index()[0], g2 = demo().var.index()[1];
  auto panel = [&](const json& genes, const std::string& title) {
    const json r = run("plot_umap", {{"target_genes", genes}, {"plot_cfg", {{"title", title}}}});
    return r["img_base64"].is_array() ? r["img_base64"][0] : r["img_base64"];
  };
  const json alone = panel({g1}, "Study");
  EXPECT_NE(alone, panel({g1}, "Study · " + g1));
  EXPECT_EQ(panel({g1, g2}, "Study"), panel({g1}, "Study · " + g1));
}

TEST(Tools, WrongValuesNameTheValueAndShowValidOnes) {
  try {
    run("plot_umap", {{"embed_cfg", {{"celltypes", {"Dragon cell"}}}}});
    FAIL();
  } catch (const ValueError& e) {
    std::string m = e.what();
    EXPECT_NE(m.find("'Dragon cell'"), std::string::npos);
    EXPECT_NE(m.find("T cell"), std::string::npos);
  }
  EXPECT_THROW(run("plot_umap", {{"target_genes", {"NOTAGENE1"}}}), KeyError);
  EXPECT_THROW(run("plot_umap", {{"plot_cfg", {{"color_by", "nonsense"}}}}), KeyError);
  EXPECT_THROW(run("plot_degs_gene_ranking", {{"compute_cfg", {{"celltype", "Dragon"}}}}),
               ValueError);
  EXPECT_THROW(run("plot_celltype_population", {{"compute_cfg", {{"bogus", 1}}}}), TypeError);
}

// The tools' tables declare their ranges and allowed values; reading the arguments checks
// them before any work.
TEST(Tools, ArgumentsOutsideTheirTablesRangeOrValuesAreRefused) {
  auto message = [](const std::string& tool, const json& args) -> std::string {
    try {
      run(tool, args);
    } catch (const ValueError& e) {
      return e.what();
    }
    return "no ValueError";
  };
  EXPECT_EQ(message("plot_umap", {{"plot_cfg", {{"width", 50}}}}),
            "plot_cfg.width must be between 3 and 30, got 50");
  EXPECT_EQ(message("plot_umap", {{"plot_cfg", {{"cmap", "jet"}}}}),
            "plot_cfg.cmap must be one of 'viridis', 'magma', 'reds', got 'jet'");
  EXPECT_EQ(message("plot_celltype_population", {{"plot_cfg", {{"height", 2}}}}),
            "plot_cfg.height must be between 3 and 30, got 2");
  EXPECT_EQ(message("plot_degs_gene_ranking", {{"compute_cfg", {{"rank_by", "pvals"}}}}),
            "compute_cfg.rank_by must be one of 'scores', 'logfoldchanges', got 'pvals'");
  EXPECT_EQ(message("plot_degs_gene_ranking", {{"plot_cfg", {{"plot_type", "pie"}}}}),
            "plot_cfg.plot_type must be one of 'ranking', 'volcano', 'both', got 'pie'");
}

TEST(Tools, DegRankingSelectsTheTopGenesOfTheStoredTable) {
  json r = run("plot_degs_gene_ranking", {{"compute_cfg",
                                           {{"deg_key", "DEG_vs_ref"},
                                            {"celltype", "CD8 T cell"},
                                            {"comparison", "Primary"},
                                            {"n_top", 5}}},
                                          {"plot_cfg", {{"plot_type", "both"}}}});
  ASSERT_TRUE(r["img_base64"].is_array());
  EXPECT_EQ(r["img_base64"].size(), 2u);
  ASSERT_TRUE(r["table_summaries"].contains("CD8 T cell"));
  const json& by_cmp = r["table_summaries"]["CD8 T cell"];
  ASSERT_EQ(by_cmp.size(), 1u);
  const std::string cmp = by_cmp.begin().key();
  EXPECT_NE(cmp.find("Primary"), std::string::npos);
  Table t = Table::from_json(by_cmp.begin().value());

  // Recompute: significant genes by direction, ranked by score.
  const DataFrame& df = demo().uns.at("DEG_vs_ref").dict().at("CD8 T cell").dict().at(cmp).table();
  std::vector<std::pair<double, std::string>> up, down;
  for (size_t i = 0; i < df.n_rows(); ++i) {
    json padj = df.col("pvals_adj").json_at(i), lfc = df.col("logfoldchanges").json_at(i),
         sc = df.col("scores").json_at(i);
    if (!padj.is_number() || !lfc.is_number() || padj.get<double>() >= 0.05 ||
        std::fabs(lfc.get<double>()) < 0.25)
      continue;
    (lfc.get<double>() > 0 ? up : down).push_back({sc.get<double>(), df.col("names").text_at(i)});
  }
  std::sort(up.rbegin(), up.rend());
  std::sort(down.begin(), down.end());
  std::vector<std::string> expect;
  for (size_t i = 0; i < up.size() && i < 5; ++i) expect.push_back(up[i].second);
  std::vector<std::string> down_top;
  for (size_t i = 0; i < down.size() && i < 5; ++i) down_top.push_back(down[i].second);
  expect.insert(expect.end(), down_top.rbegin(), down_top.rend());
  ASSERT_EQ(t.n_rows(), expect.size());
  for (size_t i = 0; i < expect.size(); ++i) EXPECT_EQ(t.column("names")[i], expect[i]) << i;
}

}  // namespace
}  // namespace norvex
