#include "norvex/analysis_tools/builtin_tools.hpp"

namespace norvex::detail {

// Each tool lives in one file with its parameter table and run function (params.hpp), and
// is registered here. Registry order is the order the tools are listed to the models.
void register_plot_umap();                 // tool_umap.cpp
void register_plot_celltype_population();  // tool_population.cpp
void register_plot_degs_gene_ranking();    // tool_degs.cpp
void register_pending_tools();             // tools_pending.cpp: not built yet

void register_builtin_tools() {
  register_plot_umap();
  register_plot_celltype_population();
  register_plot_degs_gene_ranking();
  register_pending_tools();
}

}  // namespace norvex::detail
