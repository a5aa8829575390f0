#pragma once
// Registration of the built-in tools (internal to the registry).
#include "norvex/analysis_tools/registry.hpp"

namespace norvex::detail {

// Registers every built-in tool; called once, on first use of the maps.
void register_builtin_tools();

}  // namespace norvex::detail
