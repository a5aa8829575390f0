#pragma once
// From planned arguments to a tool call: merge over the tool's defaults, build the
// configuration records, and keep only the keyword arguments the tool accepts.
#include <optional>
#include <string>

#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/json.hpp"

namespace norvex {

// A plain mapping: a JSON object that is neither a configuration record nor a table.
bool is_plain_mapping(const json& value);

// (full_args_dict, exec_args): the merged arguments as plain mappings, and the same with
// record arguments built into records.
struct MaterializedArgs {
  json full_args_dict;
  json exec_args;
};

// `tool_name` text or null; `ai_args` mapping or null; `tool_defaults` a mapping (tool name
// -> defaults). TypeError naming the argument otherwise. Record construction errors
// (an unknown field) propagate as TypeError naming the field.
MaterializedArgs materialize_tool_args(const json& tool_name, const json& ai_args,
                                       const json& tool_defaults,
                                       const ToolConfigMap& Tool_config_map);

// `patch` laid over `defaults` (mapping or null): null entries skipped, plain mappings
// merged key by key, everything else replaced; defaults keep their order.
json deep_merge(const json& defaults, const json& patch);

// Builds records of the classes the tool's config map names from plain mappings; drops
// null and non-mapping values of those arguments so the tool's own default applies.
json coerce_tool_configs(const json& tool_name, const json& args,
                         const ToolConfigMap& Tool_config_map);

// The entries of `kwargs` that `fn` declares as parameters. A callable that reports no
// parameter names falls back to the tool's config map (record arguments plus
// "__allowed_kwargs__"), or passes everything when that gives nothing.
json filter_kwargs_for_fn(const ToolFunction& fn, const json& kwargs,
                          const std::optional<std::string>& tool_name = std::nullopt,
                          const ToolConfigMap* Tool_config_map = nullptr);

// Mappings without null entries (recursively); lists keep their nulls; records untouched.
json drop_nones(const json& obj);

// A record as a plain mapping of its fields (nested records converted too); anything else
// unchanged.
json asdict_safe(const json& x);

}  // namespace norvex
