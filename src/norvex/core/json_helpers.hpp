#pragma once
// Model output in, clean JSON out: extraction of the JSON text from an answer, clean-up
// against a schema, and the schema rendered as prompt text. Plus the few Python-flavoured
// text helpers these need (the model reads their output in repair prompts).
#include <string>
#include <string_view>

#include "norvex/common/json.hpp"

namespace norvex {

// The JSON text inside a model answer: code fences removed, else the span from the first
// "{" or "[" to the last "}" or "]", else the stripped text. Null gives "". Never fails on
// text; the regular expressions run in linear time, so any answer length is safe.
std::string _extract_json_object(const std::string& text);
std::string _extract_json_object(const char* text);
std::string _extract_json_object(const json& text);  // text or null; TypeError otherwise

// A copy of `data` without null values, except under keys that the schema requires.
// TypeError for a non-mapping schema (also in nested calls).
json _drop_nones_keep_required(const json& data, const json& schema);

// Adds each missing required key with the neutral value of its declared type; returns
// `data`, changed in place. Both must be mappings (TypeError otherwise).
json& _ensure_required_defaults(json& data, const json& schema);

// The schema as JSON indented by two spaces when it fits in `max_len` characters, else a
// compact summary of its top-level properties.
std::string schema_dict_to_prompt_text(const json& schema, long long max_len = 2000);

// json.loads: JSONDecodeError with Python's wording and position ("Expecting value: line 1
// column 1 (char 0)"); nesting deeper than kMaxJsonDepth levels is refused the same way.
constexpr int kMaxJsonDepth = 200;
json parse_json_text(const std::string& text);

// json.dumps(value, ensure_ascii=False): compact, with ", " between items and ": " after keys.
std::string py_json_dumps(const json& value);
// Python's truth value of a JSON value (empty containers, "", 0, false and null are false).
bool py_truthy(const json& value);
// int(value): integers as they are, floats truncated, numeric text parsed; ValueError or
// TypeError with Python's wording otherwise.
long long py_int(const json& value);

// str.strip(): Unicode white space at both ends.
std::string py_strip(std::string_view text);
// Python's repr()/str() of a JSON value ('text', True, None, {'a': 1}, [1, 2]); reprs longer
// than `max_chars` characters are cut and end in "...".
std::string py_repr(const json& value, size_t max_chars = std::string::npos);
std::string py_str(const json& value);
// Python type name of a JSON value: dict, list, str, int, float, bool, NoneType.
const char* py_type_name(const json& value);
// Length in characters (code points) and prefix by characters, for UTF-8 text.
size_t utf8_length(std::string_view text);
std::string utf8_prefix(std::string_view text, size_t chars);

}  // namespace norvex
