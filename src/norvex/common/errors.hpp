#pragma once
// Error kinds named after the ones the assistant talks about: console lines and the
// repair prompt quote the type name, so each class reports it through type_name().
#include <stdexcept>
#include <string>

namespace norvex {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  virtual const char* type_name() const noexcept { return "Exception"; }
};

#define NORVEX_ERROR_KIND(Name, Base)                                 \
  class Name : public Base {                                          \
   public:                                                            \
    explicit Name(const std::string& message) : Base(message) {}      \
    const char* type_name() const noexcept override { return #Name; } \
  };

NORVEX_ERROR_KIND(TypeError, Error)
NORVEX_ERROR_KIND(ValueError, Error)
NORVEX_ERROR_KIND(LookupError, Error)
NORVEX_ERROR_KIND(KeyError, LookupError)
NORVEX_ERROR_KIND(IndexError, LookupError)
NORVEX_ERROR_KIND(RuntimeError, Error)
NORVEX_ERROR_KIND(AttributeError, Error)
NORVEX_ERROR_KIND(JSONDecodeError, ValueError)
NORVEX_ERROR_KIND(ValidationError, Error)
// A file that is missing, unreadable or not in the expected format.
NORVEX_ERROR_KIND(FileError, Error)

#undef NORVEX_ERROR_KIND

// Type name of any exception: ours report their kind, anything else is "Exception".
const char* error_type_name(const std::exception& e) noexcept;

// KeyError message in Python's form: the key quoted.
KeyError key_error(const std::string& key);

}  // namespace norvex
