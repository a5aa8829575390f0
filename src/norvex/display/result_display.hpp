#pragma once
// Showing a request's artefacts in the notebook: plots, result tables with their Excel
// download, explanations with their Word download, reproduction code and the dataset tree.
#include <optional>
#include <string>

#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

// Places the reproduction code in the next input cell: `spec_res[key]` of a mapping, or
// the text itself; otherwise (or when that value is null) prints
// "❌ ERROR: Code snippet not available.".
void show_code_snippet(NotebookHost& host, const json& spec_res,
                       const std::string& key = "plot_code");

// Shows one value as the notebook's display() would: a result table as an HTML table,
// anything else as JSON.
void display_value(NotebookHost& host, const json& value);

// The plot of a result: its interactive HTML when it has one, else its images merged into
// one grid.
void display_plot_img_base64(NotebookHost& host, const json& plot_result);
// The result's tables (one table, or a mapping of them, or of mappings of them), then one
// Excel download holding them all.
void display_table_summaries(NotebookHost& host, const json& plot_result,
                             const std::string& table_name = "table");
// The explanation; with an image and a title, also its Word download.
void display_explanation(NotebookHost& host, const json& explanation_text,
                         const json& img_b64 = nullptr,
                         const std::optional<std::string>& title = std::nullopt);
// The dataset tree: whole for "not_specified", else the result groups of one kind ("deg",
// "go", "gsea", "cci").
void show_dataset_tree(NotebookHost& host, AnnData& adata, const std::string& tree_target);

}  // namespace norvex
