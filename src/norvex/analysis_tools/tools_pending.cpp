// Tools whose analyses are not built yet. They are registered with their arguments, record
// classes, schemas and function definitions so routing and planning treat them like the others;
// calling one raises a clear RuntimeError instead of producing a wrong figure.
#include "norvex/common/errors.hpp"
#include "norvex/analysis_tools/builtin_tools.hpp"
#include "norvex/analysis_tools/tool_common.hpp"

namespace norvex::detail {

namespace {

// A schema for a record class straight from its field annotations.
json schema_from_class(const RecordClass& cls) {
  json props = json::object();
  for (const auto& f : cls.fields) {
    std::string t = f.type;
    if (t.rfind("Optional[", 0) == 0) t = t.substr(9, t.size() - 10);
    json p;
    if (t == "str")
      p = json{{"type", "string"}};
    else if (t == "int")
      p = json{{"type", "integer"}};
    else if (t == "float")
      p = json{{"type", "number"}};
    else if (t == "bool")
      p = json{{"type", "boolean"}};
    else if (t == "list[str]")
      p = json{{"type", "array"}, {"items", {{"type", "string"}}}};
    else
      continue;
    if (!f.default_value.is_null()) p["description"] = "Default: " + f.default_value.dump() + ".";
    props[f.name] = p;
  }
  return schema_object(props, cls.name + ".");
}

struct Pending {
  std::string name;
  std::vector<std::pair<std::string, std::string>> records;  // argument -> class
  bool takes_genes;
  std::string spec;
};

void register_pending(const Pending& p) {
  ToolRegistration r;
  r.name = p.name;
  const std::string name = p.name;
  r.function.fn = [name](AnnData&, const json&) -> json {
    throw RuntimeError("Tool '" + name +
                       "' is not available yet in this version of norvex. Available tools: "
                       "plot_umap, plot_celltype_population, plot_degs_gene_ranking.");
  };
  json props = json::object();
  if (p.takes_genes) {
    r.function.param_names.push_back("target_genes");
    r.function.param_defaults["target_genes"] = nullptr;
    props["target_genes"] =
        schema_string_list("Concrete gene symbols for the species in DATA CONTEXT.");
  }
  std::vector<std::string> allowed;
  if (p.takes_genes) allowed.push_back("target_genes");
  allowed.push_back("show");
  for (const auto& [arg, cls_name] : p.records) {
    auto cls = builtin_class(cls_name);
    r.function.param_names.push_back(arg);
    r.config.classes[arg] = cls;
    props[arg] = schema_from_class(*cls);
  }
  r.function.param_names.push_back("show");
  r.config.allowed_kwargs = allowed;
  r.definition = "Tool: " + p.name + "\n" + p.spec +
                 "\n(This tool is not available yet; plan its arguments as usual.)";
  r.args_schema = schema_object(props);
  register_tool(std::move(r));
}

}  // namespace

void register_pending_tools() {
  const std::vector<Pending> tools = {
      {"plot_gsea_go",
       {{"compute_cfg", "GSAComputeConfig"},
        {"bar_cfg", "GSABarPlotConfig"},
        {"dot_cfg", "GSADotPlotConfig"}},
       false,
       "Shows precomputed GO over-representation (uns['GSA_up'], uns['GSA_vs_ref_up']) or GSEA "
       "(uns['GSEA'], uns['GSEA_vs_ref']) results for one cell type and comparison as bar and dot "
       "plots of the top terms. compute_cfg.gsa_key names the result, celltype and comparison "
       "select the table (values as in DATA CONTEXT)."},
      {"plot_cci_dots",
       {{"compute_cfg", "CCIComputeConfig"}, {"plot_cfg", "CCIDotPlotConfig"}},
       true,
       "Dot plot of cell-cell interactions (CellPhoneDB, uns['CCI'] per condition or "
       "uns['CCI_sample'] per sample): ligand-receptor pairs between source and target cell "
       "types, dot size by significance, colour by mean expression. target_genes restricts the "
       "pairs to those involving these genes."},
      {"plot_cnv_heatmap",
       {{"compute_cfg", "CNVComputeConfig"},
        {"style", "CNVHeatmapStyle"},
        {"data_keys", "CNVDataKeys"}},
       false,
       "Heatmap of inferred copy-number variation (obsm['X_cnv']) by genomic position, cells "
       "grouped by cell type (compute_cfg.groupby), to tell tumour from normal cells."},
      {"plot_markers_and_expression_dot",
       {{"find_cfg", "MarkerFindConfig"}, {"plot_cfg", "MarkerPlotConfig"}},
       true,
       "Dot plot of marker genes per cell type: dot size is the percent of expressing cells, "
       "colour the mean expression. With target_genes the given genes are shown; otherwise "
       "the top markers of each cell type are found (find_cfg)."},
      {"plot_violin_for_gene_expression_with_signif_difference",
       {{"test_cfg", "ViolinSignifTestConfig"},
        {"gene_cfg", "GeneSelectConfig"},
        {"style", "ViolinPlotStyle"},
        {"obs_filter", "ObsFilter"}},
       true,
       "Violin plots of gene expression between conditions (or another obs grouping) within "
       "selected cell types, with significance tests between groups."},
      {"plot_box_for_gene_expression_with_signif_difference",
       {{"test_cfg", "SignifTestConfig"},
        {"gene_cfg", "FeatureSelectConfig"},
        {"style", "BoxPlotStyle"},
        {"obs_filter", "ObsFilter"}},
       true,
       "Box plots of per-sample mean gene expression between conditions within selected cell "
       "types, with significance tests."},
      {"plot_box_for_cci_with_signif_difference",
       {{"test_cfg", "SignifTestConfig"},
        {"feature_cfg", "FeatureSelectConfig"},
        {"style", "BoxPlotStyle"}},
       true,
       "Box plots of per-sample interaction strength (uns['CCI_sample']) for selected "
       "ligand-receptor pairs between conditions, with significance tests."},
      {"plot_box_for_celltype_population_with_signif_difference",
       {{"test_cfg", "SignifTestConfig"}, {"style", "BoxPlotStyle"}, {"obs_filter", "ObsFilter"}},
       false,
       "Box plots of per-sample cell-type proportions between conditions with significance "
       "tests (population changes tested across samples)."},
      {"plot_sankey",
       {{"obs_filter", "ObsFilter"}},
       false,
       "Sankey diagram of how cells flow between annotation levels (celltype_major -> "
       "celltype_minor -> celltype_subset) or between conditions, as an interactive HTML plot."},
  };
  for (const auto& p : tools) register_pending(p);
}

}  // namespace norvex::detail
