#pragma once
// Showing a request's artefacts in the notebook. The assistant's own display methods
// (display_plot_img_base64, display_table_summaries, display_explanation,
// show_tree_partial) are declared in assistant/norvex.hpp; these are the free functions.
#include <string>

#include "norvex/common/json.hpp"

namespace norvex {

// Places the reproduction code in the next input cell: `spec_res[key]` of a mapping, or
// the text itself; otherwise (or when that value is null) prints
// "❌ ERROR: Code snippet not available.".
void show_code_snippet(const json& spec_res, const std::string& key = "plot_code");

// Shows one value as the notebook's display() would: a result table as an HTML table,
// anything else as JSON.
void display_value(const json& value);

}  // namespace norvex
