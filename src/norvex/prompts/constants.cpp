// The prompt texts and JSON schemas sent to the model services. Texts live in texts/ and
// schemas in schemas/, embedded at build time; the texts are kept exactly as the models
// have been tuned on, including leading and trailing line breaks and the few trailing
// blanks inside some lines (the tests check their exact bytes).
#include "norvex/prompts/constants.hpp"

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "norvex/prompts/resources.hpp"

namespace norvex::prompts {
namespace {

std::string_view resource(std::string_view path) {
  const auto all = embedded_resources();
  const auto it = std::find_if(all.begin(), all.end(),
                               [&](const EmbeddedResource& r) { return r.path == path; });
  // A missing file is a build fault, never a user error.
  if (it == all.end()) throw std::logic_error("no embedded resource " + std::string(path));
  return it->bytes;
}

std::string text(std::string_view name) {
  return std::string(resource("texts/" + std::string(name) + ".txt"));
}

json schema(std::string_view name) {
  return json::parse(resource("schemas/" + std::string(name) + ".json"));
}

}  // namespace

const std::string& router_prompt_260211() {
  static const std::string value = text("ROUTER_PROMPT_260211");
  return value;
}

const std::string& router_prompt() {
  static const std::string value = text("ROUTER_PROMPT");
  return value;
}

const json& router_schema() {
  static const json value = schema("ROUTER_SCHEMA");
  return value;
}

const std::string& func_args_fetch_prompt() {
  static const std::string value = text("FUNC_ARGS_FETCH_PROMPT");
  return value;
}

const std::string& explain_result_prompt() {
  static const std::string value = text("EXPLAIN_RESULT_PROMPT");
  return value;
}

const std::string& explain_general_prompt() {
  static const std::string value = text("EXPLAIN_GENERAL_PROMPT");
  return value;
}

const json& pathway_resolver_schema_min() {
  static const json value = schema("PATHWAY_RESOLVER_SCHEMA_MIN");
  return value;
}

const std::string& pathway_resolver_prompt_min() {
  static const std::string value = text("PATHWAY_RESOLVER_PROMPT_MIN");
  return value;
}

const std::string& extra_context_for_target_genes() {
  static const std::string value = text("EXTRA_CONTEXT_FOR_TARGET_GENES");
  return value;
}

const json& prev_tx_selection_schema_dict() {
  static const json value = schema("PREV_TX_SELECTION_SCHEMA_DICT");
  return value;
}

const std::string& prev_tx_selection_prompt() {
  static const std::string value = text("PREV_TX_SELECTION_PROMPT");
  return value;
}

const json& patch_schema() {
  static const json value = schema("PATCH_SCHEMA");
  return value;
}

const std::string& patch_prompt() {
  static const std::string value = text("PATCH_PROMPT");
  return value;
}

const std::vector<NamedConstant>& module_constants() {
  static const std::vector<NamedConstant> all = {
      {"ROUTER_PROMPT_260211", router_prompt_260211()},
      {"ROUTER_PROMPT", router_prompt()},
      {"ROUTER_SCHEMA", router_schema()},
      {"FUNC_ARGS_FETCH_PROMPT", func_args_fetch_prompt()},
      {"EXPLAIN_RESULT_PROMPT", explain_result_prompt()},
      {"EXPLAIN_GENERAL_PROMPT", explain_general_prompt()},
      {"PATHWAY_RESOLVER_SCHEMA_MIN", pathway_resolver_schema_min()},
      {"PATHWAY_RESOLVER_PROMPT_MIN", pathway_resolver_prompt_min()},
      {"EXTRA_CONTEXT_FOR_TARGET_GENES", extra_context_for_target_genes()},
      {"PREV_TX_SELECTION_SCHEMA_DICT", prev_tx_selection_schema_dict()},
      {"PREV_TX_SELECTION_PROMPT", prev_tx_selection_prompt()},
      {"PATCH_SCHEMA", patch_schema()},
      {"PATCH_PROMPT", patch_prompt()},
  };
  return all;
}

}  // namespace norvex::prompts
