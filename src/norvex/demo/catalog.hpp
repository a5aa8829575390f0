#pragma once
// The biology behind the demonstration data: genes, cell types with their markers,
// condition programs, ligand-receptor pairs and the pathway database.
#include <string>
#include <utility>
#include <vector>

namespace norvex::demo {

inline constexpr int kConditions = 3;  // Normal (the reference), Primary, Metastasis

struct GeneLevel {
  std::string gene;
  double level;  // expected counts per 10,000 (additive) or a fold change (multiplicative)
};

struct CellTypeDef {
  std::string major, minor, subset;
  double share[kConditions];    // relative abundance per condition
  double size_factor;           // relative library size
  double ribosomal;             // relative weight of the ribosomal genes
  double cycling[kConditions];  // fraction of proliferating cells per condition
  std::vector<GeneLevel> markers;
};

// A condition-dependent expression program in some cell types.
struct ConditionProgram {
  std::string name;
  double scale[kConditions];  // strength per condition (0 = absent)
  std::vector<int> subsets;   // indices into cell_types()
  bool multiplicative;        // folds instead of added counts
  std::vector<GeneLevel> genes;
};

struct LigandReceptor {
  std::string ligand, receptor;
};

struct PathwayDef {
  std::string name;
  std::vector<std::string> genes;
};

const std::vector<std::string>& condition_names();
// Samples per condition, e.g. {"N01", "N02", ...}.
const std::vector<std::vector<std::string>>& sample_names();
const std::vector<CellTypeDef>& cell_types();
const std::vector<ConditionProgram>& condition_programs();
// Genes of the proliferation program and their weights.
const std::vector<GeneLevel>& cycling_program();
const std::vector<GeneLevel>& housekeeping_genes();
const std::vector<std::string>& ribosomal_genes();
const std::vector<GeneLevel>& mitochondrial_genes();
const std::vector<LigandReceptor>& ligand_receptor_pairs();
const std::vector<PathwayDef>& pathways();
// Further real symbols, expressed at background level.
const std::vector<std::string>& background_genes();

// Every gene the biology names, without duplicates, in a fixed order: the minimum gene
// list of a dataset.
const std::vector<std::string>& required_genes();
// `n` gene symbols: the required ones, then background real symbols, then generated
// clone-style names (as unnamed loci appear in real annotations). ValueError when n is
// smaller than the required list.
std::vector<std::string> gene_symbols(size_t n);

}  // namespace norvex::demo
