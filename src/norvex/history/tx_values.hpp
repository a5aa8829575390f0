#pragma once
// Small value helpers shared by the router checks, the driver and the history flows. They
// read JSON-like records the way the assistant's records are read everywhere: a missing
// key, null and the sentinel text "none" all mean "no value".
#include <optional>
#include <string>
#include <vector>

#include "norvex/common/json.hpp"
#include "norvex/common/python_text.hpp"  // py_truthy, py_str, py_type_name

namespace norvex {

// The value of the first key of `keys` that `d` holds with a value other than null, "",
// "none" or false (0 and 0.0 count as false); `default_value` when there is none. A `d`
// that is not a mapping holds no keys.
json check_any_valid(const json& d, const std::vector<std::string>& keys,
                     const json& default_value = nullptr);

// The value of the first key of `keys` that `d` holds with a non-null value; else
// `default_value`.
json get_any(const json& d, const std::vector<std::string>& keys,
             const json& default_value = nullptr);

// Integer conversion that never throws: null, a non-numeric text, a non-finite number or a
// container gives nothing; 3.9 gives 3, "7" gives 7, true gives 1.
std::optional<long long> safe_int(const json& x);

// The transaction at position `tx_id` of a history list (most recent first), the stored
// element itself; nullptr when the id is not a position of the list.
json* get_tx_by_id(std::vector<json>& tx_list_recent_first, const json& tx_id);
const json* get_tx_by_id(const std::vector<json>& tx_list_recent_first, const json& tx_id);

// The text form of `text` trimmed, with every whitespace run made one blank, and cut to
// `max_len` characters with a final "…" when longer; null for null. ValueError when
// max_len is below 1.
json shorten(const json& text, long long max_len = 140);

}  // namespace norvex
