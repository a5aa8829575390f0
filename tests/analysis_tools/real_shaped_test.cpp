// Every built tool on a file in the shapes real upstream files take (written by anndata from
// the shared PBMC data): unsigned DEG scores with a direction column, cell types whose names
// hold "/", a scaled X with raw beside it, genes a pathway names but the dataset lacks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/nested_results.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/fixtures.hpp"
#include "support/real_shaped_dataset.hpp"

namespace norvex {
namespace {

class RealShapedTools : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    const auto path = testing::real_shaped_dataset(&why);
    if (path.empty()) GTEST_SKIP() << why;
    adata = AnnData::read_h5ad(path.string());
  }
  json run(const std::string& tool, json args) {
    args["show"] = false;
    return builtin_tool_funcs().at(tool)(*adata, args);
  }
  // The ranking's table: the first table inside table_summaries, however nested.
  static Table ranking_table(const json& value) {
    if (Table::is_table(value)) return Table::from_json(value);
    const json& inner = value.is_object() && value.contains("table_summaries")
                            ? value.at("table_summaries")
                            : value;
    for (const json& v : inner)
      if (v.is_object()) return ranking_table(v);
    throw std::runtime_error("no table in the result");
  }
  RecordingHost host;
  ScopedHost scoped{host};
  std::shared_ptr<AnnData> adata;
};

TEST_F(RealShapedTools, EveryBuiltToolRunsWithItsDefaults) {
  for (const char* tool : {"plot_umap", "plot_celltype_population", "plot_degs_gene_ranking"}) {
    json result;
    ASSERT_NO_THROW(result = run(tool, json::object())) << tool;
    EXPECT_TRUE(result.contains("img_base64")) << tool;
    EXPECT_TRUE(result.contains("table_summaries")) << tool;
  }
}

TEST_F(RealShapedTools, UnsignedScoresKeepEachGenesDirection) {
  // Twelve up and twelve down genes, every score positive: both directions are shown, and
  // the down genes chosen are the strongest ones.
  const json result =
      run("plot_degs_gene_ranking",
          {{"compute_cfg",
            {{"celltype", "CD14+ Monocyte"}, {"comparison", "Tumor_vs_rest"}, {"n_top", 5}}}});
  const Table t = ranking_table(result);
  const json& dir = t.column("direction");
  const auto ups = std::count(dir.begin(), dir.end(), json("up"));
  const auto downs = std::count(dir.begin(), dir.end(), json("down"));
  EXPECT_EQ(ups, 5);
  EXPECT_EQ(downs, 5);
  // The strongest down genes by their (unsigned) score, from the stored table itself.
  const DataFrame& stored =
      adata->uns.at("DEG").dict().at("CD14+ Monocyte").dict().at("Tumor_vs_rest").table();
  std::vector<double> down_scores;
  for (size_t i = 0; i < stored.n_rows(); ++i)
    if (stored.col("logfoldchanges").json_at(i).get<double>() < 0)
      down_scores.push_back(stored.col("scores").json_at(i).get<double>());
  std::sort(down_scores.rbegin(), down_scores.rend());
  const json& scores = t.column("scores");
  for (size_t i = 0; i < dir.size(); ++i) {
    if (dir[i] == "down") {
      EXPECT_GE(scores[i].get<double>(), down_scores[4] - 1e-4);
    }
  }
  // The figure draws them in the down colour, with a legend entry, though every bar is
  // positive.
  const std::string png = base64_decode(result.at("img_base64").get<std::string>());
  EXPECT_GT(testing::count_pixels(png, 0, 114, 178), 500u);
}

TEST_F(RealShapedTools, CellTypesWithASlashAreFoundAndListed) {
  const json result =
      run("plot_degs_gene_ranking", {{"compute_cfg", {{"celltype", testing::kSlashCelltype}}}});
  EXPECT_TRUE(result.contains("img_base64"));
  try {
    run("plot_degs_gene_ranking", {{"compute_cfg", {{"celltype", "Platelet"}}}});
    ADD_FAILURE() << "an unknown cell type";
  } catch (const ValueError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find(testing::kSlashCelltype), std::string::npos) << what;
    EXPECT_EQ(what.find("CD4+,"), std::string::npos) << what;  // not the first group alone
  }
}

TEST_F(RealShapedTools, UmapDrawsTheGenesThatExistAndNamesTheRest) {
  const json result = run("plot_umap", {{"target_genes", {"CD3E", "NOT_A_GENE", "MS4A1"}}});
  EXPECT_TRUE(result.at("img_base64").is_array());  // two panels
  EXPECT_EQ(result.at("img_base64").size(), 2u);
  EXPECT_EQ(result.at("warnings"),
            json::array({"Gene(s) not in raw var names, left out: 'NOT_A_GENE'"}));
  EXPECT_EQ(host.console(), "");  // the tool prints nothing itself
  EXPECT_THROW(run("plot_umap", {{"target_genes", {"NOT_A_GENE"}}}), KeyError);
}

