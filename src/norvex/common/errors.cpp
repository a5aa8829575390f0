#include "norvex/common/errors.hpp"

namespace norvex {

const char* error_type_name(const std::exception& e) noexcept {
  if (auto* ours = dynamic_cast<const Error*>(&e)) return ours->type_name();
  return "Exception";
}

KeyError key_error(const std::string& key) {
  return KeyError("'" + key + "'");
}

}  // namespace norvex
