#pragma once
// The assistant object, as users know it: a thin façade over the parts that do the work
// (the model gateway in llm/, the tool maps in analysis_tools/, the dataset, the history,
// the flows in assistant/flows.hpp), which take their dependencies explicitly.
//
// An assistant is either configured (it holds a Configuration) or half-configured (the
// dataset argument was unusable); in the latter state every call that needs the
// configuration raises AttributeError naming the missing attribute, as the notebook
// object does.
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/assistant/session.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/history/transaction_history.hpp"
#include "norvex/host/host.hpp"
#include "norvex/llm/client.hpp"
#include "norvex/llm/model_gateway.hpp"

namespace norvex {

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
  json max_retries = 1;  // any number, truncated to an integer as the notebook API takes it
  bool rem_router = true;
  // Service endpoint override (tests, gateways, self-hosted servers speaking the same API).
  std::optional<std::string> base_url;
  // Which OpenAI request shape to use (Auto: Responses on OpenAI's host, else Chat
  // Completions); gemini-* models always use the Gemini API.
  WireChoice wire = WireChoice::Auto;
  // Where everything the assistant shows goes (not owned); the terminal when null.
  NotebookHost* host = nullptr;
};

class Assistant {
 public:
  // Everything a configured assistant works with; replaced as a whole by set_api_key.
  struct Configuration {
    std::shared_ptr<AnnData> adata;
    std::shared_ptr<ServiceClient> client;
    std::string data_context;
    ToolMaps tools;
    long long max_retries = 1;
    bool rem_router = true;
  };

  explicit Assistant(const AssistantOptions& options = {});

  // (Re)configures key, model, dataset, client, data context and tool maps; keeps t_hist
  // and last_tx. The default model here is "gemini-2.5-flash".
  void set_api_key(const std::optional<std::string>& api_key,
                   const std::string& model_to_use = "gemini-2.5-flash", DatasetArg adata = {},
                   std::optional<ToolFuncs> tool_funcs = std::nullopt,
                   std::optional<ToolDefaults> tool_defaults = std::nullopt,
                   std::optional<ToolConfigMap> tool_config_map = std::nullopt,
                   json max_retries = 1, bool rem_router = true,
                   std::optional<std::string> base_url = std::nullopt,
                   WireChoice wire = WireChoice::Auto);
  void write_h5ad(const std::string& file_name) const;

  // The configuration; AttributeError naming `attribute` on a half-configured object.
  const Configuration& configured(const char* attribute) const;
  Configuration& configured(const char* attribute);
  // The gateway over the current model name and client.
  ModelGateway model() const;
  // The parts a flow works with, showing through the assistant's host.
  Session session(ModelGateway& gateway);
  // Where the assistant shows everything; replaced by set_host (not owned).
  NotebookHost& host() const { return *host_; }
  void set_host(NotebookHost& host) { host_ = &host; }

  // ---- model calls ----
  std::string combine_role(const json& system_message = "", const json& data_context = "") const;
  std::string build_prompt(const json& user_query, const json& role = "") const;
  json normalize_images(const json& images_base64) const;
  json normalize_text_parts(const json& text_parts) const;
  LLMResult ask_gemini(const std::string& user_query, const std::string& role = "",
                       const json& schema = nullptr, const AskOptions& options = {});
  LLMResult ask_gpt(const std::string& user_query, const std::string& role = "",
                    const json& schema = nullptr, const AskOptions& options = {});
  LLMResult ask_inner(const std::string& user_query, const AskOptions& options = {});
  LLMResult json_enforced_call(const std::string& user_query, const JsonCallOptions& options);

  // ---- planning, execution, explanations (token totals may be any number) ----
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

  // ---- state ----
  std::optional<std::string> api_key;
  std::string model_name;
  // Set as soon as a path is given, even when reading it then fails.
  std::optional<std::string> file_h5ad;
  std::optional<Configuration> config;  // absent on a half-configured object
  // Every model call's tokens since the object was made; kept across set_api_key.
  std::shared_ptr<UsageLedger> usage_ledger = std::make_shared<UsageLedger>();
  transaction_history t_hist{40};
  json last_tx;  // routing record or null

 private:
  NotebookHost* host_;
};

}  // namespace norvex
