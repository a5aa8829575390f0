#pragma once
// Pieces of the rerun-with-changes flow that are plain values: the patch model's input and
// what a reused transaction shows when the selector does not say.
#include <string>

#include "norvex/common/json.hpp"

namespace norvex {

// The patch model's user message: base_router, base_user_query, new_user_query,
// selected_tool, base_plot_params (in that order), empty values replaced by {}, "" or
// "none"; JSON indented by two spaces, non-ASCII kept. TypeError naming the argument when
// base_router is not a plain mapping or null, or a query or the tool is not text or null.
std::string build_patch_payload(const json& base_router, const json& base_user_query,
                                const json& new_user_query, const json& selected_tool,
                                const json& base_plot_params = nullptr);

// The eight follow-up flags for reusing `base_tx_full` as it is: show its plot and
// arguments (when it has a plot result), its table and code (when it has them), nothing else.
json default_user_request_for_reuse(const json& base_tx_full);

}  // namespace norvex
