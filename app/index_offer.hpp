#pragma once
// The gene index from the front ends: building it with a progress line, and offering it
// when a tool is about to read genes from a large cell-major file that has none.
#include <functional>
#include <string>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/host/host.hpp"

namespace norvex::app {

// Builds the index, printing "✅ Building the gene index .. 10% 20% ... done (S.SS)" and
// then the index file's path and size.
void build_index_with_progress(const AnnData& adata, NotebookHost& host);

// Whether a tool's arguments name genes to read (a non-empty value under a key that
// mentions genes, at any depth).
bool reads_genes(const json& kwargs);

// The tools, each first offering the index (once per session, on the host `host` gives at
// that moment) when it is about to read genes and gene_index_wanted holds.
ToolFuncs offering_gene_index(ToolFuncs tools, std::function<NotebookHost&()> host);

}  // namespace norvex::app
