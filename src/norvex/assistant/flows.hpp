#pragma once
// The request flows: planning a tool's arguments, pathway gene selection, explanations,
// the fresh request, follow-ups, saving, and the ask driver that chooses among them. Each
// takes the Session it works in; the assistant object forwards to these.
#include <optional>
#include <string>

#include "norvex/assistant/answers.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/assistant/session.hpp"
#include "norvex/common/json.hpp"

namespace norvex::flows {

// The planner call: the tool's arguments for the question, with `extra_overrides` merged
// over the answer. Nothing (after reporting why) when the tool has no schema or the call
// fails.
std::optional<LLMResult> generate_parameters(Session& s, const std::string& target_function_name,
                                             const std::string& user_query,
                                             const ParameterOptions& options = {});

// A named pathway resolved against uns['Pathways_DB'] into the genes that drive the tool.
PathwaySelection gene_selection_from_pathway_db(Session& s, const json& user_query,
                                                const json& pathway_phrase, long long total_usage);

// The model's reading of a result, with its images attached; nothing without images.
std::optional<LLMResult> explain_analysis_result(Session& s, const json& target_tool,
                                                 const json& ai_args, const json& result_data,
                                                 const json& user_query);
LLMResult explain_in_general_sense(Session& s, const json& user_query);
// Explains a plot result and (when `show`) renders it with its Word download.
ExplanationResult generate_and_display_explanation(Session& s, const json& user_query,
                                                   const json& target_function_name,
                                                   const json& ai_generated_args,
                                                   const json& plot_result, long long total_usage,
                                                   bool show = true);

// Plans, materialises and runs the routed tool for a new request: plot_func, plot_params,
// plot_result and plot_code into `res_to_user`, the tokens spent added to `total_usage`.
void run_fresh_request(Session& s, const RouterDecision& decision, json& res_to_user,
                       long long& total_usage);
// The same over a routing record, as callers outside the driver hold it.
FlowResult processing_initial_request(Session& s, const json& router_spec, json& res_to_user,
                                      long long total_usage, bool verbose = false);

// Follow-ups on earlier transactions.
RecurrentResult processing_recurrent_request(Session& s, const json& router_spec, json& res_to_user,
                                             long long total_usage, bool verbose = false,
                                             bool select_tx_only = false);
// The earlier transaction's tool planned again with the changes the patch model finds in
// the new question.
RerunPlan plan_rerun(Session& s, const json& base_tx_full, const json& new_user_query);
json rerun_with_changes_flow(Session& s, const json& base_tx_full, const json& new_user_query,
                             bool verbose = true);

// Stores a history transaction (the selected one, or the one the selector picks) in the
// dataset's saved store, explaining it first when it has no explanation yet.
void save_transaction(Session& s, const json& spec, json& res_to_user, bool verbose = false,
                      const json& selected_tx_id = nullptr);

// One question end to end; the result mapping, or null when the request ended early.
// `last_tx` receives the routing record.
json ask(Session& s, json& last_tx, const json& user_query);

}  // namespace norvex::flows
