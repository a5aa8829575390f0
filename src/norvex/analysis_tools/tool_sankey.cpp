// Not built yet: registered with its parameter table and function definition so routing
// and planning treat it like the others; calling it raises a clear RuntimeError instead of
// producing a wrong figure (register_pending_tool). Building it: replace
// register_pending_tool with register_tool and a run function.
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"

namespace norvex::detail {

namespace {

// ---- plot_sankey ----
struct SankeyArgs {
  ObsFilter obs_filter;
};

}  // namespace

void register_plot_sankey() {
  register_pending_tool(
      "plot_sankey",
      "Sankey diagram of how cells flow between annotation levels (celltype_major -> "
      "celltype_minor -> celltype_subset) or between conditions, as an interactive HTML plot.",
      ToolParams<SankeyArgs>({
          record(&SankeyArgs::obs_filter, "obs_filter", obs_filter_params()),
      }));
}

}  // namespace norvex::detail
