#include "norvex/common/json.hpp"

namespace norvex {
std::string dump_json(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}
}  // namespace norvex
