#pragma once
// The files under texts/ and schemas/, compiled into the program at build time (see
// resources.cmake), so that the prompts are edited as plain files yet never read from disk.
#include <span>
#include <string_view>

namespace norvex::prompts {

struct EmbeddedResource {
  std::string_view path;   // relative to src/norvex/prompts, e.g. "texts/ROUTER_PROMPT.txt"
  std::string_view bytes;  // the file's bytes exactly
};

// Every embedded file, sorted by path.
std::span<const EmbeddedResource> embedded_resources();

}  // namespace norvex::prompts
