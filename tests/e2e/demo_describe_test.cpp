// The generated demonstration dataset as the model sees it: `norvex demo-data` then
// `norvex describe` give exactly this data context.
#include <gtest/gtest.h>

#include "support/test_support.hpp"

namespace norvex::testing {
namespace {

// Seed 3, 800 cells, 2000 genes.
const char* kExpected =
    "\n"
    "\n"
    "[DATA CONTEXT]\n"
    "An AnnData (obtained from single-cell RNA-seq data) is given: \n"
    "AnnData: 800 cells × 2000 genes\n"
    " - obs columns: sample, condition, celltype_major, celltype_minor, celltype_subset, "
    "tumor_origin_ind, ploidy_dec, n_genes_by_counts, total_counts, pct_counts_mt\n"
    " - var columns: feature_types, mt, n_cells_by_counts\n"
    " - species: Human\n"
    " - tissue: Lung\n"
    " - conditions: Normal, Primary, Metastasis\n"
    " - celltype_major: Fibroblast, Epithelial cell, Endothelial cell, T cell, B cell, NK cell, "
    "Myeloid cell, unassigned\n"
    " - celltype_minor: Fibroblast, Alveolar epithelial cell, Endothelial cell, CD8 T cell, B "
    "cell, NK cell, Plasma cell, CD4 T cell, Dendritic cell, unassigned, Monocyte, Macrophage, "
    "CAF, Malignant cell\n"
    " - celltype_subset: Alveolar fibroblast, AT2 cell, Capillary EC, Effector memory CD8 T, Naive "
    "B, Cytotoxic NK, IgG plasma cell, Naive CD4 T, cDC2, unassigned, Regulatory T, Classical "
    "monocyte, Alveolar macrophage, Exhausted CD8 T, SPP1+ TAM, Myofibroblastic CAF, EMT-like "
    "malignant, Proliferating malignant\n"
    " - Tumor origin celltype: Epithelial cell\n"
    " - ploidy_dec: Aneuploid, Diploid \n"
    " - Reference condition for DEG_vs_ref, GSEA_vs_ref, and GSA_vs_ref_up: Normal\n"
    " - CCI DataFrame columns: interacting_pair, gene_a, gene_b, source, target, mean, pvalue\n"
    " - DEG DataFrame columns: names, scores, logfoldchanges, pvals, pvals_adj\n"
    " - GSEA DataFrame columns: Name, Term, ES, NES, NOM p-val, FDR q-val, FWER p-val, Tag %, Gene "
    "%, Lead_genes\n"
    " - GSA DataFrame columns: Gene_set, Term, Overlap, P-value, Adjusted P-value, Odds Ratio, "
    "Combined Score, Genes\n"
    "\n"
    "Precomputed results include .. \n"
    " - uns['CCI']: Cell-cell interaction (CellPhoneDB) results per condition.\n"
    " - uns['CCI_sample']: Cell-cell interaction (CellPhoneDB) results per sample.\n"
    " - uns['DEG']: DEG results for each celltype_minor comparing one condition versus the rest.\n"
    " - uns['DEG_vs_ref']: DEG results for each celltype_minor comparing one condition versus the "
    "reference condition.\n"
    " - uns['GSEA']: GSEA results for each celltype_minor comparing one condition versus the "
    "rest.\n"
    " - uns['GSEA_vs_ref']: GSEA results for each celltype_minor comparing one condition versus "
    "the reference condition.\n"
    " - uns['GSA_up']: GO(GSA) results for each celltype_minor comparing one condition versus the "
    "rest.\n"
    " - uns['GSA_vs_ref_up']: GO(GSA) results for each celltype_minor comparing one condition "
    "versus the reference condition.\n"
    " - obs['ploidy_dec']: Ploidy inference label (Aneuploid/Diploid).\n"
    " - obsm['X_cnv']: CNV estimates.";

TEST(DemoDescribe, DescribeOfAGeneratedDatasetIsTheExpectedDataContext) {
  TempDir tmp;
  const std::string file = (tmp / "demo.h5ad").string();
  const std::string bin = shell_quote(norvex_binary().string());
  const CommandResult gen =
      run_command(bin + " demo-data " + shell_quote(file) + " --cells 800 --seed 3");
  ASSERT_EQ(gen.exit_code, 0) << gen.err;
  EXPECT_NE(gen.out.find("800 cells × 2000 genes"), std::string::npos) << gen.out;
  const CommandResult d = run_command(bin + " describe " + shell_quote(file));
  ASSERT_EQ(d.exit_code, 0) << d.err;
  EXPECT_EQ(d.out, std::string(kExpected) + "\n");
}

TEST(DemoDescribe, BadSizesAreRefusedWithAClearMessage) {
  TempDir tmp;
  const std::string bin = shell_quote(norvex_binary().string());
  const CommandResult r =
      run_command(bin + " demo-data " + shell_quote((tmp / "x.h5ad").string()) + " --cells 10");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("at least 500 cells, not 10"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(tmp / "x.h5ad"));
}

}  // namespace
}  // namespace norvex::testing
