#include "norvex/documents/redaction.hpp"

#include <vector>

#include "norvex/documents/ooxml.hpp"

namespace norvex {

std::string redact_document(std::string bytes, const Redactor& redactor) {
  if (redactor.empty()) return bytes;
  if (bytes.rfind("PK\x03\x04", 0) != 0) return redactor.file_bytes(std::move(bytes));
  std::vector<ooxml::ZipEntry> entries;
  try {
    entries = ooxml::zip_read(bytes);
  } catch (const std::exception&) {
    return bytes;  // not an archive we can read: binary, left whole
  }
  bool changed = false;
  for (auto& entry : entries) {
    // The parts are XML (text, relationships, properties); embedded media and other
    // binary parts are left alone.
    if (Redactor::is_binary(entry.data)) continue;
    const bool markup = entry.name.ends_with(".xml") || entry.name.ends_with(".rels");
    std::string redacted = markup ? redactor.xml(entry.data) : redactor.text(entry.data);
    if (redacted != entry.data) {
      entry.data = std::move(redacted);
      changed = true;
    }
  }
  return changed ? ooxml::zip_write(entries) : bytes;
}

}  // namespace norvex
