// Construction, (re)configuration and saving of the assistant object, and its methods:
// each one finds the parts it needs and forwards to them.
#include <cmath>

#include "norvex/assistant/flow_util.hpp"
#include "norvex/assistant/flows.hpp"
#include "norvex/assistant/norvex.hpp"
#include "norvex/assistant/router.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/python_text.hpp"
#include "norvex/dataset/data_context.hpp"
#include "norvex/display/result_display.hpp"
#include "norvex/history/saved_store.hpp"
#include "norvex/host/host.hpp"

namespace norvex {
namespace {

[[noreturn]] void missing_attribute(const char* name) {
  throw AttributeError(std::string("'norvex' object has no attribute '") + name + "'");
}

long long integer_argument(const json& value, const char* name) {
  if (value.is_number_integer()) return value.get<long long>();
  if (value.is_number_float()) {
    double d = value.get<double>();
    if (!std::isfinite(d))
      throw ValueError(std::string("cannot convert ") + name + " to an integer");
    return static_cast<long long>(std::trunc(d));
  }
  throw TypeError(std::string(name) + " must be an integer, not " + value.type_name());
}

// A running token total as the notebook API takes it: any number, truncated.
long long token_total(const json& value) {
  if (!value.is_number() && !value.is_boolean())
    throw TypeError(std::string("total_usage must be int, not ") + py_type_name(value));
  return detail::to_usage_int(value, "total_usage");
}

// Text names, then anndata's unique-name rule; acts on the dataset in place.
void normalise_names(AnnData& adata) {
  adata.obs_names_make_unique();
  adata.var_names_make_unique();
}

}  // namespace

Assistant::Assistant(const AssistantOptions& o) : host_(o.host ? o.host : &terminal_host()) {
  set_api_key(o.api_key, o.model_to_use, o.adata, o.tool_funcs, o.tool_defaults, o.tool_config_map,
              o.max_retries, o.rem_router, o.base_url, o.wire);
  // The history and last_tx start fresh even when the dataset argument was unusable.
  t_hist = transaction_history(40);
  last_tx = nullptr;
}

void Assistant::set_api_key(const std::optional<std::string>& api_key_arg,
                            const std::string& model_to_use, DatasetArg adata_arg,
                            std::optional<ToolFuncs> tool_funcs,
                            std::optional<ToolDefaults> tool_defaults,
                            std::optional<ToolConfigMap> tool_config_map, json max_retries_arg,
                            bool rem_router_arg, std::optional<std::string> base_url,
                            WireChoice wire) {
  // Argument types are checked before any field is touched.
  if (tool_defaults && !tool_defaults->is_object()) {
    throw TypeError(std::string("tool_defaults must be a dict or None, not ") +
                    tool_defaults->type_name());
  }
  const long long retries = integer_argument(max_retries_arg, "max_retries");
  const bool gemini = model_to_use.rfind("gemini", 0) == 0;
  if (gemini && wire != WireChoice::Auto) {
    throw ValueError("wire applies to OpenAI-compatible servers; " + model_to_use +
                     " uses the Gemini API (leave wire at 'auto')");
  }

  api_key = api_key_arg;
  model_name = model_to_use;

  // The new configuration is built aside and replaces the old one only when complete, so a
  // failure part-way (an unreadable file) leaves the assistant as it was.
  Configuration next;
  if (auto* path = std::get_if<std::string>(&adata_arg)) {
    file_h5ad = *path;
    next.adata = AnnData::read_h5ad(*path);
  } else if (auto* obj = std::get_if<std::shared_ptr<AnnData>>(&adata_arg); obj && *obj) {
    next.adata = *obj;
    file_h5ad = "norvex_processed_anndata.h5ad";
  } else {
    host().print("❌ ERROR: adata must be a valid path to a H5AD file or AnnData object.");
    return;
  }

  normalise_names(*next.adata);

  if (gemini) {
    next.client = std::make_shared<GeminiClient>(api_key_arg, base_url);
  } else {
    next.client = std::make_shared<OpenAIClient>(api_key_arg, base_url, wire);
  }

  next.data_context = get_data_context(*next.adata);

  next.tools.config_map = tool_config_map ? std::move(*tool_config_map) : builtin_tool_config_map();
  next.tools.funcs = tool_funcs ? std::move(*tool_funcs) : builtin_tool_funcs();
  next.tools.defaults = tool_defaults
                            ? std::move(*tool_defaults)
                            : build_tool_defaults_v3(next.tools.funcs, next.tools.config_map);

  next.max_retries = retries;
  next.rem_router = rem_router_arg;
  config = std::move(next);
}

void Assistant::write_h5ad(const std::string& file_name) const {
  configured("adata").adata->write_h5ad(file_name);
}

const Assistant::Configuration& Assistant::configured(const char* attribute) const {
  if (!config) missing_attribute(attribute);
  return *config;
}

Assistant::Configuration& Assistant::configured(const char* attribute) {
  if (!config) missing_attribute(attribute);
  return *config;
}

ModelGateway Assistant::model() const {
  return ModelGateway(model_name, config ? config->client : nullptr, host_, usage_ledger.get());
}

Session Assistant::session(ModelGateway& gateway) {
  Configuration& c = configured("data_context");
  return Session{gateway, *c.adata, c.data_context, c.tools,
                 t_hist,  host(),   c.max_retries,  c.rem_router};
}

// ---- model calls ----

std::string Assistant::combine_role(const json& system_message, const json& data_context) const {
  return model().combine_role(system_message, data_context);
}
std::string Assistant::build_prompt(const json& user_query, const json& role) const {
  return model().build_prompt(user_query, role);
}
json Assistant::normalize_images(const json& images_base64) const {
  return model().normalize_images(images_base64);
}
json Assistant::normalize_text_parts(const json& text_parts) const {
  return model().normalize_text_parts(text_parts);
}
LLMResult Assistant::ask_gemini(const std::string& user_query, const std::string& role,
                                const json& schema, const AskOptions& options) {
  return model().ask_gemini(user_query, role, schema, options);
}
LLMResult Assistant::ask_gpt(const std::string& user_query, const std::string& role,
                             const json& schema, const AskOptions& options) {
  return model().ask_gpt(user_query, role, schema, options);
}
LLMResult Assistant::ask_inner(const std::string& user_query, const AskOptions& options) {
  return model().ask_inner(user_query, options);
}
LLMResult Assistant::json_enforced_call(const std::string& user_query,
                                        const JsonCallOptions& options) {
  return model().json_enforced_call(user_query, options);
}

// ---- planning, execution, explanations ----

std::optional<LLMResult> Assistant::explain_analysis_result(const json& target_tool,
                                                            const json& ai_args,
                                                            const json& result_data,
                                                            const json& user_query) {
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::explain_analysis_result(s, target_tool, ai_args, result_data, user_query);
}

LLMResult Assistant::explain_in_general_sense(const json& user_query) {
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::explain_in_general_sense(s, user_query);
}

std::optional<LLMResult> Assistant::generate_parameters(const std::string& target_function_name,
                                                        const std::string& user_query,
                                                        const ParameterOptions& options) {
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::generate_parameters(s, target_function_name, user_query, options);
}

PathwaySelection Assistant::gene_selection_from_pathway_db(const json& user_query,
                                                           const json& pathway_phrase,
                                                           const json& total_usage) {
  if (!user_query.is_string())
    throw TypeError(std::string("user_query must be str, not ") + py_type_name(user_query));
  if (!pathway_phrase.is_string())
    throw TypeError(std::string("pathway_phrase must be str, not ") + py_type_name(pathway_phrase));
  const long long total = token_total(total_usage);
  configured("adata");
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::gene_selection_from_pathway_db(s, user_query, pathway_phrase, total);
}

ExplanationResult Assistant::generate_and_display_explanation(const json& user_query,
                                                              const json& target_function_name,
                                                              const json& ai_generated_args,
                                                              const json& plot_result,
                                                              const json& total_usage, bool show) {
  const long long total = detail::to_usage_int(total_usage, "total_usage");
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::generate_and_display_explanation(s, user_query, target_function_name,
                                                 ai_generated_args, plot_result, total, show);
}

FlowResult Assistant::processing_initial_request(const json& router_spec, json& res_to_user,
                                                 const json& total_usage, bool verbose) {
  const long long total = detail::to_usage_int(total_usage, "total_usage");
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::processing_initial_request(s, router_spec, res_to_user, total, verbose);
}

// ---- display ----

void Assistant::display_table_summaries(const json& plot_result, const std::string& table_name) {
  norvex::display_table_summaries(host(), plot_result, table_name);
}

void Assistant::display_explanation(const json& explanation_text, const json& img_b64,
                                    const std::optional<std::string>& title) {
  norvex::display_explanation(host(), explanation_text, img_b64, title);
}

void Assistant::display_plot_img_base64(const json& plot_result) {
  norvex::display_plot_img_base64(host(), plot_result);
}

void Assistant::show_tree_partial(const json& spec) {
  if (!spec.is_object())
    throw TypeError(std::string("spec must be dict, not ") + py_type_name(spec));
  auto target = spec.find("tree_target");
  if (target == spec.end()) throw key_error("tree_target");
  AnnData& adata = *configured("adata").adata;
  show_dataset_tree(host(), adata,
                    target->is_string() ? target->get<std::string>() : py_str(*target));
}

// ---- routing ----

bool Assistant::check_router_res_validity(const json& router_res) {
  return norvex::check_router_res_validity(router_res);
}

bool Assistant::check_router_res_flags(const json& router_res) {
  return norvex::check_router_res_flags(router_res);
}

json Assistant::ask(const json& user_query, bool /*auto_render*/, bool /*verbose*/) {
  if (!user_query.is_string())
    throw TypeError(std::string("user_query must be str, not ") + py_type_name(user_query));
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::ask(s, last_tx, user_query);
}

// ---- history ----

json Assistant::rerun_with_changes_flow(const json& base_tx_full, const json& new_user_query,
                                        bool verbose) {
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::rerun_with_changes_flow(s, base_tx_full, new_user_query, verbose);
}

RecurrentResult Assistant::processing_recurrent_request(const json& router_spec, json& res_to_user,
                                                        const json& total_usage, bool verbose,
                                                        bool select_tx_only) {
  const long long total = detail::to_usage_int(total_usage, "total_usage");
  ModelGateway gateway = model();
  Session s = session(gateway);
  return flows::processing_recurrent_request(s, router_spec, res_to_user, total, verbose,
                                             select_tx_only);
}

void Assistant::check_saved_queries() {
  norvex::check_saved_queries(host(), *configured("adata").adata);
}

void Assistant::check_saved() {
  check_saved_queries();
}

void Assistant::save_transaction(const json& spec, json& res_to_user, bool verbose,
                                 const json& selected_tx_id) {
  ModelGateway gateway = model();
  Session s = session(gateway);
  flows::save_transaction(s, spec, res_to_user, verbose, selected_tx_id);
}

}  // namespace norvex
