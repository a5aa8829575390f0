#pragma once
// The violin and box-plot tools in steps: select (which cells and values, in the typed
// selections below), compute (each panel's values per group and the tests between the
// groups, adjusted across the figure), present (the figure and the tables, in the tool's
// file). Select and compute draw nothing, so tests reach the statistics without rendering.
// The violin and the per-sample gene box plots share one selection: the requested genes in
// their expression source, the panels' cell types and the genes' values in every cell.
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "norvex/analysis_tools/comparisons.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"

namespace norvex::detail {

// ---- select: genes, cell-type panels and expression (violin and gene box plots) ----

struct ExpressionSelection {
  ExpressionSource source;
  std::vector<std::string> genes;  // found, in request order
  Categories celltypes;            // obs[celltype_col]
  // The chosen cell types (codes, in request order); empty: all cells pooled in one panel.
  std::vector<int32_t> chosen;
  // Per cell-type code, its panel among each gene's panels; -1: not shown.
  std::vector<int32_t> panel_of_celltype;
  std::vector<std::vector<float>> expression;  // per gene, per cell

  size_t n_celltype_panels() const { return chosen.empty() ? 1 : chosen.size(); }
  // The cell type of panel k among a gene's panels: its name, or "all cells".
  std::string panel_celltype(size_t k) const;
  // Panel of cell i among a gene's panels, or -1 (no cell type, or one not shown).
  int32_t panel_of_cell(size_t i) const;
};

// The genes of both lists, in order; ValueError when there are none.
TextList requested_genes(const std::optional<TextList>& first,
                         const std::optional<TextList>& second);
// The expression source (layer, or use_raw, else raw when present) and the requested genes
// found in it: KeyError when none is, the others named in `warnings`.
void select_genes(ExpressionSelection& sel, const AnnData& adata, const TextList& requested,
                  const std::optional<std::string>& layer, std::optional<bool> use_raw,
                  Warnings& warnings);
// The panels' cell types: `f.celltypes` matched among `sel.celltypes` (which the caller
// reads from obs[f.celltype_col]), duplicates dropped. ValueError for an unknown one.
void select_celltype_panels(ExpressionSelection& sel, const ObsFilter& f);
// The genes' values in every cell.
void load_expression(ExpressionSelection& sel, const AnnData& adata);

// ---- select: the violin's groups (cells compared one by one) ----

struct ViolinGroups {
  std::string column;                  // the obs column defining the groups
  Categories categories;               // obs[column]
  std::vector<std::string> groups;     // compared, in order
  std::vector<int32_t> group_of_code;  // per category code: its group, or -1
  // When grouping by another column than the conditions, the conditions asked for filter
  // the cells: per cell its condition code (empty: no such filter), per code whether kept.
  std::vector<int32_t> condition_codes;
  std::vector<char> condition_ok;

