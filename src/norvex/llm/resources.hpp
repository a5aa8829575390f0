#pragma once
// The files under data/, compiled into the program at build time (see resources.cmake).
#include <span>
#include <string_view>

namespace norvex::llm_data {

struct EmbeddedResource {
  std::string_view path;   // relative to src/norvex/llm, e.g. "data/prices.json"
  std::string_view bytes;  // the file's bytes exactly
};

std::span<const EmbeddedResource> embedded_resources();

}  // namespace norvex::llm_data
