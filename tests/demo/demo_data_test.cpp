// The generated dataset: the fields the assistant reads, the biology the tools will show,
// and results that agree with the expression they were computed from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "fixture.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/demo/catalog.hpp"
#include "norvex/demo/model.hpp"

namespace norvex::testing {
namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

std::set<std::string> pathway_genes(const AnnData& a, const std::string& name) {
  std::set<std::string> out;
  for (std::string g : a.uns.at("Pathways_DB").dict().at(name).array().strings) {
    while (!g.empty() && g.back() == '\n') g.pop_back();
    out.insert(g);
  }
  return out;
}

std::vector<bool> both(const std::vector<bool>& a, const std::vector<bool>& b) {
  std::vector<bool> out(a.size());
  for (size_t i = 0; i < a.size(); ++i) out[i] = a[i] && b[i];
  return out;
}

TEST(DemoData, CarriesEveryFieldTheDataContextReadsWithTheRightKinds) {
  const AnnData& a = small_demo();
  EXPECT_EQ(a.n_obs(), 1500u);
  EXPECT_EQ(a.n_vars(), 2000u);
  for (const char* name : {"sample", "condition", "celltype_major", "celltype_minor",
                           "celltype_subset", "ploidy_dec"}) {
    ASSERT_TRUE(a.obs.has(name)) << name;
    const Column& c = a.obs.col(name);
    EXPECT_TRUE(c.is_categorical()) << name;
    EXPECT_EQ(c.categories->kind, Array::Kind::String) << name;
  }
  EXPECT_EQ(a.obs.col("tumor_origin_ind").values.kind, Array::Kind::Bool);

  const UnsDict& usr = a.uns.at("usr_param").dict();
  EXPECT_EQ(usr.at("species").text(), "Human");
  EXPECT_EQ(usr.at("tissue").text(), "Lung");
  EXPECT_TRUE(usr.at("tumor_id").truthy());
  const UnsDict& params = a.uns.at("analysis_parameters").dict();
  const std::string level = params.at("CCI_DEG_BASE").text();
  const std::string ref = params.at("DEG_REF_GROUP").text();
  EXPECT_EQ(level, "celltype_minor");
  const auto conditions = a.obs.col("condition").unique_text();
  EXPECT_EQ(conditions, (std::vector<std::string>{"Normal", "Primary", "Metastasis"}));
  EXPECT_EQ(ref, "Normal");

  // Result mappings: keyed by the stated cell-type level, then by comparison.
  const auto celltypes = a.obs.col(level).unique_text();
  const std::vector<std::pair<std::string, std::vector<std::string>>> two_level = {
      {"DEG", {"names", "scores", "logfoldchanges", "pvals", "pvals_adj"}},
      {"DEG_vs_ref", {"names", "scores", "logfoldchanges", "pvals", "pvals_adj"}},
      {"GSEA",
       {"Name", "Term", "ES", "NES", "NOM p-val", "FDR q-val", "FWER p-val", "Tag %", "Gene %",
        "Lead_genes"}},
      {"GSEA_vs_ref",
       {"Name", "Term", "ES", "NES", "NOM p-val", "FDR q-val", "FWER p-val", "Tag %", "Gene %",
        "Lead_genes"}},
      {"GSA_up",
       {"Gene_set", "Term", "Overlap", "P-value", "Adjusted P-value", "Odds Ratio",
        "Combined Score", "Genes"}},
      {"GSA_vs_ref_up",
       {"Gene_set", "Term", "Overlap", "P-value", "Adjusted P-value", "Odds Ratio",
        "Combined Score", "Genes"}},
  };
  for (auto& [key, columns] : two_level) {
    const UnsDict& outer = a.uns.at(key).dict();
    ASSERT_GE(outer.size(), 8u) << key;
    for (auto& ct : outer.keys()) {
      EXPECT_NE(std::find(celltypes.begin(), celltypes.end(), ct), celltypes.end()) << ct;
      for (auto& cmp : outer.at(ct).dict().keys()) {
        const bool vs_ref = key.find("vs_ref") != std::string::npos;
        const std::string suffix = vs_ref ? "_vs_" + ref : "_vs_rest";
        ASSERT_GT(cmp.size(), suffix.size());
        EXPECT_EQ(cmp.substr(cmp.size() - suffix.size()), suffix) << key << " " << cmp;
        const std::string cond = cmp.substr(0, cmp.size() - suffix.size());
        EXPECT_NE(std::find(conditions.begin(), conditions.end(), cond), conditions.end());
        if (vs_ref) {
          EXPECT_NE(cond, ref);
        }
        EXPECT_EQ(outer.at(ct).dict().at(cmp).table().columns(), columns) << key;
      }
    }
  }
  // The first tables, which the data context shows, are not empty.
  const UnsNode& first_deg = a.uns.at("DEG").dict().at(a.uns.at("DEG").dict().keys()[0]);
  EXPECT_GT(first_deg.dict().at(first_deg.dict().keys()[0]).table().n_rows(), 100u);

  const std::vector<std::string> cci_columns = {"interacting_pair", "gene_a", "gene_b", "source",
                                                "target",           "mean",   "pvalue"};
  EXPECT_EQ(a.uns.at("CCI").dict().keys(), conditions);
  for (auto& k : a.uns.at("CCI").dict().keys())
    EXPECT_EQ(a.uns.at("CCI").dict().at(k).table().columns(), cci_columns);
  EXPECT_EQ(a.uns.at("CCI_sample").dict().keys(), a.obs.col("sample").unique_text());
  EXPECT_TRUE(a.has_obsm("X_umap"));
  EXPECT_EQ(a.obsm_shape("X_cnv")[0], 1500u);
}

TEST(DemoData, CellTypesFormAHierarchyAndTumourFlagsAgree) {
  const AnnData& a = small_demo();
  std::map<std::string, std::string> minor_to_major, subset_to_minor, sample_to_condition;
  std::map<std::string, std::set<std::string>> subsets_by_condition;
  size_t origin_cells = 0, epithelial_origin = 0;
  const Column& origin = a.obs.col("tumor_origin_ind");
  for (size_t i = 0; i < a.n_obs(); ++i) {
    const std::string major = a.obs.col("celltype_major").text_at(i);
    const std::string minor = a.obs.col("celltype_minor").text_at(i);
    const std::string subset = a.obs.col("celltype_subset").text_at(i);
    const std::string cond = a.obs.col("condition").text_at(i);
    // Each label has one parent; each sample belongs to one condition.
    EXPECT_EQ(minor_to_major.emplace(minor, major).first->second, major);
    EXPECT_EQ(subset_to_minor.emplace(subset, minor).first->second, minor);
    const std::string sample = a.obs.col("sample").text_at(i);
    EXPECT_EQ(sample_to_condition.emplace(sample, cond).first->second, cond);
    subsets_by_condition[cond].insert(subset);
    const bool tumour = origin.values.ints[i] == 1;
    EXPECT_EQ(a.obs.col("ploidy_dec").text_at(i), tumour ? "Aneuploid" : "Diploid");
    if (tumour) {
      EXPECT_NE(cond, "Normal");
      ++origin_cells;
      epithelial_origin += major == "Epithelial cell";
    }
    if (minor == "Malignant cell") {
      EXPECT_TRUE(tumour);
    }
  }
  EXPECT_GE(subset_to_minor.size(), 15u);
  EXPECT_GE(minor_to_major.size(), 10u);
  EXPECT_TRUE(minor_to_major.count("unassigned"));
  EXPECT_EQ(sample_to_condition.size(), 9u);
  EXPECT_FALSE(subsets_by_condition["Normal"].count("Proliferating malignant"));
  EXPECT_TRUE(subsets_by_condition["Primary"].count("Proliferating malignant"));
  EXPECT_GT(origin_cells, 50u);
  EXPECT_GT(epithelial_origin * 2, origin_cells);  // the tumour-origin type is epithelial

  // Aneuploid cells carry clear copy-number changes; diploid ones hover around zero.
  const DenseMatrix cnv = a.obsm("X_cnv");
  double tumour_dev = 0, normal_dev = 0, nt = 0, nn = 0;
  for (size_t i = 0; i < cnv.n_rows; ++i) {
    double dev = 0;
    for (size_t b = 0; b < cnv.n_cols; ++b) dev += std::fabs(cnv.at(i, b));
    (origin.values.ints[i] ? tumour_dev : normal_dev) += dev / cnv.n_cols;
    (origin.values.ints[i] ? nt : nn) += 1;
  }
  EXPECT_GT(tumour_dev / nt, 3 * normal_dev / nn);
}

TEST(DemoData, CanonicalMarkersAreExpressedInTheirCellType) {
  const AnnData& a = small_demo();
  const std::vector<std::tuple<std::string, std::string, std::string>> markers = {
      {"CD3E", "celltype_major", "T cell"},
      {"CD8A", "celltype_minor", "CD8 T cell"},
      {"CD4", "celltype_minor", "CD4 T cell"},
      {"MS4A1", "celltype_minor", "B cell"},
      {"CD79A", "celltype_major", "B cell"},
      {"LYZ", "celltype_major", "Myeloid cell"},
      {"CD68", "celltype_minor", "Macrophage"},
      {"NKG7", "celltype_major", "NK cell"},
      {"EPCAM", "celltype_major", "Epithelial cell"},
      {"KRT18", "celltype_major", "Epithelial cell"},
      {"COL1A1", "celltype_major", "Fibroblast"},
      {"PECAM1", "celltype_major", "Endothelial cell"},
      {"FOXP3", "celltype_subset", "Regulatory T"},
      {"PDCD1", "celltype_subset", "Exhausted CD8 T"},
      {"SPP1", "celltype_subset", "SPP1+ TAM"},
      {"SFTPC", "celltype_subset", "AT2 cell"},
  };
  for (auto& [gene, level, label] : markers) {
    std::vector<bool> in = cells_where(a, level, label), out(in.size());
    for (size_t i = 0; i < in.size(); ++i) out[i] = !in[i];
    const double m_in = mean_of(a, gene, in), m_out = mean_of(a, gene, out);
    EXPECT_GT(m_in, 1.0) << gene;
    EXPECT_GT(m_in, 3 * m_out) << gene << " in " << label;
  }
}

// The tables must describe the data they came from: the fold changes recomputed from X
// match, and the top-ranked genes are really higher in the first group.
TEST(DemoData, DegTablesAgreeWithTheExpression) {
  const AnnData& a = small_demo();
  const auto x = dense_x(a);
  const UnsDict& deg = a.uns.at("DEG_vs_ref").dict();
  size_t checked = 0;
  for (const std::string ct : {"Macrophage", "CD8 T cell", "Fibroblast"}) {
    ASSERT_TRUE(deg.contains(ct)) << ct;
    const auto in_ct = cells_where(a, "celltype_minor", ct);
    const auto normal = both(in_ct, cells_where(a, "condition", "Normal"));
    for (auto& cmp : deg.at(ct).dict().keys()) {
      const auto group = both(in_ct, cells_where(a, "condition", split(cmp, '_')[0]));
      const DataFrame& t = deg.at(ct).dict().at(cmp).table();
      for (size_t r = 0; r < 10; ++r) {
        const std::string gene = t.col("names").text_at(r);
        const size_t g =
            std::find(a.var.index().begin(), a.var.index().end(), gene) - a.var.index().begin();
        double s1 = 0, s2 = 0, n1 = 0, n2 = 0;
        for (size_t i = 0; i < a.n_obs(); ++i) {
          if (group[i]) s1 += x[i][g], n1 += 1;
          if (normal[i]) s2 += x[i][g], n2 += 1;
        }
        // Of the mean log expression, as the markers tool reports it.
        const double lfc = std::log2((std::expm1(s1 / n1) + 1e-9) / (std::expm1(s2 / n2) + 1e-9));
        EXPECT_NEAR(t.col("logfoldchanges").values.floats[r], lfc, 1e-3) << ct << cmp << gene;
        EXPECT_GT(t.col("scores").values.floats[r], 0);
        EXPECT_GT(lfc, 0) << gene;
        EXPECT_LE(t.col("pvals").values.floats[r], t.col("pvals_adj").values.floats[r]);
        ++checked;
      }
      // Sorted by score, best first.
      const auto& scores = t.col("scores").values.floats;
      EXPECT_TRUE(std::is_sorted(scores.rbegin(), scores.rend()));
    }
  }
  EXPECT_GT(checked, 40u);

  // The condition programmes come out on top where they were put.
  auto top_genes = [&](const std::string& key, const std::string& ct, const std::string& cmp) {
    const DataFrame& t = a.uns.at(key).dict().at(ct).dict().at(cmp).table();
    std::set<std::string> top;
    for (size_t r = 0; r < 25; ++r) top.insert(t.col("names").text_at(r));
    return top;
  };
  EXPECT_TRUE(top_genes("DEG_vs_ref", "Macrophage", "Primary_vs_Normal").count("SPP1"));
  EXPECT_TRUE(top_genes("DEG", "Malignant cell", "Metastasis_vs_rest").count("VIM"));
  EXPECT_TRUE(top_genes("DEG_vs_ref", "CD8 T cell", "Primary_vs_Normal").count("ISG15"));
}

TEST(DemoData, EnrichmentResultsAgreeWithDegTablesAndThePathwayDatabase) {
  const AnnData& a = small_demo();
  const UnsDict& db = a.uns.at("Pathways_DB").dict();
  ASSERT_GE(db.size(), 40u);
  size_t with_break = 0;
  std::set<std::string> var(a.var.index().begin(), a.var.index().end());
  for (auto& name : db.keys()) {
    for (const std::string& g : db.at(name).array().strings) {
      with_break += !g.empty() && g.back() == '\n';
      std::string clean = g;
      while (!clean.empty() && clean.back() == '\n') clean.pop_back();
      EXPECT_TRUE(var.count(clean)) << clean;
    }
  }
  EXPECT_GE(with_break, 3u);
  for (const char* expected :
       {"Cell cycle", "TGF-beta signaling pathway", "WNT signaling pathway",
        "Interferon alpha response", "Immune checkpoint", "Integrin cell surface interactions",
        "Hypoxia", "Epithelial-mesenchymal transition", "Antigen processing and presentation"})
    EXPECT_TRUE(db.contains(expected)) << expected;

  for (const char* key : {"GSEA", "GSEA_vs_ref"}) {
    const UnsDict& outer = a.uns.at(key).dict();
    for (auto& ct : outer.keys()) {
      for (auto& cmp : outer.at(ct).dict().keys()) {
        const DataFrame& t = outer.at(ct).dict().at(cmp).table();
        const auto& nes = t.col("NES").values.floats;
        EXPECT_TRUE(std::is_sorted(nes.rbegin(), nes.rend()));
        for (size_t r = 0; r < t.n_rows(); ++r) {
          const auto members = pathway_genes(a, t.col("Term").text_at(r));
          const auto lead = split(t.col("Lead_genes").text_at(r), ';');
          EXPECT_FALSE(lead.empty());
          for (auto& g : lead) EXPECT_TRUE(members.count(g)) << g;
          EXPECT_EQ(t.col("Tag %").text_at(r),
                    std::to_string(lead.size()) + "/" + split(t.col("Tag %").text_at(r), '/')[1]);
          // With finite permutations FDR and FWER may be 0, a nominal p-value never is.
          EXPECT_GT(t.col("NOM p-val").values.floats[r], 0.0);
          for (const char* p : {"NOM p-val", "FDR q-val", "FWER p-val"}) {
            EXPECT_GE(t.col(p).values.floats[r], 0.0);
            EXPECT_LE(t.col(p).values.floats[r], 1.0);
          }
        }
      }
    }
  }
  // Known biology is recovered: interferon up in tumour T cells, EMT in metastases.
  auto top_terms = [&](const std::string& key, const std::string& ct, const std::string& cmp) {
    const DataFrame& t = a.uns.at(key).dict().at(ct).dict().at(cmp).table();
    std::set<std::string> top;
    for (size_t r = 0; r < 3; ++r) top.insert(t.col("Term").text_at(r));
    return top;
  };
  EXPECT_TRUE(top_terms("GSEA_vs_ref", "CD8 T cell", "Primary_vs_Normal")
                  .count("Interferon alpha response"));
  EXPECT_TRUE(top_terms("GSEA", "Malignant cell", "Metastasis_vs_rest")
                  .count("Epithelial-mesenchymal transition"));

  // Over-representation: the overlap genes are significant up genes of the same comparison.
  for (auto [gsa_key, deg_key] : {std::pair{"GSA_up", "DEG"}, {"GSA_vs_ref_up", "DEG_vs_ref"}}) {
    const UnsDict& outer = a.uns.at(gsa_key).dict();
    for (auto& ct : outer.keys()) {
      for (auto& cmp : outer.at(ct).dict().keys()) {
        const DataFrame& t = outer.at(ct).dict().at(cmp).table();
        const DataFrame& d = a.uns.at(deg_key).dict().at(ct).dict().at(cmp).table();
        std::set<std::string> up;
        for (size_t r = 0; r < d.n_rows(); ++r)
          if (d.col("pvals_adj").values.floats[r] < 0.05 &&
              d.col("logfoldchanges").values.floats[r] > 0.25)
            up.insert(d.col("names").text_at(r));
        for (size_t r = 0; r < t.n_rows(); ++r) {
          const auto genes = split(t.col("Genes").text_at(r), ';');
          const auto members = pathway_genes(a, t.col("Term").text_at(r));
          EXPECT_EQ(t.col("Overlap").text_at(r),
                    std::to_string(genes.size()) + "/" + std::to_string(members.size()));
          for (auto& g : genes) {
            EXPECT_TRUE(members.count(g)) << g;
            EXPECT_TRUE(up.count(g)) << gsa_key << " " << ct << " " << cmp << " " << g;
          }
        }
      }
    }
  }
}

TEST(DemoData, InteractionsAreComputedFromLigandAndReceptorExpression) {
  const AnnData& a = small_demo();
  std::set<std::string> pairs;
  for (auto& lr : demo::ligand_receptor_pairs()) pairs.insert(lr.ligand + "_" + lr.receptor);
  const auto types = a.obs.col("celltype_minor").unique_text();
  bool checkpoint_seen = false;
  for (auto& cond : a.uns.at("CCI").dict().keys()) {
    const DataFrame& t = a.uns.at("CCI").dict().at(cond).table();
    ASSERT_GT(t.n_rows(), 50u);
    const auto in_cond = cells_where(a, "condition", cond);
    for (size_t r = 0; r < t.n_rows(); ++r) {
      const std::string pair = t.col("interacting_pair").text_at(r);
      EXPECT_TRUE(pairs.count(pair)) << pair;
      EXPECT_EQ(pair, t.col("gene_a").text_at(r) + "_" + t.col("gene_b").text_at(r));
      EXPECT_NE(std::find(types.begin(), types.end(), t.col("source").text_at(r)), types.end());
      const double p = t.col("pvalue").values.floats[r];
      EXPECT_TRUE(p >= 0 && p <= 1);
      if (pair == "CD274_PDCD1" && t.col("target").text_at(r) == "CD8 T cell") {
        checkpoint_seen = true;
        EXPECT_NE(cond, "Normal");
      }
    }
    // Every cell is in the statistics at this size, so a row's mean is reproducible.
    for (size_t r : {size_t{0}, t.n_rows() / 2}) {
      const auto src = both(in_cond, cells_where(a, "celltype_minor", t.col("source").text_at(r)));
      const auto dst = both(in_cond, cells_where(a, "celltype_minor", t.col("target").text_at(r)));
      const double expected = (mean_of(a, t.col("gene_a").text_at(r), src) +
                               mean_of(a, t.col("gene_b").text_at(r), dst)) /
                              2;
      EXPECT_NEAR(t.col("mean").values.floats[r], expected, 1e-4);
    }
  }
  EXPECT_TRUE(checkpoint_seen);
}

// Two full builds with one seed are compared in the file tests (streamed against in
// memory); here the cheaper model shows that the random seed alone decides.
TEST(DemoData, SameSeedSameCellsOtherSeedOtherCells) {
  const size_t genes = demo_min_genes() + 50;
  const demo::DemoModel a(2000, genes, 11), b(2000, genes, 11), c(2000, genes, 12);
  demo::CellRow ra, rb, rc;
  size_t differ = 0;
  for (size_t i : {size_t{0}, size_t{777}, size_t{1999}}) {
    a.cell_row(i, ra);
    b.cell_row(i, rb);
    c.cell_row(i, rc);
    EXPECT_EQ(ra.genes, rb.genes);
    EXPECT_EQ(ra.values, rb.values);
    differ += ra.genes != rc.genes || a.cell_subset(i) != c.cell_subset(i);
    double ua[2], ub[2];
    a.cell_umap(i, ua);
    b.cell_umap(i, ub);
    EXPECT_EQ(ua[0], ub[0]);
    // A cell can be generated alone, in any order: regenerating gives the same row.
    a.cell_row(i, rb);
    EXPECT_EQ(ra.values, rb.values);
  }
  EXPECT_EQ(differ, 3u);
  const auto names = small_demo().obs.index();
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
}

TEST(DemoData, GeneListsGrowWithRealThenGeneratedNamesAndRejectTooFew) {
  const auto genes = demo::gene_symbols(20000);
  EXPECT_EQ(std::set<std::string>(genes.begin(), genes.end()).size(), 20000u);
  EXPECT_EQ(genes[0], demo::required_genes()[0]);
  EXPECT_EQ(demo::gene_symbols(demo_min_genes()), demo::required_genes());
  DemoDataOptions o;
  o.n_genes = demo_min_genes() - 1;
  EXPECT_THROW(
      {
        try {
          make_demo_data(o);
        } catch (const ValueError& e) {
          EXPECT_NE(std::string(e.what()).find("genes"), std::string::npos);
          throw;
        }
      },
      ValueError);
  o = DemoDataOptions{};
  o.n_cells = 20;
  EXPECT_THROW(make_demo_data(o), ValueError);
}

}  // namespace
}  // namespace norvex::testing
