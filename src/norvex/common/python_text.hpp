#pragma once
// Text that must read exactly as Python would print it. The prompts, the repair rounds and
// the console lines quote values in Python's forms (repr, json.dumps, json.loads errors,
// truthiness, int()), so they live here once, following CPython's rules.
#include <string>
#include <string_view>

#include "norvex/common/json.hpp"
#include "norvex/common/text.hpp"

namespace norvex {

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

// mapping[key] as Python reads it: KeyError naming a missing key, TypeError for a value
// that is not a mapping.
const json& py_getitem(const json& mapping, const std::string& key);
// str.isspace() for one character.
bool is_py_space(char32_t cp);
// str.strip(): Unicode white space at both ends.
std::string py_strip(std::string_view text);
// Python's repr()/str() of a JSON value ('text', True, None, {'a': 1}, [1, 2]); reprs longer
// than `max_chars` characters are cut and end in "...".
std::string py_repr(const json& value, size_t max_chars = std::string::npos);
std::string py_str(const json& value);
// Python type name of a JSON value: dict, list, str, int, float, bool, NoneType.
const char* py_type_name(const json& value);

}  // namespace norvex
