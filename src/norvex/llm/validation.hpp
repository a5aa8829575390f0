#pragma once
// JSON Schema (draft 7) validation of model answers. Failures are reported like Python's
// jsonschema, because the message goes back to the model in the repair prompt:
//   5 is not of type 'string'
//
//   Failed validating 'type' in schema['properties']['kind']:
//       {'type': 'string'}
//
//   On instance['kind']:
//       5
#include "norvex/common/errors.hpp"
#include "norvex/common/json.hpp"

namespace norvex {

// A schema that cannot be used (malformed keyword values, unresolvable references).
class SchemaError : public Error {
 public:
  explicit SchemaError(const std::string& message) : Error(message) {}
  const char* type_name() const noexcept override { return "SchemaError"; }
};

// Returns normally when `instance` satisfies `schema`; ValidationError (the first, shallowest
// failure) or SchemaError otherwise.
void jsonschema_validate(const json& instance, const json& schema);

}  // namespace norvex
