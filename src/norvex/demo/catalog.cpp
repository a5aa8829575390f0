#include "norvex/demo/catalog.hpp"

#include <set>
#include <sstream>

#include "norvex/common/errors.hpp"

namespace norvex::demo {
namespace {

std::vector<std::string> words(const char* text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// "GENE:level GENE:level ..." (a gene without a level gets `fallback`).
std::vector<GeneLevel> levels(const char* text, double fallback = 1.0) {
  std::vector<GeneLevel> out;
  for (const std::string& w : words(text)) {
    const size_t colon = w.rfind(':');
    if (colon == std::string::npos) {
      out.push_back({w, fallback});
    } else {
      out.push_back({w.substr(0, colon), std::stod(w.substr(colon + 1))});
    }
  }
  return out;
}

}  // namespace

const std::vector<std::string>& condition_names() {
  static const std::vector<std::string> names = {"Normal", "Primary", "Metastasis"};
  return names;
}

const std::vector<std::vector<std::string>>& sample_names() {
  static const std::vector<std::vector<std::string>> names = {
      {"N01", "N02", "N03"}, {"P01", "P02", "P03"}, {"M01", "M02", "M03"}};
  return names;
}

const std::vector<CellTypeDef>& cell_types() {
  // Shares follow a lung adenocarcinoma atlas in outline: the normal lung is rich in
  // alveolar macrophages and AT2 cells, tumours in malignant cells, CAFs, TAMs and
  // exhausted or regulatory T cells.
  static const std::vector<CellTypeDef> types = {
      {"T cell",
       "CD4 T cell",
       "Naive CD4 T",
       {10, 6, 6},
       0.8,
       1.5,
       {0.01, 0.02, 0.02},
       levels("CD3E:60 CD3D:60 CD3G:30 CD2:30 CD4:20 IL7R:60 CCR7:50 SELL:40 TCF7:30 LEF1:25 "
              "LTB:80 CD28:15 CD247:15 MAL:20 CD5:15 CD6:15 LCK:20 TRAC:80 TRBC2:60 CD52:60 "
              "CXCR4:40 CD27:10")},
      {"T cell",
       "CD4 T cell",
       "Regulatory T",
       {2, 6, 5},
       0.9,
       1.4,
       {0.02, 0.04, 0.04},
       levels("CD3E:60 CD3D:50 CD2:30 CD4:25 FOXP3:30 IL2RA:30 CTLA4:35 TNFRSF4:25 "
              "TNFRSF18:25 TIGIT:25 BATF:25 IKZF2:15 LTB:40 TRAC:70 CD52:50 ICOS:20 CCR8:10 "
              "TGFB1:15 CXCR4:40")},
      {"T cell",
       "CD8 T cell",
       "Effector memory CD8 T",
       {9, 7, 6},
       0.85,
       1.4,
       {0.02, 0.03, 0.03},
       levels("CD3E:60 CD3D:60 CD8A:50 CD8B:40 CD2:30 GZMK:60 CCL5:100 GZMA:40 CST7:30 "
              "NKG7:40 CD27:15 TRAC:70 CXCR3:15 CCR5:15 IFNG:8 EOMES:10 KLRG1:15 CD52:50 "
              "CXCR4:35")},
      {"T cell",
       "CD8 T cell",
       "Exhausted CD8 T",
       {0.5, 6, 5},
       0.95,
       1.3,
       {0.05, 0.12, 0.1},
       levels("CD3E:55 CD3D:50 CD8A:50 CD8B:35 PDCD1:35 HAVCR2:30 LAG3:35 TOX:25 CXCL13:40 "
              "TIGIT:30 CTLA4:20 ENTPD1:15 LAYN:15 GZMB:40 CCL5:60 NKG7:40 IFNG:15 CCL4:50 "
              "CCL3:20 TNFRSF9:15 TRAC:60 CD27:15 CXCR3:15 CCR5:10")},
      {"NK cell",
       "NK cell",
       "Cytotoxic NK",
       {7, 4, 4},
       0.85,
       1.3,
       {0.02, 0.03, 0.03},
       levels("NKG7:120 GNLY:150 KLRD1:50 KLRF1:30 FCGR3A:40 NCAM1:15 PRF1:40 GZMB:60 "
              "GZMA:40 CTSW:30 KLRB1:20 KLRC1:20 TYROBP:60 FCER1G:30 CCL5:40 CCL4:30 XCL1:15 "
              "IFNG:8 CD247:20 CD7:25 KLRK1:15")},
      {"B cell",
       "B cell",
       "Naive B",
       {6, 5, 3},
       0.8,
       1.4,
       {0.01, 0.02, 0.02},
       levels("MS4A1:80 CD79A:90 CD79B:50 CD19:20 CD22:20 BANK1:20 IGHM:150 IGHD:60 TCL1A:40 "
              "FCER2:20 CD74:150 HLA-DRA:100 HLA-DRB1:60 CXCR5:15 CR2:10 PAX5:15 CXCR4:30 "
              "LTB:40")},
      {"B cell",
       "Plasma cell",
       "IgG plasma cell",
       {2, 4, 3},
       1.6,
       1.0,
       {0.03, 0.05, 0.05},
       levels("JCHAIN:300 MZB1:150 IGHG1:600 IGKC:800 IGHA1:300 IGLC2:300 XBP1:60 SDC1:20 "
              "PRDM1:10 DERL3:20 TNFRSF17:20 CD79A:20 FKBP11:20 SSR4:50")},
      {"Myeloid cell",
       "Monocyte",
       "Classical monocyte",
       {9, 5, 4},
       1.2,
       1.0,
       {0.01, 0.01, 0.01},
       levels("CD14:80 LYZ:300 S100A8:300 S100A9:350 FCN1:80 VCAN:40 S100A12:50 CSF1R:30 "
              "CD68:30 CTSS:60 TYROBP:60 FCER1G:50 LST1:40 AIF1:60 SAT1:50 CD74:100 "
              "HLA-DRA:80 CCR2:10 SELL:15 IFNGR1:10 ITGAM:15")},
      {"Myeloid cell",
       "Macrophage",
       "Alveolar macrophage",
       {14, 4, 3},
       1.6,
       0.8,
       {0.01, 0.01, 0.01},
       levels("CD68:80 MARCO:80 FABP4:120 MSR1:30 INHBA:15 APOC1:100 C1QA:60 C1QB:60 C1QC:50 "
              "CD163:30 MRC1:40 PPARG:20 LYZ:150 CTSD:60 CSF1R:40 CD74:150 HLA-DRA:100 "
              "TYROBP:60 FCER1G:40 AIF1:40")},
      {"Myeloid cell",
       "Macrophage",
       "SPP1+ TAM",
       {0.5, 8, 7},
       1.5,
       0.8,
       {0.02, 0.03, 0.03},
       levels("SPP1:150 APOE:120 C1QA:80 C1QB:80 C1QC:70 CD68:70 CD163:40 MRC1:30 TREM2:40 "
              "APOC1:80 GPNMB:40 CTSB:60 LGALS3:40 CSF1R:40 CD274:15 CD74:120 HLA-DRA:80 "
              "TYROBP:60 AIF1:40 CCL18:40 MMP9:20 CXCL9:15 LYZ:60 VEGFA:10 CD44:20 TGFB1:10 "
              "MIF:30")},
      {"Myeloid cell",
       "Dendritic cell",
       "cDC2",
       {2, 2, 2},
       1.1,
       1.0,
       {0.02, 0.02, 0.02},
       levels("CD1C:40 FCER1A:40 CLEC10A:40 HLA-DQA1:50 HLA-DQB1:40 HLA-DRA:200 HLA-DPA1:80 "
              "HLA-DPB1:80 CD74:250 LYZ:60 CST3:100 CD86:10 CCR7:10 ITGAX:15 FLT3:10 IRF4:15")},
      {"Epithelial cell",
       "Alveolar epithelial cell",
       "AT2 cell",
       {12, 3, 2},
       1.3,
       0.9,
       {0.01, 0.01, 0.01},
       levels("SFTPC:800 SFTPB:300 SFTPA1:200 SFTPA2:200 NAPSA:100 LAMP3:40 ABCA3:30 "
              "SLC34A2:40 PGC:100 EPCAM:30 KRT18:40 KRT8:40 CLDN18:30 HOPX:15 AGER:10 ELF3:20 "
              "NKX2-1:15 LPCAT1:20")},
      {"Epithelial cell",
       "Malignant cell",
       "Proliferating malignant",
       {0, 10, 6},
       1.8,
       1.0,
       {0, 0.6, 0.5},
       levels("EPCAM:50 KRT8:150 KRT18:150 KRT19:120 KRT7:60 CEACAM5:60 CEACAM6:40 MUC1:40 "
              "ELF3:30 CDH1:30 CLDN4:40 AGR2:40 NAPSA:20 SFTPB:30 MIF:60 EGFR:15 CD274:10 "
              "VEGFA:15 LCN2:30 S100P:40 TACSTD2:40 CD44:20 AREG:15 HMGA1:20")},
      {"Epithelial cell",
       "Malignant cell",
       "EMT-like malignant",
       {0, 5, 14},
       1.7,
       0.9,
       {0, 0.15, 0.15},
       levels("EPCAM:25 KRT8:90 KRT18:100 KRT19:70 KRT7:40 VIM:80 FN1:40 SPARC:30 TGFBI:40 "
              "CD44:50 LGALS1:50 S100A4:40 SNAI2:15 ZEB1:8 TWIST1:8 CDH2:10 ITGB1:30 ITGA3:15 "
              "ITGAV:15 MIF:50 EGFR:20 CD274:10 VEGFA:15 TACSTD2:20 LAMC2:20 MMP7:15 "
              "HMGA1:20")},
      {"Fibroblast",
       "Fibroblast",
       "Alveolar fibroblast",
       {8, 3, 2},
       1.2,
       0.9,
       {0.01, 0.01, 0.01},
       levels("COL1A1:80 COL1A2:90 COL3A1:100 DCN:150 LUM:100 PDGFRA:30 GSN:60 FBLN1:40 "
              "SCARA5:15 INMT:30 NPNT:20 CXCL12:30 IGFBP7:40 MFAP4:30 A2M:30 ITGB1:30 "
              "COL6A1:20 CSF1:10 TCF21:15")},
      {"Fibroblast",
       "CAF",
       "Myofibroblastic CAF",
       {0.5, 7, 9},
       1.3,
       0.9,
       {0.01, 0.03, 0.03},
       levels("COL1A1:250 COL1A2:200 COL3A1:200 COL11A1:40 POSTN:100 FAP:30 ACTA2:80 "
              "TAGLN:70 MYL9:40 PDGFRB:35 SPARC:80 FN1:80 CTHRC1:50 MMP11:20 INHBA:20 THY1:30 "
              "TGFB1:10 TGFBI:30 CXCL12:20 COL5A1:20 ITGB1:30 LUM:50 DCN:50 VCAN:20 CSF1:10")},
      {"Endothelial cell",
       "Endothelial cell",
       "Capillary EC",
       {7, 5, 5},
       1.1,
       1.0,
       {0.01, 0.02, 0.02},
       levels("PECAM1:60 VWF:50 CDH5:40 CLDN5:60 KDR:25 FLT1:30 EGFL7:50 RAMP2:60 AQP1:50 "
              "CA4:30 EMCN:30 PLVAP:40 SPARCL1:60 ENG:30 TIE1:15 ESAM:30 IFI27:40 PDGFB:10 "
              "DLL4:8 JAG1:10 ACKR1:15 CD34:20 NOTCH1:8 ITGB1:15")},
      {"unassigned", "unassigned", "unassigned", {3, 4, 4}, 0.6, 1.0, {0.01, 0.02, 0.02}, {}},
  };
  return types;
}

const std::vector<ConditionProgram>& condition_programs() {
  // Subset indices of cell_types().
  static const std::vector<int> immune = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  static const std::vector<int> t_cells = {0, 1, 2, 3};
  static const std::vector<int> myeloid = {7, 8, 9, 10};
  static const std::vector<int> malignant = {12, 13};
  static const std::vector<ConditionProgram> programs = {
      {"interferon response",
       {0, 1.0, 0.6},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12, 13},
       false,
       levels("ISG15:40 IFI6:30 IFIT3:20 IFIT1:15 MX1:20 STAT1:20 IFITM1:20 IFI44L:10 OAS1:10 "
              "ISG20:10 GBP1:20 IRF7:10 XAF1:10 PSMB9:15 IFI35:8")},
      {"checkpoint in T cells",
       {0, 1.0, 1.0},
       t_cells,
       false,
       levels("PDCD1:8 CTLA4:10 TIGIT:10 LAG3:8 HAVCR2:8 TOX:5")},
      {"checkpoint ligands in myeloid cells",
       {0, 1.0, 1.0},
       myeloid,
       false,
       levels("CD274:15 PDCD1LG2:8 LGALS9:15 IDO1:10")},
      {"tumour-associated myeloid state",
       {0, 1.0, 1.0},
       {7, 8, 9},
       false,
       levels("SPP1:50 APOE:30 CXCL9:25 CXCL10:25 CCL2:10 MIF:20")},
      {"malignant PD-L1", {0, 1.0, 1.0}, malignant, false, levels("CD274:20")},
      {"hypoxia",
       {0, 1.0, 0.5},
       {9, 12, 13, 15, 16},
       false,
       levels("VEGFA:30 SLC2A1:15 LDHA:40 PGK1:30 CA9:15 BNIP3:15 NDRG1:20 ADM:10 ENO1:30 "
              "PFKFB3:10 ANKRD37:5 EGLN3:10 P4HA1:10")},
      {"TGF-beta in fibroblasts",
       {0, 1.0, 1.2},
       {14, 15},
       false,
       levels("TGFB1:10 POSTN:40 COL11A1:20 SERPINE1:15 TGFBI:20 SMAD7:5 COMP:15 THBS2:15")},
      {"TGF-beta in immune cells", {0, 1.0, 1.0}, {1, 9}, false, levels("TGFB1:10")},
      {"tumour angiogenesis",
       {0, 1.0, 1.0},
       {16},
       false,
       levels("KDR:15 ESM1:20 ANGPT2:15 PLVAP:30 COL4A1:20 COL4A2:15 SPARC:20")},
      {"EMT in metastases",
       {0, 0, 1.0},
       malignant,
       false,
       levels("VIM:60 FN1:40 ZEB1:8 SNAI2:15 TWIST1:8 CDH2:8 SPARC:30 MMP2:15 TGFBI:25 "
              "COL1A1:15 TNC:15")},
      {"CXCL12 axis in metastases", {0, 0, 1.0}, {14, 15}, false, levels("CXCL12:40")},
      {"CXCR4 in metastases", {0, 0, 1.0}, {0, 1, 2, 3, 4, 5}, false, levels("CXCR4:20")},
      {"dissociation stress in normal tissue",
       {1.0, 0, 0},
       immune,
       false,
       levels("FOS:40 JUN:25 JUNB:30 DUSP1:25 EGR1:15 HSPA1A:20 IER2:15 ZFP36:15")},
      {"loss of naive T cells", {0, 0.5, 0.6}, t_cells, true, levels("CCR7:0.3 SELL:0.4 IL7R:0.5")},
      {"antigen presentation loss",
       {0, 0.4, 1.0},
       malignant,
       true,
       levels("HLA-A:0.4 HLA-B:0.4 HLA-C:0.4 B2M:0.5 TAP1:0.5")},
      {"epithelial loss in metastases", {0, 0, 1.0}, malignant, true, levels("CDH1:0.3 EPCAM:0.5")},
      {"alveolar macrophage loss", {0, 1.0, 1.0}, {8}, true, levels("FABP4:0.4 MARCO:0.5")},
      {"surfactant loss near tumour", {0, 1.0, 1.0}, {11}, true, levels("SFTPC:0.35 SFTPA1:0.5")},
  };
  return programs;
}

const std::vector<GeneLevel>& cycling_program() {
  static const std::vector<GeneLevel> genes = levels(
      "MKI67:40 TOP2A:60 CDK1:30 CCNB1:40 CCNB2:25 CCNA2:25 BIRC5:30 UBE2C:50 CENPF:30 TPX2:25 "
      "NUSAP1:30 PCNA:30 TYMS:30 MCM2:10 MCM7:10 STMN1:80 H2AZ1:50 HMGB2:60 TUBA1B:80 TUBB:40 "
      "CKS1B:20 CKS2:20 CDKN3:15 AURKA:15 AURKB:15 PLK1:10 BUB1:10 CDC20:20 PCLAF:40 ZWINT:20 "
      "RRM2:30 E2F1:5 MYBL2:10 CENPA:10 KIF20A:10 KIF2C:10 TK1:20 GTSE1:5 CCNE1:5 HMMR:8");
  return genes;
}

const std::vector<GeneLevel>& housekeeping_genes() {
  static const std::vector<GeneLevel> genes = levels(
      "MALAT1:400 B2M:300 ACTB:250 TMSB4X:250 EEF1A1:200 FTL:120 FTH1:120 TPT1:100 GAPDH:80 "
      "TMSB10:80 ACTG1:80 PTMA:50 MYL6:50 HLA-B:60 HLA-A:40 HLA-C:40 PPIA:40 EIF1:40 UBC:30 "
      "HSP90AB1:30 CFL1:30 NEAT1:30 UBA52:30 PFN1:30 SRGN:20 NACA:25 OAZ1:25 UBB:25 H3-3B:20 "
      "YBX1:20 NPM1:20 HNRNPA1:20 SERF2:20 EEF1D:15 EEF2:20 RACK1:20 FAU:20");
  return genes;
}

const std::vector<std::string>& ribosomal_genes() {
  static const std::vector<std::string> genes = words(
      "RPL3 RPL4 RPL5 RPL6 RPL7 RPL7A RPL8 RPL9 RPL10 RPL10A RPL11 RPL12 RPL13 RPL13A RPL14 "
      "RPL15 RPL17 RPL18 RPL18A RPL19 RPL21 RPL22 RPL23 RPL23A RPL24 RPL26 RPL27 RPL27A RPL28 "
      "RPL29 RPL30 RPL31 RPL32 RPL34 RPL35 RPL35A RPL36 RPL37 RPL37A RPL38 RPL39 RPL41 RPLP0 "
      "RPLP1 RPLP2 RPS2 RPS3 RPS3A RPS4X RPS5 RPS6 RPS7 RPS8 RPS9 RPS10 RPS11 RPS12 RPS13 RPS14 "
      "RPS15 RPS15A RPS16 RPS17 RPS18 RPS19 RPS20 RPS21 RPS23 RPS24 RPS25 RPS26 RPS27 RPS27A "
      "RPS28 RPS29 RPSA");
  return genes;
}

const std::vector<GeneLevel>& mitochondrial_genes() {
  static const std::vector<GeneLevel> genes = levels(
      "MT-ND1:8 MT-ND2:7 MT-CO1:20 MT-CO2:14 MT-ATP8:3 MT-ATP6:12 MT-CO3:14 MT-ND3:5 "
      "MT-ND4L:2 MT-ND4:10 MT-ND5:3 MT-ND6:1 MT-CYB:10");
  return genes;
}

const std::vector<LigandReceptor>& ligand_receptor_pairs() {
  static const std::vector<LigandReceptor> pairs = [] {
    std::vector<LigandReceptor> out;
    for (const std::string& w :
         words("CD274_PDCD1 PDCD1LG2_PDCD1 CD80_CTLA4 CD86_CTLA4 CD86_CD28 LGALS9_HAVCR2 "
               "HLA-E_KLRC1 NECTIN2_TIGIT CXCL12_CXCR4 CCL5_CCR5 CCL4_CCR5 CCL3_CCR5 "
               "CXCL13_CXCR5 CXCL9_CXCR3 CXCL10_CXCR3 CCL19_CCR7 CCL2_CCR2 TGFB1_TGFBR1 "
               "TGFB1_TGFBR2 SPP1_CD44 MIF_CD74 MIF_CXCR4 APP_CD74 VEGFA_KDR VEGFA_FLT1 "
               "COL1A1_ITGB1 FN1_ITGB1 PDGFB_PDGFRB CSF1_CSF1R IFNG_IFNGR1 TNF_TNFRSF1A "
               "IL7_IL7R CD70_CD27 CD40LG_CD40 TNFSF9_TNFRSF9 JAG1_NOTCH1 DLL4_NOTCH1 "
               "AREG_EGFR ANXA1_FPR1 CD47_SIRPA")) {
      const size_t sep = w.find('_');
      out.push_back({w.substr(0, sep), w.substr(sep + 1)});
    }
    return out;
  }();
  return pairs;
}

const std::vector<PathwayDef>& pathways() {
  static const std::vector<PathwayDef> db = [] {
    const std::vector<std::pair<const char*, const char*>> raw = {
        {"Cell cycle",
         "CDK1 CDK2 CDK4 CDK6 CCNA2 CCNB1 CCNB2 CCND1 CCND2 CCND3 CCNE1 CCNE2 CDC20 CDC25A "
         "CDC25C CDKN1A CDKN1B CDKN2A CDKN2B CDKN3 E2F1 E2F2 E2F3 RB1 TP53 MCM2 MCM3 MCM4 MCM5 "
         "MCM6 MCM7 PCNA PLK1 BUB1 BUB1B MAD2L1 CHEK1 CHEK2 WEE1 ORC1 CDC6 CDC45 ESPL1 PTTG1 "
         "SKP2 TFDP1 YWHAB ANAPC1 CDC27"},
        {"G2M checkpoint",
         "MKI67 TOP2A CENPF CENPA CENPE AURKA AURKB BIRC5 UBE2C TPX2 NUSAP1 KIF2C KIF20A KIF11 "
         "KIF23 KIF4A PRC1 CCNB2 CDC20 PLK1 BUB1 HMGB2 CKS2 CKS1B TTK NDC80 SMC4 STMN1 H2AZ1 "
         "TUBB CDKN3 GTSE1 HMMR"},
        {"E2F targets",
         "E2F1 E2F8 MYBL2 RRM1 RRM2 TYMS TK1 PCLAF ZWINT DHFR MCM2 MCM3 MCM7 PCNA FEN1 LIG1 "
         "POLA1 POLE POLD1 RFC4 CDC6 CHAF1A CHAF1B GINS2 DUT UNG BRCA1 BRCA2 RAD51 CDK1 HELLS "
         "SPC25"},
        {"DNA replication",
         "MCM2 MCM3 MCM4 MCM5 MCM6 MCM7 POLA1 POLA2 POLD1 POLD2 POLE POLE2 PCNA RFC1 RFC2 RFC3 "
         "RFC4 RFC5 FEN1 LIG1 RPA1 RPA2 RPA3 PRIM1 RNASEH2A DNA2"},
        {"TGF-beta signaling pathway",
         "TGFB1 TGFB2 TGFB3 TGFBR1 TGFBR2 TGFBR3 SMAD2 SMAD3 SMAD4 SMAD6 SMAD7 SKIL SKI LTBP1 "
         "LTBP2 THBS1 THBS2 SERPINE1 ACVR1 ACVR1B ACVRL1 BMPR1A BMPR2 BMP2 BMP4 ID1 ID2 ID3 "
         "JUNB TGFBI FURIN ENG PMEPA1 CCN2 COMP INHBA NOG"},
        {"WNT signaling pathway",
         "WNT1 WNT2 WNT2B WNT3 WNT3A WNT4 WNT5A WNT5B WNT7A WNT7B WNT10A WNT11 FZD1 FZD2 FZD3 "
         "FZD4 FZD5 FZD6 FZD7 FZD8 LRP5 LRP6 CTNNB1 APC AXIN1 AXIN2 GSK3B DVL1 DVL2 DVL3 TCF7 "
         "TCF7L1 TCF7L2 LEF1 MYC CCND1 SFRP1 SFRP2 SFRP4 DKK1 DKK3 RSPO3 LGR5 NOTUM NKD1 WIF1"},
        {"Interferon alpha response",
         "ISG15 ISG20 IFI6 IFI27 IFI35 IFI44 IFI44L IFIT1 IFIT2 IFIT3 IFITM1 IFITM2 IFITM3 MX1 "
         "MX2 OAS1 OAS2 OAS3 OASL IRF7 IRF9 STAT1 STAT2 XAF1 BST2 RSAD2 HERC5 HERC6 USP18 "
         "EPSTI1 PLSCR1 SAMD9L LY6E PARP9 DDX60 TRIM22 IFIH1 CMPK2"},
        {"Interferon gamma response",
         "IFNG IFNGR1 IFNGR2 JAK1 JAK2 STAT1 IRF1 IRF8 CIITA GBP1 GBP2 GBP4 GBP5 CXCL9 CXCL10 "
         "CXCL11 IDO1 HLA-DRA HLA-DRB1 CD74 PSMB8 PSMB9 PSMB10 TAP1 TAP2 SOCS1 SOCS3 CD274 "
         "ICAM1 WARS1 UBE2L6 APOL6 PSME1 PSME2 B2M IL18BP"},
        {"Immune checkpoint",
         "PDCD1 CD274 PDCD1LG2 CTLA4 CD80 CD86 LAG3 HAVCR2 LGALS9 TIGIT PVR NECTIN2 CD226 BTLA "
         "TNFRSF14 VSIR IDO1 CD276 VTCN1 SIGLEC15 CD96 TNFRSF4 TNFSF4 TNFRSF9 TNFSF9 ICOS "
         "ICOSLG CD27 CD70 CD40 CD40LG TNFRSF18 TNFSF18 ENTPD1 NT5E ADORA2A HHLA2 CD47 SIRPA"},
        {"Integrin cell surface interactions",
         "ITGA1 ITGA2 ITGA3 ITGA4 ITGA5 ITGA6 ITGA8 ITGA9 ITGA11 ITGAV ITGAL ITGAM ITGAX ITGAE "
         "ITGB1 ITGB2 ITGB3 ITGB4 ITGB5 ITGB6 ITGB7 ITGB8 FN1 VTN COL1A1 COL1A2 COL4A1 COL4A2 "
         "LAMA5 LAMB1 LAMC1 LAMC2 ICAM1 ICAM2 VCAM1 MADCAM1 SPP1 THBS1 TNC FBN1 JAM2 JAM3 F11R "
         "CD47 PECAM1"},
        {"Hypoxia",
         "VEGFA SLC2A1 SLC2A3 LDHA PGK1 CA9 BNIP3 BNIP3L NDRG1 ADM ENO1 ENO2 PFKFB3 PFKFB4 PFKP "
         "HK2 ALDOA ALDOC GAPDH TPI1 PGAM1 EGLN3 EGLN1 P4HA1 P4HA2 ANKRD37 ERO1A LOX PLOD2 MXI1 "
         "DDIT4 HIF1A EPAS1 ANGPTL4 STC2 KDM3A VHL"},
        {"Epithelial-mesenchymal transition",
         "VIM FN1 CDH2 SNAI1 SNAI2 TWIST1 TWIST2 ZEB1 ZEB2 SPARC TGFBI COL1A1 COL1A2 COL3A1 "
         "COL5A1 COL5A2 COL6A3 MMP2 MMP3 MMP14 TNC POSTN FBN1 LUM DCN THBS2 SERPINE1 TAGLN "
         "ACTA2 CALD1 TPM2 LGALS1 S100A4 ITGAV ITGB5 LOX LOXL2 VCAN FAP INHBA CTHRC1 SFRP4 "
         "WNT5A PDGFRB"},
        {"Antigen processing and presentation",
         "HLA-A HLA-B HLA-C HLA-E HLA-F HLA-G B2M TAP1 TAP2 TAPBP PSMB8 PSMB9 CALR CANX PDIA3 "
         "HSPA5 HLA-DRA HLA-DRB1 HLA-DRB5 HLA-DPA1 HLA-DPB1 HLA-DQA1 HLA-DQB1 HLA-DMA HLA-DMB "
         "HLA-DOA CD74 CIITA CTSB CTSS CTSL LGMN IFI30 KLRC1 KLRD1 CD4 CD8A CD8B"},
        {"MHC class II antigen presentation",
         "HLA-DRA HLA-DRB1 HLA-DRB5 HLA-DPA1 HLA-DPB1 HLA-DQA1 HLA-DQB1 HLA-DMA HLA-DMB HLA-DOA "
         "HLA-DOB CD74 CIITA CTSS CTSB LGMN IFI30 RFX5 RFXANK CD4"},
        {"T cell receptor signaling pathway",
         "CD3E CD3D CD3G CD247 CD4 CD8A CD8B LCK ZAP70 LAT LCP2 ITK FYN PLCG1 VAV1 GRB2 NFATC1 "
         "NFATC2 NFKB1 RELA JUN FOS IL2 IFNG TNF CD28 CTLA4 PDCD1 ICOS CARD11 BCL10 MALT1 PTPRC "
         "CD2 CD5 CD6"},
        {"B cell receptor signaling pathway",
         "CD79A CD79B CD19 CD22 CD72 CD81 MS4A1 SYK BTK BLNK LYN PLCG2 PIK3CD BLK CR2 FCGR2B "
         "NFATC1 NFKB1 VAV1 PTPN6 CARD11 BCL10 MALT1 IGHM"},
        {"Natural killer cell mediated cytotoxicity",
         "NKG7 GNLY PRF1 GZMA GZMB GZMH KLRD1 KLRC1 KLRK1 NCR1 NCR3 FCGR3A TYROBP FCER1G HCST "
         "LCK ZAP70 SYK VAV1 IFNG TNF CD247 HLA-E MICA MICB CD48 CD244"},
        {"Cytokine-cytokine receptor interaction",
         "IL1A IL1B IL1R1 IL2 IL2RA IL2RB IL2RG IL6 IL6R IL6ST IL7 IL7R IL10 IL10RA IL12A IL12B "
         "IL15 IL15RA IL18 IL18R1 IL21 IL21R TNF TNFRSF1A TNFRSF1B IFNG IFNGR1 IFNGR2 CSF1 "
         "CSF1R CSF2 CSF3 KIT KITLG TGFB1 TGFBR2 OSM LIF CXCL8 CXCL12 CCL2 CCL5 CXCR4 CCR7"},
        {"Chemokine signaling pathway",
         "CCL2 CCL3 CCL4 CCL5 CCL8 CCL17 CCL18 CCL19 CCL20 CCL21 CCL22 CXCL1 CXCL2 CXCL3 CXCL5 "
         "CXCL8 CXCL9 CXCL10 CXCL11 CXCL12 CXCL13 CXCL14 CXCL16 XCL1 CX3CL1 CCR1 CCR2 CCR4 CCR5 "
         "CCR6 CCR7 CCR8 CXCR1 CXCR2 CXCR3 CXCR4 CXCR5 CXCR6 CX3CR1 GNB1 GNAI2 PIK3CG JAK2 "
         "STAT3 RAC2"},
        {"JAK-STAT signaling pathway",
         "JAK1 JAK2 JAK3 TYK2 STAT1 STAT2 STAT3 STAT4 STAT5A STAT5B STAT6 SOCS1 SOCS2 SOCS3 "
         "CISH PIAS1 PTPN6 PTPN11 IL6 IL6R IL6ST IL10 IL10RA IL2RA IL7R IFNG IFNGR1 OSMR LIFR "
         "CSF2RB MYC BCL2L1 CCND1 PIM1"},
        {"NF-kappa B signaling pathway",
         "NFKB1 NFKB2 RELA RELB REL NFKBIA NFKBIB NFKBIE IKBKB IKBKG CHUK MAP3K7 TRAF2 TRAF3 "
         "TRAF6 TNF TNFAIP3 TNFRSF1A LTA LTB LTBR CD40 CD40LG BCL2A1 BIRC2 BIRC3 CXCL8 ICAM1 "
         "VCAM1 PTGS2 IL1B MYD88 IRAK1 IRAK4 TLR4 CARD11 BCL10 MALT1"},
        {"TNF-alpha signaling via NF-kB",
         "TNF TNFAIP3 TNFAIP2 TNFAIP6 NFKBIA NFKBIZ NFKB1 RELB JUNB JUN FOS FOSB ATF3 EGR1 EGR2 "
         "EGR3 IER2 IER3 IER5 DUSP1 DUSP2 KLF2 KLF4 KLF6 ZFP36 PPP1R15A CXCL1 CXCL2 CXCL3 CXCL8 "
         "CCL20 IL1B IL6 ICAM1 SOD2 BIRC3 NR4A1 NR4A2 GADD45B CD83 PTGS2 SERPINE1 CCL4"},
        {"Inflammatory response",
         "IL1A IL1B IL6 CXCL8 CCL2 CCL3 CCL4 CCL5 CCL20 PTGS2 TLR2 TLR4 TLR7 MYD88 NLRP3 CASP1 "
         "IL18 C5AR1 FPR1 FPR2 S100A8 S100A9 S100A12 LYZ SELE SELL ICAM1 VCAM1 OSM OSMR IL10 "
         "IL1RN CD14 CD44 TNFAIP6 SERPINE1 AQP9 OLR1 SLC11A1"},
        {"Complement",
         "C1QA C1QB C1QC C1R C1S C2 C3 C4A C4B C5 C7 CFB CFD CFH CFI CD55 CD59 CD46 C3AR1 "
         "C5AR1 CR1 CR2 ITGAM ITGB2 SERPING1 CLU VSIG4"},
        {"Glycolysis",
         "HK1 HK2 HK3 GPI PFKL PFKM PFKP ALDOA ALDOB ALDOC TPI1 GAPDH PGK1 PGAM1 ENO1 ENO2 ENO3 "
         "PKM LDHA LDHB PDK1 PDK3 SLC2A1 SLC2A3 G6PD PGD TALDO1 TKT PFKFB3 PFKFB4 GALM BPGM"},
        {"Oxidative phosphorylation",
         "NDUFA1 NDUFA2 NDUFA4 NDUFA13 NDUFB3 NDUFB8 NDUFS1 NDUFS2 NDUFV1 SDHA SDHB SDHC SDHD "
         "UQCRC1 UQCRC2 UQCRB UQCRQ COX4I1 COX5A COX5B COX6A1 COX6C COX7A2 COX7C ATP5F1A "
         "ATP5F1B ATP5PO ATP5MC1 ATP5MC3 CYCS MT-CO1 MT-CO2 MT-CO3 MT-ND1 MT-ND4 MT-CYB MT-ATP6"},
        {"Apoptosis",
         "BAX BAK1 BCL2 BCL2L1 BCL2L11 MCL1 BID BAD BBC3 PMAIP1 CASP3 CASP7 CASP8 CASP9 CASP10 "
         "APAF1 CYCS DIABLO XIAP BIRC2 BIRC3 BIRC5 FAS FASLG TNFRSF10A TNFRSF10B TNFSF10 FADD "
         "TRADD CFLAR TP53 CDKN1A GADD45A DAPK1"},
        {"p53 pathway",
         "TP53 MDM2 MDM4 CDKN1A GADD45A GADD45B BAX BBC3 PMAIP1 FAS TNFRSF10B SESN1 SESN2 "
         "RRM2B TP53I3 ZMAT3 SFN DDB2 XPC FDXR AEN TIGAR RPS27L PLK3 BTG2 CCNG1 TRIAP1 PERP "
         "SERPINB5 THBS1"},
        {"MYC targets",
         "MYC NPM1 NCL NOP56 NOP58 FBL DKC1 NOP16 PA2G4 HSPD1 HSPE1 HNRNPA1 HNRNPD SRSF1 SRSF2 "
         "SRSF3 EIF4A1 EIF4E EIF3B LDHA ENO1 PKM CDK4 ODC1 MCM4 PCNA PABPC1 RAN SNRPD1 SNRPD2 "
         "SNRPG PHB PHB2 TUFM"},
        {"Angiogenesis",
         "VEGFA VEGFB VEGFC KDR FLT1 FLT4 NRP1 NRP2 ANGPT1 ANGPT2 TEK TIE1 ESM1 PLVAP DLL4 "
         "NOTCH1 NOTCH4 HEY1 HEY2 APLN APLNR PGF PDGFB PDGFRB COL4A1 COL4A2 SPARC THBS1 ENG "
         "CD34 PECAM1 CDH5 EGFL7 SOX17 SOX18"},
        {"VEGF signaling pathway",
         "VEGFA VEGFB VEGFC KDR FLT1 FLT4 NRP1 PLCG1 PRKCB MAPK1 MAPK3 MAP2K1 RAF1 HRAS KRAS "
         "NOS3 PTGS2 SRC PIK3CA AKT1 RAC1 CDC42 HSPB1 PXN SH2D2A PPP3CA"},
        {"Notch signaling pathway",
         "NOTCH1 NOTCH2 NOTCH3 NOTCH4 DLL1 DLL3 DLL4 JAG1 JAG2 HES1 HES4 HES5 HEY1 HEY2 HEYL "
         "RBPJ MAML1 MAML2 NUMB LFNG MFNG RFNG PSEN1 ADAM10 ADAM17 DTX1 NCSTN"},
        {"Hedgehog signaling pathway",
         "SHH IHH DHH PTCH1 PTCH2 SMO GLI1 GLI2 GLI3 SUFU HHIP KIF7 GAS1 CDON BOC STK36 GSK3B "
         "CSNK1A1 WNT5A BMP4"},
        {"PI3K-AKT-mTOR signaling",
         "PIK3CA PIK3CB PIK3CD PIK3R1 PIK3R2 AKT1 AKT2 AKT3 PTEN MTOR RPTOR RICTOR TSC1 TSC2 "
         "RHEB RPS6KB1 EIF4EBP1 PDPK1 FOXO1 FOXO3 GSK3B IRS1 INSR IGF1R EGFR ERBB2 KRAS MAPKAP1 "
         "DDIT4 SGK1"},
        {"MAPK signaling pathway",
         "KRAS HRAS NRAS BRAF RAF1 ARAF MAP2K1 MAP2K2 MAPK1 MAPK3 MAPK8 MAPK9 MAPK14 MAP3K1 "
         "MAP3K7 DUSP1 DUSP4 DUSP6 FOS JUN ELK1 MYC EGFR ERBB2 FGFR1 FGFR2 PDGFRA PDGFRB GRB2 "
         "SOS1 SPRY2 SPRY4 ETV4 ETV5"},
        {"Extracellular matrix organization",
         "COL1A1 COL1A2 COL3A1 COL4A1 COL4A2 COL5A1 COL5A2 COL6A1 COL6A2 COL6A3 COL11A1 "
         "COL12A1 COL15A1 COL18A1 ELN FBN1 FBLN1 FBLN2 FBLN5 FN1 LAMA2 LAMB1 LAMC1 NID1 NID2 "
         "HSPG2 DCN LUM BGN VCAN MMP2 MMP9 MMP11 MMP14 TIMP1 TIMP2 TIMP3 LOX LOXL1 LOXL2 P4HA1 "
         "PLOD2 SPARC POSTN"},
        {"Collagen formation",
         "COL1A1 COL1A2 COL3A1 COL4A1 COL4A2 COL5A1 COL5A2 COL6A1 COL6A2 COL6A3 COL11A1 "
         "COL12A1 P4HA1 P4HA2 P4HB PLOD1 PLOD2 PLOD3 LOX LOXL1 LOXL2 PCOLCE ADAMTS2 SERPINH1 "
         "CRTAP PPIB"},
        {"Surfactant metabolism",
         "SFTPA1 SFTPA2 SFTPB SFTPC SFTPD NAPSA ABCA3 LPCAT1 SLC34A2 CSF2RA CSF2RB NKX2-1 CEBPA "
         "LAMP3 CTSH PGC"},
        {"Keratinization",
         "KRT1 KRT2 KRT4 KRT5 KRT6A KRT7 KRT8 KRT10 KRT13 KRT14 KRT15 KRT16 KRT17 KRT18 KRT19 "
         "KRT20 KRT23 SPRR1A SPRR1B SPRR2A SPRR3 IVL SFN DSG3 DSC3 PKP1 JUP EVPL PPL"},
        {"Fatty acid metabolism",
         "FABP4 FABP5 CD36 LPL ACACA ACACB FASN SCD ACSL1 ACSL4 CPT1A CPT2 ACADM ACADL ACADVL "
         "HADHA HADHB ECHS1 PPARG PPARA ACOX1 ELOVL5 ELOVL6 DGAT1 DGAT2 PLIN2 APOE APOC1"},
        {"Cholesterol homeostasis",
         "LDLR HMGCR HMGCS1 SQLE MVD MVK IDI1 FDFT1 FDPS CYP51A1 DHCR7 DHCR24 LSS INSIG1 SREBF2 "
         "SCD STARD4 NPC1 NPC2 ABCA1 ABCG1 APOE LPL"},
        {"Unfolded protein response",
         "HSPA5 HSP90B1 CALR PDIA4 PDIA6 DNAJB9 DNAJC3 XBP1 ATF4 ATF6 ERN1 EIF2AK3 DDIT3 "
         "HERPUD1 SEL1L SYVN1 EDEM1 SDF2L1 MANF CRELD2 SSR4 SEC61B"},
        {"Phagocytosis",
         "CD68 CD163 MRC1 MSR1 MARCO CD36 TREM2 TYROBP FCGR1A FCGR2A FCGR3A ITGAM ITGB2 CD14 "
         "LRP1 MERTK AXL GAS6 MFGE8 C1QA CD47 SIRPA LAMP1 LAMP2 CTSB CTSD LGALS3 SCARB1"},
        {"Leukocyte transendothelial migration",
         "ICAM1 ICAM2 VCAM1 PECAM1 CDH5 CLDN5 JAM2 JAM3 F11R ESAM SELE SELP SELL ITGAL ITGAM "
         "ITGB2 ITGA4 ITGB1 CXCL12 CXCR4 RAC1 RAC2 RHOA ACTN1 VAV1 PTK2 PXN MMP9 CD99"},
        {"Heat shock response",
         "HSPA1A HSPA1B HSPA6 HSPA8 HSPH1 HSP90AA1 HSP90AB1 HSPB1 HSPD1 HSPE1 DNAJB1 DNAJA1 "
         "BAG3 FOS JUN JUNB FOSB ATF3 EGR1 IER2 DUSP1 ZFP36"},
    };
    std::vector<PathwayDef> out;
    for (auto& [name, genes] : raw) out.push_back({name, words(genes)});
    return out;
  }();
  return db;
}

const std::vector<std::string>& background_genes() {
  static const std::vector<std::string> genes = words(
      "ANXA1 ANXA2 ANXA5 ANXA6 ARPC1B ARPC2 ARPC3 ARPC5 BTG1 CALM1 CALM2 CALM3 CAPG CAPZB CD63 "
      "CD9 CHCHD2 COTL1 CRIP1 CSTB CTSZ CYBA DDX5 EIF4A2 EIF4G2 ELOB ERP29 GNAS GSTP1 HMGB1 "
      "HNRNPA2B1 HNRNPK LAPTM5 LSP1 MYL12A MYL12B S100A10 S100A11 S100A6 SH3BGRL3 SRSF5 SRSF7 "
      "TAGLN2 TMBIM6 TXN VAMP8 YWHAZ ZFP36L1 ZFP36L2 ABHD17A ACTN4 ADAR AHNAK AKAP9 ALDH2 "
      "ALDH1A1 ANKRD11 AP2M1 ARF1 ARF6 ARHGDIB ARID1A ARID1B ARL4C ATP1A1 ATP1B3 ATP2B1 ATP6V0B "
      "ATRX B4GALT1 BCL6 BCLAF1 BHLHE40 BIN1 BRD2 BRD4 BSG C12orf75 CAPN2 CAST CBX3 CCDC88A "
      "CCND2 CD164 CD37 CD38 CD53 CD58 CD69 CD82 CD83 CDC42SE1 CDK2AP2 CEBPB CEBPD CHD4 CHD9 "
      "CLIC1 CNBP COX14 CREBBP CSDE1 CSNK1D CTNNA1 CTNND1 CUX1 CXXC5 CYB5R3 DAZAP2 DBI DDX17 "
      "DDX3X DDX6 DHX9 DNAJA2 DNAJB6 DNMT1 DYNLL1 EIF3A EIF3E EIF3L EIF4B EIF5A ELF1 EMP3 "
      "ENSA EPB41L4A EPHX1 ERBIN ETS1 ETV6 EZH2 EZR FAM107B FBXO7 FLNA FNBP1 FOXP1 FUS FXYD5 "
      "G3BP1 GABARAP GALNT1 GATA2 GATA3 GLUL GNAI3 GNB2 GNG5 GOLGB1 GPX1 GPX4 GRN GSN GYPC "
      "H1-10 H2AJ HCLS1 HDAC1 HES6 HIF1AN HIPK1 HLA-DRB6 HMGN1 HMGN2 HNRNPC HNRNPH1 HNRNPU "
      "HSPA9 ID1 IDH1 IDH2 IFI16 IGFBP3 IGFBP4 IGFBP5 IKZF1 IL32 ILF3 IQGAP1 IRF2 ITM2A ITM2B "
      "ITPKB JAK2 KDM5C KDM6A KLF10 KLF13 KMT2A KMT2C KMT2D KPNB1 KTN1 LAMTOR1 LBH LCP1 LDLRAP1 "
      "LGALS3BP LIMD2 LMNA LMNB1 LPP LRRFIP1 LUC7L3 LY6E MACF1 MAP1LC3B MAP4 MBNL1 MCL1 MDH1 "
      "MDH2 MED13L MEF2C MGST1 MIDN MKNK2 MORF4L1 MSN MT2A MTDH MXD4 MYH9 MYL9 MYO1G NBEAL2 "
      "NCOA3 NDRG2 NEDD4L NFE2L2 NFKBIZ NINJ1 NKTR NOTCH2 NR3C1 NRBF2 NT5C3A NUCKS1 NUDT21 "
      "OGT OST4 PABPC4 PAFAH1B1 PARP1 PCBP1 PCBP2 PDE4B PDE4D PELI1 PER1 PGK2 PHLDA1 PIM2 "
      "PITPNC1 PLAC8 PNISR POLR2A POU2F2 PPP1CA PPP1CB PPP2CA PRDX1 PRDX2 PRDX5 PRDX6 PRKCH "
      "PRKX PRMT1 PSMA1 PSMA4 PSMA7 PSMB1 PSMB2 PSMD4 PTPN1 PTPN2 PTPN7 PTPRCAP PYHIN1 RAB11A "
      "RAB7A RALA RANBP2 RASSF5 RBM25 RBM39 RBMS1 RBPMS RCAN3 RGS1 RGS2 RHOB RHOC RHOH RIPOR2 "
      "RNF213 RORA RSRP1 RUNX1 RUNX3 SAMHD1 SARAF SBDS SCAF11 SEC11A SEC62 SELENOK SELENOP "
      "SEPTIN6 SEPTIN7 SEPTIN9 SERINC3 SERP1 SESN3 SET SF1 SFPQ SKAP1 SLA SLC25A3 SLC25A5 "
      "SLC38A2 SLC3A2 SLC7A5 SLC7A11 SMARCA4 SMARCC1 SNRPB SNX3 SOCS6 SON SORL1 SOX4 SOX9 SP100 "
      "SPCS1 SPOCK2 SPTBN1 SQSTM1 SRP14 SRRM2 SSB SSU72 STAT4 STK17A STK17B STK4 SUB1 SYNE2 "
      "TAF1D TARDBP TBC1D10C TCEAL4 TENT5C TGFBR3 TGOLN2 TLE5 TMA7 TMC8 TMED10 TNFAIP8 TNRC6B "
      "TOMM20 TOMM7 TPM3 TPM4 TRAF3IP3 TRIR TSC22D3 TSPO TUBA1A TXNIP UBE2D3 UBXN1 UCP2 USP15 "
      "UTRN UXT VPS37B WASF2 WDR1 WIPF1 XBP1 XIST YPEL3 YPEL5 YWHAQ ZBTB16 ZC3H12D ZEB2 ZNF331 "
      "ZNF706 ZYX AKR1C1 AKR1C2 AKR1B10 ALDH3A1 CYP1B1 CYP4B1 SCGB1A1 SCGB3A1 SCGB3A2 MUC5AC "
      "MUC5B FOXJ1 TPPP3 CAPS RSPH1 DNAH5 KRT5 TP63 BPIFA1 BPIFB1 LTF PIGR SLPI WFDC2 MSLN "
      "CALB2 UPK3B PRSS1 CPA3 TPSAB1 TPSB2 KIT MS4A2 HDC GATA2 CLC IL3RA LILRA4 IRF7 TCF4 "
      "CLEC4C GZMH KLRC2 TRDC TRGC1 TRGC2 CD160 ZNF683 ITGA1 CD101 AREG TNFRSF13B FCRL5 FCRL1 "
      "IGHG2 IGHG3 IGHG4 IGHA2 IGLC1 IGLC3 IGKV4-1 IGLV3-21 HBB HBA1 HBA2 PPBP PF4 GP9 ITGA2B "
      "MYH11 DES CNN1 RGS5 NOTCH3 MCAM KCNJ8 HIGD1B PDGFRB ACKR1 SELP PROX1 CCL21 LYVE1 TFF3 "
      "MMRN1 PDPN");
  return genes;
}

const std::vector<std::string>& required_genes() {
  static const std::vector<std::string> genes = [] {
    std::vector<std::string> out;
    std::set<std::string> seen;
    auto add = [&](const std::string& g) {
      if (seen.insert(g).second) out.push_back(g);
    };
    for (auto& g : housekeeping_genes()) add(g.gene);
    for (auto& g : ribosomal_genes()) add(g);
    for (auto& g : mitochondrial_genes()) add(g.gene);
    for (auto& t : cell_types())
      for (auto& m : t.markers) add(m.gene);
    for (auto& g : cycling_program()) add(g.gene);
    for (auto& p : condition_programs())
      for (auto& g : p.genes) add(g.gene);
    for (auto& lr : ligand_receptor_pairs()) {
      add(lr.ligand);
      add(lr.receptor);
    }
    for (auto& p : pathways())
      for (auto& g : p.genes) add(g);
    return out;
  }();
  return genes;
}

std::vector<std::string> gene_symbols(size_t n) {
  const auto& required = required_genes();
  if (n < required.size()) {
    throw ValueError("a demonstration dataset needs at least " + std::to_string(required.size()) +
                     " genes (the markers, ligands, receptors and pathway genes), not " +
                     std::to_string(n));
  }
  std::vector<std::string> out(required.begin(), required.end());
  std::set<std::string> seen(out.begin(), out.end());
  for (auto& g : background_genes()) {
    if (out.size() >= n) break;
    if (seen.insert(g).second) out.push_back(g);
  }
  // Unnamed loci: clone-based names, as GENCODE gives lncRNAs without a symbol, then
  // LINC-style names. Deterministic, so a gene count always yields the same list.
  static const char* prefixes[] = {"AC", "AL", "AP", "LINC"};
  uint64_t k = 0;
  while (out.size() < n) {
    const uint64_t h = (k * 2654435761ULL + 104729ULL) % 900000ULL + 10000ULL;
    const char* prefix = prefixes[k % 4];
    std::string name = k % 4 == 3 ? "LINC0" + std::to_string(h % 2900 + 1000)
                                  : prefix + std::to_string(h) + "." + std::to_string(1 + k % 3);
    ++k;
    if (seen.insert(name).second) out.push_back(name);
  }
  return out;
}

}  // namespace norvex::demo
