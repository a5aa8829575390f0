#include "norvex/dataset/data_context.hpp"

#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"

namespace norvex {
namespace {

DataFrame table_with_columns(const std::vector<std::string>& cols) {
  DataFrame t;
  t.set_index({"0", "1"});
  for (auto& c : cols) t.set(c, Column{Array::of_floats({1.0, 2.0})});
  return t;
}

UnsDict dict_of(std::vector<std::pair<std::string, UnsNode>> items) {
  UnsDict d;
  for (auto& [k, v] : items) d.set(k, std::move(v));
  return d;
}

// A small tumour study: 8 cells, two conditions plus the reference.
std::shared_ptr<AnnData> tumour_dataset() {
  auto ad = std::make_shared<AnnData>();
  ad->obs.set_index({"c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7"});
  ad->obs.set("condition", Column::categorical({"Tumor_A", "Normal", "Tumor_A", "Tumor_B", "Normal",
                                                "Tumor_B", "Tumor_A", "Tumor_B"}));
  ad->obs.set("celltype_major",
              Column::categorical({"Epithelial", "T cells", "Epithelial", "unassigned", "T cells",
                                   "Epithelial", "Myeloid", "unassigned"}));
  ad->obs.set("celltype_minor",
              Column::categorical({"Tumor epi", "CD8 T", "Tumor epi", "unassigned", "CD4 T",
                                   "Tumor epi", "Macrophage", "unassigned"}));
  ad->obs.set("celltype_subset",
              Column::categorical({"Tumor epi", "Exhausted CD8 T", "Tumor epi", "unassigned",
                                   "Naive CD4 T", "Tumor epi", "TAM", "unassigned"}));
  ad->obs.set("tumor_origin_ind",
              Column{Array::of_bools({true, false, true, true, false, true, false, true})});
  ad->obs.set("ploidy_dec", Column::categorical({"Aneuploid", "Diploid", "Aneuploid", "Aneuploid",
                                                 "Diploid", "Aneuploid", "Diploid", "Aneuploid"}));
  ad->var.set_index({"CD3E", "EPCAM", "LYZ"});
  ad->var.set("gene_ids", Column{Array::of_strings({"ENSG1", "ENSG2", "ENSG3"})});
  ad->uns.set("usr_param", dict_of({{"species", Array::scalar("Homo sapiens")},
                                    {"tissue", Array::scalar("lung")},
                                    {"tumor_id", Array::scalar("LUAD")}}));
  ad->uns.set("analysis_parameters", dict_of({{"CCI_DEG_BASE", Array::scalar("celltype_minor")},
                                              {"DEG_REF_GROUP", Array::scalar("Normal")}}));
  return ad;
}

void add_results(AnnData& ad) {
  ad.uns.set("CCI", dict_of({{"Tumor_A", table_with_columns({"interacting_pair", "pvalue"})},
                             {"Normal", table_with_columns({"other"})}}));
  ad.uns.set("CCI_sample", dict_of({{"S1", table_with_columns({"interacting_pair"})}}));
  ad.uns.set(
      "DEG",
      dict_of({{"CD8 T", dict_of({{"Tumor_A_vs_rest", table_with_columns({"names", "pvals"})}})},
               {"CD4 T", dict_of({{"x", table_with_columns({"ignored"})}})}}));
  ad.uns.set("DEG_vs_ref", dict_of({}));
  ad.uns.set(
      "GSEA",
      dict_of({{"CD8 T", dict_of({{"Tumor_A_vs_rest", table_with_columns({"Term", "NES"})}})}}));
  ad.uns.set("GSA_up",
             dict_of({{"CD8 T",
                       dict_of({{"Tumor_A_vs_rest", table_with_columns({"Term", "P-value"})}})}}));
  ad.uns.set("GSA_vs_ref_up", dict_of({}));
}

TEST(DataContext, FullTumourDatasetMatchesTextForText) {
  auto ad = tumour_dataset();
  add_results(*ad);
  const std::string expected =
      "\n\n[DATA CONTEXT]\nAn AnnData (obtained from single-cell RNA-seq data) is given: \n"
      "AnnData: 8 cells × 3 genes"
      "\n - obs columns: condition, celltype_major, celltype_minor, celltype_subset, "
      "tumor_origin_ind, ploidy_dec"
      "\n - var columns: gene_ids"
      "\n - species: Homo sapiens"
      "\n - tissue: lung"
      "\n - conditions: Tumor_A, Normal, Tumor_B"
      "\n - celltype_major: Epithelial, T cells, unassigned, Myeloid"
      "\n - celltype_minor: Tumor epi, CD8 T, unassigned, CD4 T, Macrophage"
      "\n - celltype_subset: Tumor epi, Exhausted CD8 T, unassigned, Naive CD4 T, TAM"
      "\n - Tumor origin celltype: Epithelial"
      "\n - ploidy_dec: Aneuploid, Diploid "
      "\n - Reference condition for DEG_vs_ref, GSEA_vs_ref, and GSA_vs_ref_up: Normal"
      "\n - CCI DataFrame columns: interacting_pair, pvalue"
      "\n - DEG DataFrame columns: names, pvals"
      "\n - GSEA DataFrame columns: Term, NES"
      "\n - GSA DataFrame columns: Term, P-value"
      "\n\nPrecomputed results include .. "
      "\n - uns['CCI']: Cell-cell interaction (CellPhoneDB) results per condition."
      "\n - uns['CCI_sample']: Cell-cell interaction (CellPhoneDB) results per sample."
      "\n - uns['DEG']: DEG results for each celltype_minor comparing one condition versus the "
      "rest."
      "\n - uns['DEG_vs_ref']: DEG results for each celltype_minor comparing one condition versus "
      "the reference condition."
      "\n - uns['GSEA']: GSEA results for each celltype_minor comparing one condition versus the "
      "rest."
      "\n - uns['GSA_up']: GO(GSA) results for each celltype_minor comparing one condition versus "
      "the rest."
      "\n - uns['GSA_vs_ref_up']: GO(GSA) results for each celltype_minor comparing one condition "
      "versus the reference condition."
      "\n - obs['ploidy_dec']: Ploidy inference label (Aneuploid/Diploid)."
      "\n - obsm['X_cnv']: CNV estimates.";
  EXPECT_EQ(get_data_context(*ad), expected);
  EXPECT_EQ(find_tumor_origin_celltype(*ad), std::optional<std::string>("Epithelial"));
}

TEST(DataContext, NoTumourAndNoResults) {
  auto ad = tumour_dataset();
  ad->uns.at("usr_param").dict().set("tumor_id", Array::scalar(false));
  ad->uns.at("analysis_parameters").dict().set("DEG_REF_GROUP", Array::scalar("Healthy"));
  ad->uns.set("DEG_vs_ref", UnsDict{});
  const std::string d = get_data_description_str(*ad);
  EXPECT_EQ(d.find("Tumor origin"), std::string::npos);
  EXPECT_EQ(d.find("ploidy_dec: Aneuploid"), std::string::npos);
  EXPECT_EQ(d.find("obs['ploidy_dec']"), std::string::npos);
  EXPECT_EQ(d.find("X_cnv"), std::string::npos);
  // A reference condition that is not a condition leaves out its line, not the results.
  EXPECT_EQ(d.find("Reference condition"), std::string::npos);
  const std::string tail =
      "\n\nPrecomputed results include .. \n - uns['DEG_vs_ref']: DEG results for each "
      "celltype_minor comparing one condition versus the reference condition.";
  ASSERT_GE(d.size(), tail.size());
  EXPECT_EQ(d.substr(d.size() - tail.size()), tail);
  EXPECT_EQ(find_tumor_origin_celltype(*ad), std::nullopt);

  ad->uns.erase("DEG_vs_ref");
  EXPECT_TRUE(get_data_description_str(*ad).ends_with("\n\nPrecomputed results include .. "));
}

TEST(DataContext, UnassignedMostFrequentTumourLabel) {
  auto ad = tumour_dataset();
  // Tumour-origin cells: unassigned x3, Epithelial x1, Myeloid x2.
  ad->obs.set("celltype_major",
              Column::categorical({"unassigned", "T cells", "unassigned", "Myeloid", "T cells",
                                   "unassigned", "Myeloid", "Epithelial"}));
  ad->obs.set("tumor_origin_ind",
              Column{Array::of_bools({true, false, true, true, false, true, true, true})});
  EXPECT_EQ(find_tumor_origin_celltype(*ad), std::optional<std::string>("unassigned, Myeloid"));
  EXPECT_NE(get_data_description_str(*ad).find("\n - Tumor origin celltype: unassigned, Myeloid\n"),
            std::string::npos);

  // Only unassigned, or no tumour-origin cells at all: "unassigned" alone.
  ad->obs.set("tumor_origin_ind",
              Column{Array::of_bools({true, false, false, false, false, false, false, false})});
  EXPECT_EQ(find_tumor_origin_celltype(*ad), std::optional<std::string>("unassigned"));
  ad->obs.set("tumor_origin_ind", Column{Array::of_bools(std::vector<bool>(8, false))});
  EXPECT_EQ(find_tumor_origin_celltype(*ad), std::optional<std::string>("unassigned"));
}

TEST(DataContext, MissingRequiredFieldsAreNamed) {
  auto expect_error_naming = [](const AnnData& ad, const std::string& name) {
    try {
      get_data_context(ad);
      ADD_FAILURE() << "expected an error naming " << name;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  };
  for (const char* col :
       {"condition", "celltype_major", "celltype_minor", "celltype_subset", "tumor_origin_ind"}) {
    auto ad = tumour_dataset();
    ad->obs.erase(col);
    expect_error_naming(*ad, col);
  }
  for (const char* key : {"species", "tissue", "tumor_id"}) {
    auto ad = tumour_dataset();
    ad->uns.at("usr_param").dict().erase(key);
    expect_error_naming(*ad, key);
  }
  for (const char* key : {"CCI_DEG_BASE", "DEG_REF_GROUP"}) {
    auto ad = tumour_dataset();
    ad->uns.at("analysis_parameters").dict().erase(key);
    expect_error_naming(*ad, key);
  }
  for (const char* key : {"usr_param", "analysis_parameters"}) {
    auto ad = tumour_dataset();
    ad->uns.erase(key);
    expect_error_naming(*ad, key);
  }
  auto ad = tumour_dataset();
  ad->uns.at("usr_param").dict().set("species", Array::scalar(9606));
  EXPECT_THROW(get_data_context(*ad), TypeError);
}

TEST(DataContext, EmptyResultMappingLeavesOutItsColumnLine) {
  auto ad = tumour_dataset();
  ad->uns.set("CCI", UnsDict{});
  ad->uns.set("DEG", dict_of({{"CD8 T", UnsDict{}}}));
  const std::string d = get_data_description_str(*ad);
  EXPECT_EQ(d.find("CCI DataFrame columns"), std::string::npos);
  EXPECT_EQ(d.find("DEG DataFrame columns"), std::string::npos);
  EXPECT_NE(d.find("\n - uns['CCI']: "), std::string::npos);
  EXPECT_NE(d.find("\n - uns['DEG']: "), std::string::npos);
}

}  // namespace
}  // namespace norvex
