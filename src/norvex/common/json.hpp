#pragma once
// The one JSON value type of norvex. Insertion order is kept because key order is
// visible in several places (usage mappings, schema text shown to the model).
#include <nlohmann/json.hpp>

namespace norvex {
using json = nlohmann::ordered_json;

// Serialise like Python's json.dumps(..., ensure_ascii=False, indent=indent).
// Invalid UTF-8 is replaced rather than thrown, because model output is untrusted.
std::string dump_json(const json& value, int indent = -1);
}  // namespace norvex
