// The configuration record classes of the built-in tools: fields, annotations, defaults.
#include <map>

#include "norvex/common/errors.hpp"
#include "norvex/analysis_tools/builtin_tools.hpp"

namespace norvex::detail {

namespace {

using F = RecordClass::Field;
const json kNone = nullptr;

std::map<std::string, std::shared_ptr<const RecordClass>>& table() {
  static std::map<std::string, std::shared_ptr<const RecordClass>> t;
  return t;
}

void add(std::string name, std::vector<F> fields) {
  auto cls = std::make_shared<RecordClass>();
  cls->name = name;
  cls->fields = std::move(fields);
  table()[name] = cls;
  register_record_class(cls);
}

}  // namespace

void register_record_classes() {
  // ---- UMAP ----
  add("UMAPEmbedConfig", {
                             F{"basis", "str", "X_umap"},
                             F{"celltype_col", "str", "celltype_major"},
                             F{"celltypes", "Optional[list[str]]", kNone},
                             F{"condition_col", "str", "condition"},
                             F{"conditions", "Optional[list[str]]", kNone},
                             F{"layer", "Optional[str]", kNone},
                         });
  add("UMAPPlotConfig", {
                            F{"color_by", "Optional[str]", kNone},
                            F{"legend_loc", "str", "right margin"},
                            F{"point_size", "Optional[float]", kNone},
                            F{"cmap", "str", "viridis"},
                            F{"vmax_quantile", "float", 0.99},
                            F{"title", "Optional[str]", kNone},
                            F{"width", "float", 8.0},
                            F{"height", "float", 6.0},
                        });
  // ---- cell-type population ----
  add("PopulationComputeConfig", {
                                     F{"celltype_col", "str", "celltype_major"},
                                     F{"group_by", "str", "condition"},
                                     F{"condition_col", "str", "condition"},
                                     F{"sample_col", "str", "sample"},
                                     F{"celltypes", "Optional[list[str]]", kNone},
                                     F{"groups", "Optional[list[str]]", kNone},
                                 });
  add("PopulationPlotConfig", {
                                  F{"show_percent_labels", "bool", true},
                                  F{"show_counts", "bool", true},
                                  F{"title", "Optional[str]", kNone},
                                  F{"width", "float", 8.0},
                                  F{"height", "float", 5.5},
                              });
  // ---- differential expression ----
  add("DEGComputeConfig", {
                              F{"deg_key", "str", "DEG"},
                              F{"celltype", "Optional[str]", kNone},
                              F{"comparison", "Optional[str]", kNone},
                              F{"n_top", "int", 10},
                              F{"rank_by", "str", "scores"},
                              F{"pval_adj_cutoff", "float", 0.05},
                              F{"min_abs_logfc", "float", 0.25},
                          });
  add("DEGPlotConfig", {
                           F{"plot_type", "str", "ranking"},
                           F{"label_top_n", "int", 10},
                           F{"title", "Optional[str]", kNone},
                           F{"width", "float", 7.5},
                           F{"height", "float", 6.0},
                       });
  // ---- tools not built yet: their records exist so arguments can be planned and kept ----
  add("GSAComputeConfig", {
                              F{"gsa_key", "str", "GSA_up"},
                              F{"celltype", "Optional[str]", kNone},
                              F{"comparison", "Optional[str]", kNone},
                              F{"n_top", "int", 10},
                              F{"pval_cutoff", "float", 0.05},
                          });
  add("GSABarPlotConfig",
      {F{"title", "Optional[str]", kNone}, F{"width", "float", 8.0}, F{"height", "float", 6.0}});
  add("GSADotPlotConfig",
      {F{"title", "Optional[str]", kNone}, F{"width", "float", 8.0}, F{"height", "float", 6.0}});
  add("CCIComputeConfig", {
                              F{"cci_key", "str", "CCI"},
                              F{"condition", "Optional[str]", kNone},
                              F{"source_celltypes", "Optional[list[str]]", kNone},
                              F{"target_celltypes", "Optional[list[str]]", kNone},
                              F{"n_top", "int", 20},
                              F{"pval_cutoff", "float", 0.05},
                          });
  add("CCIDotPlotConfig",
      {F{"title", "Optional[str]", kNone}, F{"width", "float", 9.0}, F{"height", "float", 7.0}});
  add("CNVComputeConfig", {
                              F{"groupby", "str", "celltype_major"},
                              F{"celltypes", "Optional[list[str]]", kNone},
                          });
  add("CNVHeatmapStyle", {
                             F{"cmap", "str", "bwr"},
                             F{"vmin", "Optional[float]", kNone},
                             F{"vmax", "Optional[float]", kNone},
                             F{"width", "float", 10.0},
                             F{"height", "float", 6.0},
                         });
  add("CNVDataKeys", {F{"obsm_key", "str", "X_cnv"}, F{"uns_key", "str", "cnv"}});
  add("MarkerFindConfig", {
                              F{"celltype_col", "str", "celltype_major"},
                              F{"n_top", "int", 5},
                              F{"method", "str", "wilcoxon"},
                          });
  add("MarkerPlotConfig", {
                              F{"standard_scale", "Optional[str]", "var"},
                              F{"title", "Optional[str]", kNone},
                              F{"width", "float", 9.0},
                              F{"height", "float", 6.0},
                          });
  add("ViolinSignifTestConfig", {
                                    F{"group_by", "str", "condition"},
                                    F{"test", "str", "mannwhitneyu"},
                                    F{"correction", "str", "fdr_bh"},
                                });
  add("GeneSelectConfig",
      {F{"target_genes", "Optional[list[str]]", kNone}, F{"layer", "Optional[str]", kNone}});
  add("ViolinPlotStyle", {
                             F{"show_points", "bool", false},
                             F{"title", "Optional[str]", kNone},
                             F{"width", "float", 8.0},
                             F{"height", "float", 5.0},
                         });
  add("ObsFilter", {
                       F{"celltype_col", "str", "celltype_major"},
                       F{"celltypes", "Optional[list[str]]", kNone},
                       F{"condition_col", "str", "condition"},
                       F{"conditions", "Optional[list[str]]", kNone},
                   });
  add("SignifTestConfig", {
                              F{"group_by", "str", "condition"},
                              F{"test", "str", "mannwhitneyu"},
                              F{"correction", "str", "fdr_bh"},
                          });
  add("FeatureSelectConfig",
      {F{"features", "Optional[list[str]]", kNone}, F{"layer", "Optional[str]", kNone}});
  add("BoxPlotStyle", {
                          F{"show_points", "bool", true},
                          F{"title", "Optional[str]", kNone},
                          F{"width", "float", 8.0},
                          F{"height", "float", 5.0},
                      });
}

std::shared_ptr<const RecordClass> builtin_class(const std::string& name) {
  auto it = table().find(name);
  if (it == table().end()) throw key_error(name);
  return it->second;
}

void register_builtin_tools() {
  register_record_classes();
  register_plot_umap();
  register_plot_celltype_population();
  register_plot_degs_gene_ranking();
  register_pending_tools();
}

}  // namespace norvex::detail
