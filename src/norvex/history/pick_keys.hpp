#pragma once
// Value helpers for storing results: the storable part of a tool result, and values made
// plain enough to be written into a dataset.
#include <string>
#include <vector>

#include "norvex/common/json.hpp"

namespace norvex {

// The entries of `src` whose keys are in `keys`, in the order of `keys`; missing keys are
// skipped. TypeError when `src` is not a mapping.
json pick_keys(const json& src, const std::vector<std::string>& keys);

// A value as plain nested lists, string-keyed mappings and scalars: configuration records
// become mappings of their fields; tables and everything else stay as they are (JSON
// values already have text keys and no tuples or sets).
json to_h5_safe(const json& x);

}  // namespace norvex