  // Whether cell i has a shown cell type, a group category and a kept condition.
  bool admits(const ExpressionSelection& sel, size_t i) const;
  // Cell i's group, or -1 when it is left out.
  int32_t group_of_cell(const ExpressionSelection& sel, size_t i) const;
};
// The column of the groups (test_cfg.group_by: "condition" means `condition_col`) and its
// categories; KeyError for a column obs does not have.
ViolinGroups violin_group_column(const AnnData& adata, const std::string& group_by,
                                 const std::string& condition_col);
// The groups: the conditions asked for, in that order, when grouping by condition; else
// every group with admitted cells. ValueError for an unknown condition, or when no cell is
// left.
void select_violin_groups(ViolinGroups& g, const ExpressionSelection& sel, const AnnData& adata,
                          const ObsFilter& f);

// ---- select: samples and their groups (box plots: the sample is the unit) ----

// Samples and the group each belongs to (the one value its cells have); groups in the
// order asked for, else in category order.
struct SampleGroups {
  Categories samples;
  std::vector<int32_t> group_of_sample;  // -1: sample not used
  std::vector<std::string> groups;
  std::string group_col;
};
// KeyError for a missing sample column (with close names) or group column; ValueError for
// grouping by the sample column or by a column that varies within a sample, an unknown
// condition, or no sample in the groups.
SampleGroups sample_groups(const AnnData& adata, const SignifTestConfig& test,
                           const std::string& condition_col,
                           const std::optional<TextList>& conditions);

// ---- compute: panels and their tests ----

// One panel: its values per group, and what it compares.
struct PanelValues {
  std::string feature;   // gene, ligand-receptor pair or cell type
  std::string celltype;  // the panel's cell type ("all cells", "source → target") or empty
  std::vector<std::vector<double>> values;  // per group
};
// The panels of a figure and every pairwise comparison of their groups; p-values adjusted
// across the figure once the panels are complete.
struct PanelComparisons {
  std::vector<PanelValues> panels;
  std::vector<Comparison> comparisons;
};
// Appends `panel` and the comparisons of every pair of its groups by `test`.
void add_panel(PanelComparisons& out, PanelValues panel, const std::string& test);

// The violin: per gene and cell type, the values of the admitted cells of each group.
struct ViolinStats : PanelComparisons {
  size_t n_cells = 0;  // cells drawn (in each gene's panels)
};
ViolinStats compute_violin_stats(const ExpressionSelection& sel, const ViolinGroups& g,
                                 const std::string& test, const std::string& correction);

// The gene box plot: per gene, cell type and sample, the mean over the sample's cells of the
// type (samples without such cells have no mean).
struct SampleMean {
  std::string gene, celltype, sample, group;
  long long n_cells = 0;
  double mean = 0;
};
struct BoxGeneStats : PanelComparisons {
  std::vector<SampleMean> per_sample;  // in panel order, samples in category order
};
BoxGeneStats compute_box_gene_stats(const ExpressionSelection& sel, const SampleGroups& sg,
                                    const std::string& test, const std::string& correction);

// The population box plot: which cell types, and optionally the parent level whose cells
// are the denominator.
struct PopulationSelection {
  SampleGroups samples;
  std::string celltype_col;
  Categories celltypes;        // obs[celltype_col]
  std::vector<int32_t> shown;  // chosen cell types (codes); empty: every type with cells
  std::optional<std::string> parent_col;
  Categories parents;  // obs[parent_col] when given
};
// Per cell type and sample, its share of the sample's cells (or of the cells of its parent
// type: the parent most of the type's cells have) in percent.
struct SampleShare {
  std::string celltype, sample, group;
  long long n_cells = 0, total = 0;  // cells of the type; of the sample (or parent type)
  double percent = 0;
};
struct BoxPopulationStats : PanelComparisons {
  std::vector<std::optional<std::string>> panel_parents;  // per panel: its parent type
  std::vector<SampleShare> per_sample;
};
// ValueError when more cell types than fit one figure are shown.
BoxPopulationStats compute_box_population_stats(const PopulationSelection& sel,
                                                const std::string& test,
                                                const std::string& correction);

// The interaction box plot: per-sample scores of ligand-receptor pairs between cell types
// (uns['CCI_sample']).
struct CciKey {
  std::string pair, source, target;
  bool operator<(const CciKey& o) const {
    return std::tie(pair, source, target) < std::tie(o.pair, o.source, o.target);
  }
};
struct CciSelection {
  SampleGroups samples;
  std::map<CciKey, std::map<size_t, double>> scores;  // per sample code
  std::set<size_t> used_samples;                      // samples with a table, in a group
  // The interactions chosen (a pair chosen, its source and target among those chosen).
  std::set<std::string> sources, targets, pairs;  // empty sources / targets: all
  bool chosen(const CciKey& k) const;
};
struct SampleScore {
  std::string feature, celltype, sample, group;  // celltype: "source → target"
  double score = 0;
};
struct BoxCciStats : PanelComparisons {
  size_t n_candidates = 0;  // chosen interactions; the strongest kMaxCciPanels are panels
  std::vector<SampleScore> per_sample;
};
constexpr size_t kMaxCciPanels = 12;
// A pair absent from a sample's table was not detected there: it scores 0. ValueError when
// no chosen interaction occurs.
BoxCciStats compute_box_cci_stats(const CciSelection& sel, const std::string& test,
                                  const std::string& correction);

}  // namespace norvex::detail
