#pragma once
// Compact summaries of the history for the model that picks an earlier transaction. The
// model sees only routing fields, never images or tables, and answers with a position that
// is resolved back with get_tx_by_id (tx_values.hpp).
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

// One summary per transaction among the first `max_items` (most recent first) that has a
// non-empty routing record and a "plot_result": tx_id (its position), plot_type_to_draw,
// reference_plot_type, target_celltype, selected_tool, user_query (shortened to
// `max_query_len`) and has_plot, in that order; empty values are left out. `max_items` and
// `max_query_len` may be any number (truncated); TypeError naming the argument otherwise.
json summarize_transactions(const std::vector<json>& tx_list_recent_first,
                            const json& max_items = 30, const json& max_query_len = 200);

// The selector's user message: the task, the current routing record, the first
// `max_candidates` summaries, the answer schema and the matching guidance, as JSON text
// indented by two spaces with non-ASCII text kept.
std::string format_tx_summaries_for_llm(const json& current_router_res, const json& tx_summaries,
                                        const json& selection_schema,
                                        const json& max_candidates = 12);

// A timestamp as ISO-8601 text: seconds since the epoch (local time), or text in one of the
// common forms ("20240305T10:11:12", "20240305T101112", "2024-3-05 10:00:00"); text that
// already starts with a date, or that no form reads, comes back stripped. Null for null
// and for values of other kinds.
json to_iso(const json& ts);

}  // namespace norvex
