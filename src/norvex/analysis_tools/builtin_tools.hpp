#pragma once
// Registration of the built-in tools and record classes (internal to the registry).
#include <memory>
#include <string>

#include "norvex/analysis_tools/registry.hpp"

namespace norvex::detail {

// Registers every built-in record class and tool; called once, on first use of the maps.
void register_builtin_tools();

void register_record_classes();
// The built-in record class of that name (KeyError when unknown).
std::shared_ptr<const RecordClass> builtin_class(const std::string& name);

void register_plot_umap();
void register_plot_celltype_population();
void register_plot_degs_gene_ranking();
void register_pending_tools();

}  // namespace norvex::detail
