#pragma once
// Secrets taken out of a download before it leaves the process: Word and Excel files are
// ZIP packages of XML, so the redaction goes inside their text parts, never into the
// compressed bytes (a replacement there only destroys the file).
#include <string>

#include "norvex/host/redactor.hpp"

namespace norvex {

// The file's bytes with every secret taken out of its text: plain text as text, an OOXML
// package part by part (XML character data and attribute values only), binary files and
// embedded media unchanged. An archive that cannot be read is returned whole.
std::string redact_document(std::string bytes, const Redactor& redactor);

}  // namespace norvex
