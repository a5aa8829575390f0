#pragma once
// The assistant object. One class, as users know it; its methods are implemented by the
// subsystem folders that own them (core: construction and model access; routing: ask;
// tools: planning and explanations; history: transactions and follow-ups; display).
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/history/transaction_history.hpp"
#include "norvex/llm/client.hpp"

namespace norvex {

// The record every model call returns.
struct LLMResult {
  json content;                 // text or parsed JSON value
  json usage = json::object();  // {"input_tokens", "output_tokens", "total_tokens"}
  json raw;                     // service response, or {"attempts": n}
  std::string provider;         // "gemini" or "openai"
  std::string model;
};

// The dataset argument: nothing (unusable), a path to an .h5ad file, or a dataset object
// (adopted, not copied).
using DatasetArg = std::variant<std::monostate, std::string, std::shared_ptr<AnnData>>;

struct AssistantOptions {
  std::optional<std::string> api_key;
  std::string model_to_use = "gpt-5";
  DatasetArg adata;
  std::optional<ToolFuncs> tool_funcs;
  std::optional<ToolDefaults> tool_defaults;  // must be a mapping when given
  std::optional<ToolConfigMap> tool_config_map;
  json max_retries = 1;  // a number; truncated to an integer
  bool rem_router = true;
  // Service endpoint override (tests, gateways, self-hosted servers speaking the same API).
  std::optional<std::string> base_url;
};

// Keyword arguments of ask_inner and the adapters.
struct AskOptions {
  json schema;  // JSON-schema mapping or null
  std::string system_message;
  std::string data_context;
  json images_base64;     // null or list of base64 texts / data URLs
  json extra_text_parts;  // null, one text, or a list of values
  std::string image_mime = "image/png";
};

struct JsonCallOptions {
  json schema;  // required mapping
  std::string system_message;
  std::string data_context;
  json max_retries = 2;
};

struct ParameterOptions {
  json extra_overrides;  // mapping or null
  std::optional<std::string> extra_context;
};

// (res_to_user, total_usage) as the flows return it.
struct FlowResult {
  json res_to_user;
  long long total_usage = 0;
};

// (res_to_user, total_usage, selected_tx_id, user_request) of the follow-up flow.
struct RecurrentResult {
  json res_to_user;
  long long total_usage = 0;
  json selected_tx_id;  // as the selector answered it (text, integer or null)
  json user_request;
};

// (explanation, report document, total_usage).
struct ExplanationResult {
  json explanation;                   // text or null
  std::optional<std::string> report;  // .docx bytes, or none
  long long total_usage = 0;
};

// (genes, chosen pathway, total_usage).
struct PathwaySelection {
  std::vector<std::string> genes;
  std::string pathway;
  long long total_usage = 0;
};

class norvex {
 public:
  explicit norvex(const AssistantOptions& options = {});

  // (Re)configures key, model, dataset, client, data context and tool maps; keeps t_hist
  // and last_tx. The default model here is "gemini-2.5-flash".
  void set_api_key(const std::optional<std::string>& api_key,
                   const std::string& model_to_use = "gemini-2.5-flash", DatasetArg adata = {},
                   std::optional<ToolFuncs> tool_funcs = std::nullopt,
                   std::optional<ToolDefaults> tool_defaults = std::nullopt,
                   std::optional<ToolConfigMap> tool_config_map = std::nullopt,
                   json max_retries = 1, bool rem_router = true,
                   std::optional<std::string> base_url = std::nullopt);
  void write_h5ad(const std::string& file_name) const;

  // ---- model calls ----
  std::string _combine_role(const json& system_message = "", const json& data_context = "") const;
  std::string _build_prompt(const json& user_query, const json& role = "") const;
  json _normalize_images(const json& images_base64) const;
  json _normalize_text_parts(const json& text_parts) const;
  json _norm_usage_gemini(const json& resp) const;
  json _norm_usage_openai(const json& usage_obj) const;
  LLMResult _ask_gemini(const std::string& user_query, const std::string& role = "",
                        const json& schema = nullptr, const AskOptions& options = {});
  LLMResult _ask_gpt(const std::string& user_query, const std::string& role = "",
                     const json& schema = nullptr, const AskOptions& options = {});
  LLMResult ask_inner(const std::string& user_query, const AskOptions& options = {});
  LLMResult _json_enforced_call(const std::string& user_query, const JsonCallOptions& options);

  // ---- tools: planning, execution, explanations ----
  std::optional<LLMResult> explain_analysis_result(const json& target_tool, const json& ai_args,
                                                   const json& result_data, const json& user_query);
  LLMResult explain_in_general_sense(const json& user_query);
  std::optional<LLMResult> generate_parameters(const std::string& target_function_name,
                                               const std::string& user_query,
                                               const ParameterOptions& options = {});
  PathwaySelection gene_selection_from_pathway_db(const json& user_query,
                                                  const json& pathway_phrase,
                                                  const json& total_usage = 0);
  ExplanationResult generate_and_display_explanation(const json& user_query,
                                                     const json& target_function_name,
                                                     const json& ai_generated_args,
                                                     const json& plot_result,
                                                     const json& total_usage, bool show = true);
  FlowResult processing_initial_request(const json& router_spec, json& res_to_user,
                                        const json& total_usage = 0, bool verbose = false);

  // ---- display ----
  void display_table_summaries(const json& plot_result, const std::string& table_name = "table");
  void display_explanation(const json& explanation_text, const json& img_b64 = nullptr,
                           const std::optional<std::string>& title = std::nullopt);
  void display_plot_img_base64(const json& plot_result);
  void show_tree_partial(const json& spec);

  // ---- routing ----
  bool check_router_res_validity(const json& router_res);
  bool check_router_res_flags(const json& router_res);
  // Returns the result mapping, or null when the request ended early.
  json ask(const json& user_query, bool auto_render = true, bool verbose = false);

  // ---- history ----
  json rerun_with_changes_flow(const json& base_tx_full, const json& new_user_query,
                               bool verbose = true);
  RecurrentResult processing_recurrent_request(const json& router_spec, json& res_to_user,
                                               const json& total_usage = 0, bool verbose = false,
                                               bool select_tx_only = false);
  void check_saved_queries();
  void check_saved();
  void save_transaction(const json& spec, json& res_to_user, bool verbose = false,
                        const json& selected_tx_id = nullptr);

  // Fields that a half-configured object lacks: reading one raises AttributeError naming it.
  AnnData& require_adata() const;
  const std::string& require_data_context() const;
  long long require_max_retries() const;
  bool require_rem_router() const;

  // ---- fields (the optional ones are absent on a half-configured object) ----
  std::optional<std::string> api_key;
  std::string model_name;
  std::optional<std::string> file_h5ad;
  std::shared_ptr<AnnData> adata;
  std::shared_ptr<ServiceClient> client;
  std::optional<std::string> data_context;
  std::optional<ToolConfigMap> Tool_config_map;
  std::optional<ToolFuncs> Tool_funcs;
  std::optional<ToolDefaults> Tool_defaults;
  std::optional<long long> max_retries;
  std::optional<bool> rem_router;
  transaction_history t_hist{40};
  json last_tx;  // routing record or null
};

}  // namespace norvex
