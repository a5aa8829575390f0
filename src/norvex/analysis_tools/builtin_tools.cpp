#include "norvex/analysis_tools/builtin_tools.hpp"

namespace norvex::detail {

// Each tool lives in one file with its parameter table and run function (params.hpp), and
// is registered here. Registry order is the order the tools are listed to the models.
void register_plot_umap();                        // tool_umap.cpp
void register_plot_celltype_population();         // tool_population.cpp
void register_plot_degs_gene_ranking();           // tool_degs.cpp
void register_plot_gsea_go();                     // tool_gsea_go.cpp
void register_plot_cci_dots();                    // tool_cci_dots.cpp
void register_plot_cnv_heatmap();                 // tool_cnv_heatmap.cpp
void register_plot_markers_and_expression_dot();  // tool_markers.cpp
void register_plot_violin();                      // tool_violin.cpp
void register_box_plots();                        // tool_box_plots.cpp
void register_plot_sankey();                      // tool_sankey.cpp

void register_builtin_tools() {
  register_plot_umap();
  register_plot_celltype_population();
  register_plot_degs_gene_ranking();
  register_plot_gsea_go();
  register_plot_cci_dots();
  register_plot_cnv_heatmap();
  register_plot_markers_and_expression_dot();
  register_plot_violin();
  register_box_plots();
  register_plot_sankey();
}

}  // namespace norvex::detail