// Gene panels read expression as every other tool does: raw by default beside a scaled X,
// X when asked; the per-cell-type table says which.
TEST_F(RealShapedTools, UmapGenesComeFromRawByDefaultAndFromXWhenAsked) {
  auto means = [&](const std::vector<float>& e) {
    std::map<std::string, double> sum;
    std::map<std::string, long long> n;
    for (size_t i = 0; i < adata->n_obs(); ++i) {
      const std::string ct = adata->obs.col("celltype_major").text_at(i);
      sum[ct] += e[i];
      ++n[ct];
    }
    for (auto& [ct, s] : sum) s /= static_cast<double>(n[ct]);
    return sum;
  };
  const auto raw = means(adata->raw_gene_expression({"CD3E"})[0]);
  const auto x = means(adata->gene_expression({"CD3E"})[0]);
  std::string png_raw, png_x;
  for (bool use_raw : {true, false}) {
    json args = {{"target_genes", {"CD3E"}}};
    if (!use_raw) args["embed_cfg"] = {{"use_raw", false}};
    const json r = run("plot_umap", args);
    (use_raw ? png_raw : png_x) = r.at("img_base64").get<std::string>();
    const Table t = Table::from_json(r.at("table_summaries").at("CD3E"));
    ASSERT_GT(t.n_rows(), 2u);
    for (size_t row = 0; row < t.n_rows(); ++row)
      EXPECT_NEAR(t.column("mean_expression")[row].get<double>(),
                  (use_raw ? raw : x).at(t.index()[row]), 1e-5)
          << t.index()[row] << " use_raw " << use_raw;
  }
  EXPECT_NE(png_raw, png_x);
  EXPECT_THROW(run("plot_umap", {{"target_genes", {"CD3E"}}, {"embed_cfg", {{"layer", "counts"}}}}),
               KeyError);
}

TEST_F(RealShapedTools, ComparisonsTakeRawBesideAScaledXAndSlashedCellTypes) {
  const std::string ct = testing::kSlashCelltype;
  auto means_from = [&](const std::vector<float>& e) {
    std::map<std::string, std::pair<double, size_t>> m;
    for (size_t i = 0; i < adata->n_obs(); ++i) {
      if (adata->obs.col("celltype_major").text_at(i) != ct) continue;
      auto& s = m[adata->obs.col("condition").text_at(i)];
      s.first += e[i];
      ++s.second;
    }
    return m;
  };
  const auto raw = means_from(adata->raw_gene_expression({"CD3E"})[0]);
  const auto x = means_from(adata->gene_expression({"CD3E"})[0]);
  for (bool use_raw : {true, false}) {
    json args = {{"target_genes", {"cd3e"}}, {"obs_filter", {{"celltypes", {ct}}}}};
    if (!use_raw) args["gene_cfg"] = {{"use_raw", false}};
    const json result = run("plot_violin_for_gene_expression_with_signif_difference", args);
    const Table t = Table::from_json(result.at("table_summaries").at("comparisons"));
    ASSERT_EQ(t.n_rows(), 1u);  // Normal against Tumor
    EXPECT_EQ(t.column("celltype")[0], ct);
    const auto& truth = use_raw ? raw : x;
    const auto& g1 = truth.at(t.column("group1")[0].get<std::string>());
    EXPECT_EQ(t.column("n1")[0].get<size_t>(), g1.second);
    EXPECT_NEAR(t.column("mean1")[0].get<double>(), g1.first / g1.second, 1e-5) << use_raw;
  }
  // raw is the default because X is scaled here: the two differ.
  EXPECT_GT(std::fabs(raw.begin()->second.first - x.begin()->second.first), 1e-3);

  for (const char* tool : {"plot_box_for_gene_expression_with_signif_difference",
                           "plot_box_for_celltype_population_with_signif_difference"}) {
    json result;
    ASSERT_NO_THROW(result = run(tool, {{"target_genes", {"CD3E"}}})) << tool;
    EXPECT_TRUE(result.contains("img_base64")) << tool;
    const Table t = Table::from_json(result.at("table_summaries").at("comparisons"));
    EXPECT_GT(t.n_rows(), 0u) << tool;
    EXPECT_EQ(t.column("n1")[0].get<size_t>(), 3u) << tool;  // three samples per condition
  }
  // No per-sample interactions in this file: said plainly.
  EXPECT_THROW(run("plot_box_for_cci_with_signif_difference", {{"target_genes", {"CD3E"}}}),
               KeyError);
}

}  // namespace
}  // namespace norvex
