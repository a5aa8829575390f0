// The precomputed-result tools (GO/GSEA, interactions, CNV, Sankey) on the shapes upstream
// pipelines write, built in memory: column spellings, long tables, nested names, wide
// CellPhoneDB tables, CNV positions; and their figures and tables on the demo dataset.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <variant>

#include "norvex/analysis_tools/precomputed_results.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/demo/demo_data.hpp"
#include "norvex/plotting/plot.hpp"
#include "support/fixtures.hpp"
#include "support/tiny_dataset.hpp"

#include "tool_test_data.hpp"

namespace norvex {
namespace {

using Values = std::variant<std::vector<std::string>, std::vector<double>>;

DataFrame frame(const std::vector<std::pair<std::string, Values>>& cols) {
  DataFrame df;
  for (const auto& [name, v] : cols) {
    if (auto* t = std::get_if<std::vector<std::string>>(&v))
      df.set(name, Column(Array::of_strings(*t)));
    else
      df.set(name, Column(Array::of_floats(std::get<std::vector<double>>(v))));
  }
  return df;
}

UnsDict dict(std::vector<std::pair<std::string, UnsNode>> entries) {
  UnsDict d;
  for (auto& [k, v] : entries) d.set(k, std::move(v));
  return d;
}

json run(AnnData& a, const std::string& tool, json args) {
  return testing::run_tool_quietly(a, tool, std::move(args));
}

template <class E>
std::string error_of(AnnData& a, const std::string& tool, const json& args) {
  try {
    run(a, tool, args);
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "no error of the expected kind from " << tool << " " << args.dump();
  return "";
}

Table only_table(const json& summaries) {
  const json* v = &summaries;
  while (!Table::is_table(*v)) {
    EXPECT_EQ(v->size(), 1u) << v->dump().substr(0, 300);
    v = &v->begin().value();
  }
  return Table::from_json(*v);
}

void expect_pngs(const json& imgs, size_t n) {
  std::vector<std::string> list;
  if (imgs.is_string())
    list.push_back(imgs.get<std::string>());
  else
    for (auto& i : imgs) list.push_back(i.get<std::string>());
  ASSERT_EQ(list.size(), n);
  for (auto& b64 : list) {
    auto [w, h] = plotting::png_size(base64_decode(b64));
    EXPECT_GE(w, 400);
    EXPECT_GE(h, 300);
  }
}

// ---- GO / GSEA ----

DataFrame gsea_frame() {
  return frame({{"term_name", std::vector<std::string>{"HALLMARK_INTERFERON_GAMMA_RESPONSE",
                                                       "Oxidative phosphorylation", "Apoptosis",
                                                       "Not significant"}},
                {"nes", std::vector<double>{2.1, -1.7, 1.2, 0.3}},
                {"padj", std::vector<double>{0.001, 0.01, 0.04, 0.6}},
                {"leadingEdge",
                 std::vector<std::string>{"STAT1;IRF1;CXCL10", "NDUFA4;COX7C", "CASP3", "A;B"}}});
}

TEST(GseaGo, ReadsTheNestedPerComparisonFormWithOtherSpellings) {
  auto a = testing::tiny_dataset();
  // "CD4+/CD25 T Reg" as anndata stores it: nested groups.
  a->uns.set("GSEA",
             dict({{"CD4+", dict({{"CD25 T Reg", dict({{"Tumor_vs_rest", gsea_frame()}})}})}}));
  const json r = run(*a, "plot_gsea_go",
                     {{"compute_cfg", {{"gsa_key", "GSEA"}, {"celltype", "CD4+/CD25 T Reg"}}}});
  expect_pngs(r["img_base64"], 2);
  const Table t = Table::from_json(r["table_summaries"]["CD4+/CD25 T Reg"]["Tumor_vs_rest"]);
  // Significant terms only, drawn from the highest NES down; every stored column kept.
  ASSERT_EQ(t.n_rows(), 3u);
  EXPECT_EQ(t.column("term_name")[0], "HALLMARK_INTERFERON_GAMMA_RESPONSE");
  EXPECT_EQ(t.column("term_name")[1], "Apoptosis");
  EXPECT_EQ(t.column("term_name")[2], "Oxidative phosphorylation");
  EXPECT_EQ(t.columns(), (std::vector<std::string>{"term_name", "nes", "padj", "leadingEdge"}));
}

// The figures' texts of one run of the tool.
std::vector<plotting::TextBox> drawn_texts(AnnData& a, const std::string& tool, const json& args) {
  plotting::RenderScope scope;
  run(a, tool, args);
  std::vector<plotting::TextBox> out;
  for (const auto& f : scope.figures())
    out.insert(out.end(), f.text_boxes.begin(), f.text_boxes.end());
  return out;
}
bool has_text(const std::vector<plotting::TextBox>& texts, const std::string& needle) {
  for (const auto& t : texts)
    if (t.text.find(needle) != std::string::npos) return true;
  return false;
}

TEST(GseaGo, AZeroQIsABoundAndOnlyGeneOntologyTermsAreCalledGo) {
  auto a = testing::tiny_dataset();
  auto enrichment = [](std::vector<std::string> terms) {
    return frame({{"Term", std::move(terms)},
                  {"Adjusted P-value", std::vector<double>{0.0, 0.002}},
                  {"Overlap", std::vector<std::string>{"5/40", "3/20"}}});
  };
  a->uns.set(
      "GSA_up",
      dict({{"CD4 T", dict({{"Tumor_vs_rest", enrichment({"T cell receptor signaling pathway",
                                                          "Chemokine signaling pathway"})}})}}));
  auto texts = drawn_texts(*a, "plot_gsea_go", {{"compute_cfg", {{"gsa_key", "GSA_up"}}}});
  EXPECT_TRUE(has_text(texts, "Over-representation · uns['GSA_up']"));
  EXPECT_FALSE(has_text(texts, "GO over-representation"));
  EXPECT_TRUE(has_text(texts, "Adjusted P-value < 0.001"));
  for (const auto& t : texts) EXPECT_NE(t.text, "Adjusted P-value 0");

  a->uns.set("GSA_up",
             dict({{"CD4 T", dict({{"Tumor_vs_rest", enrichment({"immune response (GO:0006955)",
                                                                 "GOBP_T_CELL_ACTIVATION"})}})}}));
  texts = drawn_texts(*a, "plot_gsea_go", {{"compute_cfg", {{"gsa_key", "GSA_up"}}}});
  EXPECT_TRUE(has_text(texts, "GO over-representation · uns['GSA_up']"));

  // GSEA's q = 0 is below one over the number of permutations.
  DataFrame g = gsea_frame();
  g.set("padj", Column(Array::of_floats({0.0, 0.01, 0.04, 0.6})));
  a->uns.set("GSEA", dict({{"CD4 T", dict({{"Tumor_vs_rest", g}})}}));
  texts = drawn_texts(*a, "plot_gsea_go", {{"compute_cfg", {{"gsa_key", "GSEA"}}}});
  EXPECT_TRUE(has_text(texts, "padj < 1/permutations"));
  EXPECT_TRUE(has_text(texts, "GSEA · uns['GSEA']"));
}

TEST(GseaGo, ReadsOneLongTableWithCellTypeAndComparisonColumns) {
  auto a = testing::tiny_dataset();
  a->uns.set("GSA_up",
             frame({{"celltype_minor", std::vector<std::string>{"CD4 T", "CD4 T", "CD8 T"}},
                    {"comparison",
                     std::vector<std::string>{"Tumor_vs_rest", "Normal_vs_rest", "Tumor_vs_rest"}},
                    {"Description",
                     std::vector<std::string>{"T cell activation", "Translation", "Cytotoxicity"}},
                    {"p.adjust", std::vector<double>{0.001, 0.002, 0.003}},
                    {"Count", std::vector<double>{12, 8, 5}}}));
  const json r = run(*a, "plot_gsea_go",
                     {{"compute_cfg", {{"celltype", "CD4 T"}, {"comparison", "Normal_vs_rest"}}}});
  const Table t = Table::from_json(r["table_summaries"]["CD4 T"]["Normal_vs_rest"]);
  ASSERT_EQ(t.n_rows(), 1u);
  EXPECT_EQ(t.column("Description")[0], "Translation");
  const std::string bad =
      error_of<ValueError>(*a, "plot_gsea_go", {{"compute_cfg", {{"celltype", "NK"}}}});
  EXPECT_NE(bad.find("'NK'"), std::string::npos) << bad;
  EXPECT_NE(bad.find("CD4 T, CD8 T"), std::string::npos) << bad;
}

TEST(GseaGo, AnUnreadableTableNamesTheKeyAndItsColumns) {
  auto a = testing::tiny_dataset();
  a->uns.set(
      "GSA_up",
      dict({{"CD4 T", dict({{"Tumor_vs_rest", frame({{"what", std::vector<std::string>{"x"}},
                                                     {"padj", std::vector<double>{0.1}}})}})}}));
  const std::string e = error_of<ValueError>(*a, "plot_gsea_go", json::object());
  EXPECT_NE(e.find("uns['GSA_up']['CD4 T']['Tumor_vs_rest'] has no term column"), std::string::npos)
      << e;
  EXPECT_NE(e.find("columns: what, padj"), std::string::npos) << e;
  EXPECT_NE(error_of<KeyError>(*a, "plot_gsea_go", {{"compute_cfg", {{"gsa_key", "GSEA"}}}})
                .find("GSA_up"),
            std::string::npos);
}

TEST(GseaGo, UnknownTermsAreNamedAndAnEmptySelectionDrawsAMessage) {
  auto a = testing::tiny_dataset();
  a->uns.set("GSEA", dict({{"CD4 T", dict({{"Tumor_vs_rest", gsea_frame()}})}}));
  const std::string e = error_of<ValueError>(
      *a, "plot_gsea_go",
      {{"compute_cfg", {{"gsa_key", "GSEA"}, {"terms", {"Apoptosis", "Glycolysis"}}}}});
  EXPECT_NE(e.find("'Glycolysis'"), std::string::npos) << e;
  EXPECT_NE(e.find("Apoptosis"), std::string::npos) << e;
  const json r =
      run(*a, "plot_gsea_go", {{"compute_cfg", {{"gsa_key", "GSEA"}, {"pval_cutoff", 1e-6}}}});
  expect_pngs(r["img_base64"], 2);
  EXPECT_EQ(only_table(r["table_summaries"]).n_rows(), 0u);
}

// ---- cell-cell interactions ----

std::shared_ptr<AnnData> with_cci_long() {
  auto a = testing::tiny_dataset();
  auto table = [](double shift) {
    return frame({{"sender", std::vector<std::string>{"CD4 T", "CD4 T", "Macrophage", "CD8 T"}},
                  {"receiver", std::vector<std::string>{"Macrophage", "CD8 T", "CD4 T", "CD4 T"}},
                  {"ligand", std::vector<std::string>{"SPP1", "VCAM1", "CXCL12", "CD40LG"}},
                  {"receptor", std::vector<std::string>{"CD44", "ITGA4", "CXCR4", "CD40"}},
                  {"lr_means", std::vector<double>{1.5 + shift, 0.8 + shift, 0.4, 2.2}},
                  {"pval", std::vector<double>{0.001, 0.01, 0.5, 0.02}}});
  };
  a->uns.set("CCI", dict({{"Normal", table(0)}, {"Tumor", table(0.5)}}));
  return a;
}

TEST(CciDots, ReadsOtherSpellingsAndKeepsOnlySignificantPairsInTheTable) {
  auto a = with_cci_long();
  const json r = run(*a, "plot_cci_dots", {{"compute_cfg", {{"condition", "Tumor"}}}});
  expect_pngs(r["img_base64"], 1);
  const Table t = Table::from_json(r["table_summaries"]["Tumor"]);
  // Three significant pairs, strongest first; the fourth (p = 0.5) is left out.
  ASSERT_EQ(t.n_rows(), 3u);
  EXPECT_EQ(t.column("interacting_pair")[0], "CD40LG_CD40");
  EXPECT_EQ(t.column("interacting_pair")[1], "SPP1_CD44");
  EXPECT_EQ(t.column("interacting_pair")[2], "VCAM1_ITGA4");
  EXPECT_DOUBLE_EQ(t.column("lr_means")[0].get<double>(), 2.2);
  EXPECT_DOUBLE_EQ(t.column("lr_means")[1].get<double>(), 2.0);
  EXPECT_DOUBLE_EQ(t.column("pval")[2].get<double>(), 0.01);
}

TEST(CciDots, TargetGenesRestrictThePairsAndConditionsSitSideBySide) {
  auto a = with_cci_long();
  const json r = run(*a, "plot_cci_dots",
                     {{"target_genes", {"ITGA4", "ITGB1"}},
                      {"compute_cfg", {{"conditions", {"Normal", "Tumor"}}}}});
  ASSERT_TRUE(r["table_summaries"].contains("Normal"));
  ASSERT_TRUE(r["table_summaries"].contains("Tumor"));
  for (const char* c : {"Normal", "Tumor"}) {
    const Table t = Table::from_json(r["table_summaries"][c]);
    ASSERT_EQ(t.n_rows(), 1u) << c;
    EXPECT_EQ(t.column("receptor")[0], "ITGA4");
  }
  const std::string e = error_of<ValueError>(*a, "plot_cci_dots", {{"target_genes", {"ITGB8"}}});
  EXPECT_NE(e.find("ITGB8"), std::string::npos) << e;
  const std::string c =
      error_of<ValueError>(*a, "plot_cci_dots", {{"compute_cfg", {{"condition", "Relapse"}}}});
  EXPECT_NE(c.find("'Relapse'"), std::string::npos) << c;
  EXPECT_NE(c.find("Normal, Tumor"), std::string::npos) << c;
  const std::string s = error_of<ValueError>(
      *a, "plot_cci_dots", {{"compute_cfg", {{"source_celltypes", {"Platelet"}}}}});
  EXPECT_NE(s.find("'Platelet'"), std::string::npos) << s;
}

TEST(CciDots, EveryChosenPairKeepsADotWhenColumnsAreCapped) {
  // One pair strong between 30 source types, another significant only between a 31st: the
  // grid shows at most 24 columns, but never at the cost of a chosen pair.
  auto a = testing::tiny_dataset();
  std::vector<std::string> src, dst, lig, rec;
  std::vector<double> score, p;
  for (int i = 0; i < 30; ++i) {
    src.push_back("S" + std::to_string(i));
    dst.push_back("T");
    lig.push_back("A");
    rec.push_back("B");
    score.push_back(5.0);
    p.push_back(0.001);
  }
  src.push_back("X");
  dst.push_back("T");
  lig.push_back("C");
  rec.push_back("D");
  score.push_back(1.0);
  p.push_back(0.01);
  a->uns.set("CCI", dict({{"Tumor", frame({{"source", src},
                                           {"target", dst},
                                           {"gene_a", lig},
                                           {"gene_b", rec},
                                           {"mean", score},
                                           {"pvalue", p}})}}));
  const Table t = only_table(run(*a, "plot_cci_dots", json::object())["table_summaries"]);
  std::set<std::string> pairs, columns;
  for (size_t i = 0; i < t.n_rows(); ++i) {
    pairs.insert(t.column("interacting_pair")[i].get<std::string>());
    columns.insert(t.column("source")[i].get<std::string>());
  }
  EXPECT_EQ(pairs, (std::set<std::string>{"A_B", "C_D"}));
  EXPECT_EQ(columns.size(), 24u);
  EXPECT_TRUE(columns.count("X"));
}

TEST(CciDots, ReadsCellPhoneDbWideTables) {
  auto a = testing::tiny_dataset();
  DataFrame means = frame({{"interacting_pair", std::vector<std::string>{"SPP1_CD44", "A_B"}},
                           {"CD4 T|Macrophage", std::vector<double>{1.2, 0.1}},
                           {"Macrophage|CD4 T", std::vector<double>{0.3, 0.9}}});
  DataFrame pvals = frame({{"interacting_pair", std::vector<std::string>{"SPP1_CD44", "A_B"}},
                           {"CD4 T|Macrophage", std::vector<double>{0.0, 0.9}},
                           {"Macrophage|CD4 T", std::vector<double>{0.6, 0.01}}});
  a->uns.set("CCI", dict({{"Tumor", dict({{"means", means}, {"pvalues", pvals}})}}));
  const Table t = only_table(run(*a, "plot_cci_dots", json::object())["table_summaries"]);
  // Every dot drawn is a row; the significant ones are the two with small p-values.
  ASSERT_EQ(t.n_rows(), 4u);
  std::set<std::string> seen;
  for (size_t i = 0; i < t.n_rows(); ++i)
    if (t.column("significant")[i] == true)
      seen.insert(t.column("interacting_pair")[i].get<std::string>() + "@" +
                  t.column("source")[i].get<std::string>() + ">" +
                  t.column("target")[i].get<std::string>());
  EXPECT_TRUE(seen.count("SPP1_CD44@CD4 T>Macrophage"));
  EXPECT_TRUE(seen.count("A_B@Macrophage>CD4 T"));
  EXPECT_EQ(seen.size(), 2u);
}

TEST(CciDots, WideTablesTakeTheGeneColumnsOverThePairsName) {
  // CellPhoneDB names a pair by its partners (an alias or a complex), and gives the genes
  // beside it when they are single genes; a complex has none.
  auto a = testing::tiny_dataset();
  Column gene_a = Column::categorical({"CD274", "CD274"});
  Column gene_b = Column::categorical({"PDCD1", "PDCD1"});
  gene_a.values.ints.set(1, -1);
  gene_b.values.ints.set(1, -1);
  DataFrame means =
      frame({{"interacting_pair", std::vector<std::string>{"PDL1_PDCD1", "FN1_integrin_complex"}},
             {"Macrophage|CD4 T", std::vector<double>{0.3, 0.9}}});
  means.set("gene_a", gene_a);
  means.set("gene_b", gene_b);
  a->uns.set("CCI", dict({{"Tumor", dict({{"means", means}})}}));
  const detail::InteractionResult r = detail::read_interactions(*a, "CCI", "Tumor");
  EXPECT_EQ(r.ligand, (std::vector<std::string>{"CD274", "FN1"}));
  EXPECT_EQ(r.receptor, (std::vector<std::string>{"PDCD1", "integrin_complex"}));
}

TEST(CciDots, AnUnreadableTableAndAnEmptySelection) {
  auto a = testing::tiny_dataset();
  a->uns.set("CCI", dict({{"Tumor", frame({{"pair", std::vector<std::string>{"A_B"}},
                                           {"score", std::vector<double>{1}}})}}));
  const std::string e = error_of<ValueError>(*a, "plot_cci_dots", json::object());
  EXPECT_NE(e.find("uns['CCI']['Tumor'] has no source cell type column (columns: pair, score"),
            std::string::npos)
      << e;
  auto b = with_cci_long();
  const json r = run(*b, "plot_cci_dots", {{"compute_cfg", {{"pval_cutoff", 1e-9}}}});
  expect_pngs(r["img_base64"], 1);
  EXPECT_EQ(only_table(r["table_summaries"]).n_rows(), 0u);
}

// ---- CNV ----

// 40 cells, 12 bins on three chromosomes; T cells gain chr2 (+1), the others are flat.
std::shared_ptr<AnnData> with_cnv(bool positions = true) {
  auto a = std::make_shared<AnnData>();
  std::vector<std::string> names, major, cond;
  DenseMatrix m;
  m.n_rows = 40;
  m.n_cols = 12;
  for (size_t i = 0; i < 40; ++i) {
    names.push_back("c" + std::to_string(i));
    major.push_back(i < 30 ? "T cells" : "B cells");
    cond.push_back(i % 2 ? "Tumor" : "Normal");
    for (size_t b = 0; b < 12; ++b) m.values.push_back(i < 30 && b >= 5 && b < 9 ? 1.0 : 0.0);
  }
  a->obs.set_index(names);
  a->obs.set("celltype_major", Column::categorical(major));
  a->obs.set("condition", Column::categorical(cond));
  a->set_obsm("X_cnv", m);
  if (positions) {
    UnsDict pos;
    pos.set("chr2", Array::scalar(json(5)));
    pos.set("chr1", Array::scalar(json(0)));
    pos.set("chr3", Array::scalar(json(9)));
    a->uns.set("cnv", dict({{"chr_pos", std::move(pos)}}));
  }
  return a;
}

TEST(CnvHeatmap, GroupsCellsAndSummarisesEachGroup) {
  auto a = with_cnv();
  const json r = run(*a, "plot_cnv_heatmap", {{"compute_cfg", {{"split_by", "condition"}}}});
  expect_pngs(r["img_base64"], 1);
  const Table t = only_table(r["table_summaries"]);
  ASSERT_EQ(t.n_rows(), 4u);
  std::map<std::string, std::pair<long long, double>> by;
  for (size_t i = 0; i < 4; ++i)
    by[t.column("celltype_major")[i].get<std::string>() + "/" +
       t.column("condition")[i].get<std::string>()] = {t.column("n_cells")[i].get<long long>(),
                                                       t.column("mean_abs_cnv")[i].get<double>()};
  EXPECT_EQ(by["T cells/Tumor"].first, 15);
  EXPECT_EQ(by["B cells/Normal"].first, 5);
  EXPECT_NEAR(by["T cells/Normal"].second, 4.0 / 12, 1e-12);
  EXPECT_NEAR(by["B cells/Tumor"].second, 0.0, 1e-12);
  // Gains are drawn red: the chr2 block of T cells.
  const std::string png = base64_decode(r["img_base64"].get<std::string>());
  EXPECT_GT(testing::count_pixels(png, 153, 5, 28), 2000u);
}

TEST(CnvHeatmap, MissingPositionsAndBadValuesAreNamed) {
  auto a = with_cnv(false);
  a->uns.set("cnv", dict({{"genes", Array::of_strings({"A"})}}));
  const std::string e = error_of<ValueError>(*a, "plot_cnv_heatmap", json::object());
  EXPECT_NE(e.find("uns['cnv'] holds no chromosome positions"), std::string::npos) << e;
  EXPECT_NE(e.find("found genes"), std::string::npos) << e;
  auto b = with_cnv();
  const std::string g = error_of<ValueError>(*b, "plot_cnv_heatmap",
                                             {{"compute_cfg", {{"celltypes", {"NK cells"}}}}});
  EXPECT_NE(g.find("'NK cells'"), std::string::npos) << g;
  EXPECT_NE(error_of<KeyError>(*b, "plot_cnv_heatmap", {{"data_keys", {{"obsm_key", "X_cnv2"}}}})
                .find("X_cnv"),
            std::string::npos);
}

TEST(CnvHeatmap, WithoutPositionsTheBinsAreDrawnInStoredOrderAndThatIsSaid) {
  auto a = with_cnv(false);
  const json r = run(*a, "plot_cnv_heatmap", json::object());
  expect_pngs(r["img_base64"], 1);
  EXPECT_EQ(r["warnings"], json::array({"uns['cnv'] not found: CNV bins are drawn in stored "
                                        "order, without chromosome labels"}));
  // The same gains, where they are stored: the figure is the one with positions, less the
  // chromosome labels and boundaries.
  const std::string png = base64_decode(r["img_base64"].get<std::string>());
  EXPECT_GT(testing::count_pixels(png, 153, 5, 28), 2000u);
  auto b = with_cnv();
  EXPECT_EQ(run(*b, "plot_cnv_heatmap", json::object())["warnings"], json::array());
  EXPECT_NE(run(*b, "plot_cnv_heatmap", json::object())["img_base64"], r["img_base64"]);
}

TEST(CnvHeatmap, ChromosomeColumnsStayOnTheHeatmap) {
  using detail::ChromosomeSpan;
  // 12 bins in 6 columns: two bins a column.
  auto cols = detail::chromosome_columns({{"chr1", 0, 5}, {"chr2", 5, 9}, {"chr3", 9, 12}}, 12, 6);
  ASSERT_EQ(cols.size(), 3u);
  EXPECT_EQ(cols[0].first_col, 0u);
  EXPECT_EQ(cols[0].end_col, 2u);
  EXPECT_EQ(cols[1].first_col, 2u);
  EXPECT_EQ(cols[2].end_col, 6u);
  // A stored start past the last bin (a damaged or mismatched layout): the chromosome before
  // it ends at the heatmap's edge, never beyond, and the stray one sits on the last column.
  cols = detail::chromosome_columns({{"chr1", 0, 15}, {"chrX", 15, 12}}, 12, 6);
  EXPECT_EQ(cols[0].end_col, 6u);
  EXPECT_EQ(cols[1].first_col, 5u);
  EXPECT_EQ(cols[1].end_col, 6u);
}

// ---- DEG ranking on unsigned scores ----

// Up and down genes with unsigned scores (U statistics) whose order disagrees with their
// adjusted p-values: the strongest of each direction are the smallest p-values.
TEST(DegRanking, UnsignedScoresRankEachDirectionByAdjustedP) {
  auto a = testing::tiny_dataset();
  a->uns.set(
      "DEG",
      dict({{"T cells",
             UnsNode(dict(
                 {{"Tumor_vs_rest",
                   UnsNode(frame(
                       {{"names", std::vector<std::string>{"U1", "U2", "U3", "D1", "D2", "D3"}},
                        {"scores", std::vector<double>{90, 50, 70, 95, 40, 60}},
                        {"logfoldchanges", std::vector<double>{1, 2, 1.5, -1, -2, -1.5}},
                        {"pvals", std::vector<double>{1e-3, 1e-9, 1e-6, 1e-2, 1e-10, 1e-5}},
                        {"pvals_adj",
                         std::vector<double>{2e-3, 2e-9, 2e-6, 2e-2, 2e-10, 2e-5}}}))}}))}}));
  const json r =
      run(*a, "plot_degs_gene_ranking", {{"compute_cfg", {{"celltype", "T cells"}, {"n_top", 2}}}});
  const Table t = only_table(r["table_summaries"]);
  std::vector<std::string> names;
  for (const auto& n : t.column("names")) names.push_back(n.get<std::string>());
  // Up: U2, U3 (not U1, the highest score); down: D2, D3 (not D1), each strongest first.
  EXPECT_EQ(names, (std::vector<std::string>{"U2", "U3", "D2", "D3"}));
  // Signed scores keep ranking by the score itself.
  a->uns.at("DEG")
      .dict()
      .at("T cells")
      .dict()
      .at("Tumor_vs_rest")
      .table()
      .set("scores", Column(Array::of_floats({90, 50, 70, -95, -40, -60})));
  const Table s = only_table(
      run(*a, "plot_degs_gene_ranking",
          {{"compute_cfg", {{"celltype", "T cells"}, {"n_top", 2}}}})["table_summaries"]);
  names.clear();
  for (const auto& n : s.column("names")) names.push_back(n.get<std::string>());
  EXPECT_EQ(names, (std::vector<std::string>{"U1", "U3", "D3", "D1"}));
}

// ---- Sankey ----

TEST(Sankey, FlowsMatchARecountAndThePageIsSelfContained) {
  DemoDataOptions o;
  o.n_cells = 600;
  o.n_genes = std::max<size_t>(demo_min_genes(), 400);
  o.seed = 11;
  auto a = make_demo_data(o);
  const json r = run(*a, "plot_sankey", {{"levels", {"condition", "celltype_major"}}});
  expect_pngs(r["img_base64"], 1);
  const Table t = only_table(r["table_summaries"]);
  std::map<std::pair<std::string, std::string>, long long> recount;
  for (size_t i = 0; i < a->n_obs(); ++i)
    ++recount[{a->obs.col("condition").text_at(i), a->obs.col("celltype_major").text_at(i)}];
  ASSERT_EQ(t.n_rows(), recount.size());
  for (size_t i = 0; i < t.n_rows(); ++i)
    EXPECT_EQ(
        t.column("n_cells")[i].get<long long>(),
        (recount[{t.column("from")[i].get<std::string>(), t.column("to")[i].get<std::string>()}]));
  const std::string html = base64_decode(r["html_base64"].get<std::string>());
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("https:"), std::string::npos);
  EXPECT_EQ(html.find("<link"), std::string::npos);
  EXPECT_NE(html.find("<script>"), std::string::npos);
  const std::string e =
      error_of<KeyError>(*a, "plot_sankey", {{"levels", {"condition", "celltype_tiny"}}});
  EXPECT_NE(e.find("celltype_tiny"), std::string::npos) << e;
}

TEST(Sankey, AColourMeansOneThingAcrossTheColumns) {
  DemoDataOptions o;
  o.n_cells = 600;
  o.n_genes = std::max<size_t>(demo_min_genes(), 400);
  o.seed = 11;
  auto a = make_demo_data(o);
  // Conditions and cell types both start at category 0: by position alone they would share
  // colours. A label met in two columns keeps one colour.
  const json r =
      run(*a, "plot_sankey", {{"levels", {"condition", "celltype_major", "celltype_major"}}});
  const std::string html = base64_decode(r["html_base64"].get<std::string>());
  const std::string open = "id=\"sankey-data\">";
  const size_t at = html.find(open), end = html.find("</script>", at);
  ASSERT_NE(at, std::string::npos);
  const json data = json::parse(html.substr(at + open.size(), end - at - open.size()));
  std::map<std::string, std::string> colour_of_label;
  std::map<std::string, std::string> label_of_colour;
  for (const json& n : data["nodes"]) {
    const std::string label = n["label"], colour = n["color"];
    auto [c, fresh] = colour_of_label.emplace(label, colour);
    EXPECT_EQ(c->second, colour) << label << " changes colour between columns";
    auto [l, new_colour] = label_of_colour.emplace(colour, label);
    EXPECT_EQ(l->second, label) << colour << " means both " << l->second << " and " << label;
  }
  EXPECT_GE(colour_of_label.size(), 4u);
}

}  // namespace
}  // namespace norvex
