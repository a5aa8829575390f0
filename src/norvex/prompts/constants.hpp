#pragma once
// Prompt texts and JSON schemas sent to the model services. They are part of the
// contract with the models (records are read back by field name), built once and never
// changed. Functions rather than globals so that start-up order never matters.
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex::prompts {

const std::string& router_prompt_260211();
const std::string& router_prompt();
const json& router_schema();
const std::string& func_args_fetch_prompt();
const std::string& explain_result_prompt();
const std::string& explain_general_prompt();
const json& pathway_resolver_schema_min();
const std::string& pathway_resolver_prompt_min();
const std::string& extra_context_for_target_genes();
const json& prev_tx_selection_schema_dict();
const std::string& prev_tx_selection_prompt();
const json& patch_schema();
const std::string& patch_prompt();

// Name and value of every module constant, in source order (for `norvex constants`).
struct NamedConstant {
  std::string name;
  json value;  // text constants as JSON strings, schemas as objects
};
const std::vector<NamedConstant>& module_constants();

}  // namespace norvex::prompts
