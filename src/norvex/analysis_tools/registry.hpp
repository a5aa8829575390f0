#pragma once
// The tool registry: tool callables, their configuration record classes, argument schemas,
// function definitions and defaults. The assistant reaches tools only through these maps.
// The built-in tools fill them from one parameter table per tool (params.hpp).
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

class AnnData;

// A configuration record class, like a dataclass: named fields with types and defaults.
// A record is a JSON object tagged with its class: {"__class__": "UMAPPlotConfig", field:
// value...}.
struct RecordClass {
  struct Field {
    std::string name;
    std::string type;  // Python-style annotation shown in code and schemas: "str",
                       // "Optional[list[str]]", ...
    json default_value;
  };
  std::string name;
  std::vector<Field> fields;

  // Builds a record from a mapping of field values (missing fields take their defaults).
  // TypeError naming the field for an unknown field, or when `kwargs` is not a mapping.
  json make(const json& kwargs = json::object()) const;
  json defaults() const { return make(); }
  bool has_field(const std::string& field) const;
};

// True for a JSON object tagged as a record; record_class_name gives the tag.
bool is_record(const json& value);
std::string record_class_name(const json& value);
// The record's fields as a plain mapping (the tag removed).
json record_fields(const json& value);

// A tool: tool(adata, kwargs) -> result mapping ("img_base64", "table_summaries", "data",
// optionally "images", "html_base64", and for the built-in tools "warnings": the texts of
// what the run warns about, without the "⚠️ WARNING: " prefix, in the order found). The
// dataset is the only positional argument. Tools compute and return; they never print or
// display (kwargs "show" is accepted and ignored): the caller shows the result.
using ToolCallable = std::function<json(AnnData& adata, const json& kwargs)>;

struct ToolFunction {
  ToolCallable fn;
  // Keyword parameters the callable accepts, in signature order (besides the dataset).
  std::vector<std::string> param_names;
  // Declared defaults of plain (non-record) parameters: name -> default.
  json param_defaults = json::object();
  // Raises when the tool cannot run at all (not built yet), so callers fail before any
  // model call is spent on planning it. Empty for tools that can run.
  std::function<void()> ensure_runnable;
  json operator()(AnnData& adata, const json& kwargs) const { return fn(adata, kwargs); }
};

using ToolFuncs = std::map<std::string, ToolFunction>;

// Per tool: argument name -> record class, plus the optional "__allowed_kwargs__" list.
struct ToolConfigEntry {
  std::map<std::string, std::shared_ptr<const RecordClass>> classes;
  std::optional<std::vector<std::string>> allowed_kwargs;
};
using ToolConfigMap = std::map<std::string, ToolConfigEntry>;

// tool name -> default argument mapping; record arguments appear as plain field mappings
// (so planned values merge into them field by field).
using ToolDefaults = json;

// The twelve tool names, in registry order.
const std::vector<std::string>& tool_names();

// The maps the assistant calls TOOL_FUNCS, TOOL_CONFIG_MAP, FUNCTION_DEF_REGISTRY,
// FUNC_ARGS_SCHEMA_REGISTRY and Config_Name_to_Class_map.
const ToolFuncs& builtin_tool_funcs();
const ToolConfigMap& builtin_tool_config_map();
const std::map<std::string, std::string>& function_def_registry();
// tool name -> JSON schema of the arguments, or null.
const std::map<std::string, json>& func_args_schema_registry();
// tool name -> (config record class name -> class).
const std::map<std::string, std::map<std::string, std::shared_ptr<const RecordClass>>>&
config_name_to_class_map();
// Every record class by name.
const std::map<std::string, std::shared_ptr<const RecordClass>>& record_classes();

// Defaults per tool from the declared defaults: plain parameters from the tool's
// param_defaults, record parameters from their class's field defaults.
ToolDefaults build_tool_defaults_v3(const ToolFuncs& tool_funcs,
                                    const ToolConfigMap& tool_config_map);

// Registers a tool in the built-in maps (the built-in tools do, on first use of the maps).
// ValueError for a tool registered twice, or a record class name already taken by a class
// with other fields.
struct ToolRegistration {
  std::string name;
  ToolFunction function;
  ToolConfigEntry config;
  std::string definition;  // functional definition text for the planner
  json args_schema;        // or null
};
void register_tool(ToolRegistration registration);

}  // namespace norvex
