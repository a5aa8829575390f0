#pragma once
// Model output in, clean JSON out: extraction of the JSON text from an answer, clean-up
// against a schema, and the schema rendered as prompt text.
#include <string>
#include <string_view>

#include "norvex/common/json.hpp"
#include "norvex/common/python_text.hpp"

namespace norvex {

// The JSON text inside a model answer: code fences removed, else the span from the first
// "{" or "[" to the last "}" or "]", else the stripped text. Null gives "". Never fails on
// text; the regular expressions run in linear time, so any answer length is safe.
std::string extract_json_object(const std::string& text);
std::string extract_json_object(const char* text);
std::string extract_json_object(const json& text);  // text or null; TypeError otherwise

// A copy of `data` without null values, except under keys that the schema requires.
// TypeError for a non-mapping schema (also in nested calls).
json drop_nones_keep_required(const json& data, const json& schema);

// Adds each missing required key with the neutral value of its declared type; returns
// `data`, changed in place. Both must be mappings (TypeError otherwise).
json& ensure_required_defaults(json& data, const json& schema);

// The schema as JSON indented by two spaces when it fits in `max_len` characters, else a
// compact summary of its top-level properties.
std::string schema_dict_to_prompt_text(const json& schema, long long max_len = 2000);

}  // namespace norvex
