#pragma once
// Prompt texts and JSON schemas sent to the model services. They are part of the
// contract with the models (records are read back by field name), built once and never
// changed. Functions rather than globals so that start-up order never matters.
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

const std::string& ROUTER_PROMPT_260211();
const std::string& ROUTER_PROMPT();
const json& ROUTER_SCHEMA();
const std::string& FUNC_ARGS_FETCH_PROMPT();
const std::string& EXPLAIN_RESULT_PROMPT();
const std::string& EXPLAIN_GENERAL_PROMPT();
const json& PATHWAY_RESOLVER_SCHEMA_MIN();
const std::string& PATHWAY_RESOLVER_PROMPT_MIN();
const std::string& EXTRA_CONTEXT_FOR_TARGET_GENES();
const json& PREV_TX_SELECTION_SCHEMA_DICT();
const std::string& PREV_TX_SELECTION_PROMPT();
const json& PATCH_SCHEMA();
const std::string& PATCH_PROMPT();

// Name and value of every module constant, in source order (for `norvex constants`).
struct NamedConstant {
  std::string name;
  json value;  // text constants as JSON strings, schemas as objects
};
const std::vector<NamedConstant>& module_constants();

}  // namespace norvex
