#include "norvex/analysis_tools/comparison_steps.hpp"

#include <algorithm>

#include "norvex/common/errors.hpp"

namespace norvex::detail {

std::string ExpressionSelection::panel_celltype(size_t k) const {
  return chosen.empty() ? "all cells" : celltypes.categories[chosen[k]];
}

int32_t ExpressionSelection::panel_of_cell(size_t i) const {
  const int32_t c = celltypes.codes[i];
  return c < 0 ? -1 : panel_of_celltype[c];
}

TextList requested_genes(const std::optional<TextList>& first,
                         const std::optional<TextList>& second) {
  TextList requested;
  for (const auto* list : {&first, &second})
    if (*list) requested.insert(requested.end(), (*list)->begin(), (*list)->end());
  if (requested.empty())
    throw ValueError("No genes given: set target_genes to the gene symbols to compare");
  return requested;
}

void select_genes(ExpressionSelection& sel, const AnnData& adata, const TextList& requested,
                  const std::optional<std::string>& layer, std::optional<bool> use_raw,
                  Warnings& warnings) {
  sel.source = expression_source(adata, layer, use_raw);
  sel.genes = resolve_genes(requested, source_gene_names(adata, sel.source),
                            sel.source.raw ? "raw var names" : "var names", warnings);
}

void select_celltype_panels(ExpressionSelection& sel, const ObsFilter& f) {
  const Categories& cts = sel.celltypes;
  sel.chosen.clear();
  if (f.celltypes)
    for (auto& m : match_values(*f.celltypes, cts.categories, f.celltype_col + " value(s)"))
      if (std::find(sel.chosen.begin(), sel.chosen.end(), cts.find(m)) == sel.chosen.end())
        sel.chosen.push_back(cts.find(m));
  sel.panel_of_celltype.assign(cts.categories.size(), sel.chosen.empty() ? 0 : -1);
  for (size_t k = 0; k < sel.chosen.size(); ++k)
    sel.panel_of_celltype[sel.chosen[k]] = static_cast<int32_t>(k);
}

void load_expression(ExpressionSelection& sel, const AnnData& adata) {
  sel.expression = source_expression(adata, sel.source, sel.genes);
}

SampleGroups sample_groups(const AnnData& adata, const SignifTestConfig& test,
                           const std::string& condition_col,
                           const std::optional<TextList>& conditions) {
  SampleGroups sg;
  sg.group_col = group_column(adata, test.group_by, condition_col);
  if (!adata.obs.has(test.sample_col)) {
    const auto close = close_choices(test.sample_col, adata.obs.columns());
    throw KeyError("'" + test.sample_col + "' is not an obs column (test_cfg.sample_col names " +
                   "the samples). " +
                   (close.empty() ? "" : "Close obs columns: " + join_limited(close) + ". ") +
                   "Obs columns: " + join_limited(adata.obs.columns()));
  }
  if (sg.group_col == test.sample_col)
    throw ValueError(
        "test_cfg.group_by is the sample column itself: samples are the unit "
        "compared, so group them by a condition-like column");
  sg.samples = obs_categories(adata, test.sample_col);
  const Categories grp = obs_categories(adata, sg.group_col);
  std::vector<int32_t> order_of(grp.categories.size(), -1);
  std::vector<std::string> wanted;
  if (conditions && sg.group_col == condition_col)
    wanted = match_values(*conditions, grp.categories, sg.group_col + " value(s)");
  std::vector<std::map<int32_t, long long>> tally(sg.samples.categories.size());
  for (size_t i = 0; i < grp.codes.size(); ++i)
    if (sg.samples.codes[i] >= 0 && grp.codes[i] >= 0) ++tally[sg.samples.codes[i]][grp.codes[i]];
  // Samples are the unit: a column such as a cell-cycle phase, with several values in one
  // sample, has no value per sample to group by (a majority vote would hide that).
  for (size_t s = 0; s < tally.size(); ++s)
    if (tally[s].size() > 1) {
      std::vector<std::string> seen;
      for (auto& [g, n] : tally[s]) seen.push_back("'" + grp.categories[g] + "'");
      throw ValueError("obs['" + sg.group_col + "'] varies within samples (sample '" +
                       sg.samples.categories[s] + "' has cells of " + join_limited(seen, 5) +
                       "): box plots compare samples, so group them by a column with one value "
                       "per sample, such as the condition");
    }
  std::vector<int32_t> major(tally.size(), -1);
  std::set<int32_t> present;
  for (size_t s = 0; s < tally.size(); ++s) {
    long long best = 0;
    for (auto& [g, n] : tally[s])
      if (n > best) best = n, major[s] = g;
    if (major[s] >= 0) present.insert(major[s]);
  }
  if (!wanted.empty()) {
    for (auto& w : wanted) {
      const int32_t code = grp.find(w);
      if (order_of[code] < 0) {
        order_of[code] = static_cast<int32_t>(sg.groups.size());
        sg.groups.push_back(w);
      }
    }
  } else {
    for (int32_t g : present) {
      order_of[g] = static_cast<int32_t>(sg.groups.size());
      sg.groups.push_back(grp.categories[g]);
    }
  }
  sg.group_of_sample.assign(tally.size(), -1);
  for (size_t s = 0; s < tally.size(); ++s)
    if (major[s] >= 0) sg.group_of_sample[s] = order_of[major[s]];
  if (sg.groups.empty()) throw ValueError("No samples belong to the requested groups");
  return sg;
}

void add_panel(PanelComparisons& out, PanelValues panel, const std::string& test) {
  compare_groups(out.comparisons, out.panels.size(), panel.feature, panel.celltype, panel.values,
                 test);
  out.panels.push_back(std::move(panel));
}

}  // namespace norvex::detail
