# Embeds files into a C++ source at build time, byte for byte, so that text and schema
# resources can live as ordinary files without being read from disk at run time.
#
# Included: norvex_embed_resources(TARGET t BASE_DIR dir HEADER h NAMESPACE ns FILES f...)
#   adds to target t a generated source that defines `ns::embedded_resources()` (declared in
#   header h) listing every file (its path relative to dir, and its bytes). The source is
#   regenerated whenever one of the files changes.
# Run with `cmake -P` (by the build, never by hand): writes that source.

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: OUTPUT, BASE_DIR, HEADER, NAMESPACE and FILES ("|"-separated, relative
  # to BASE_DIR) come from -D.
  string(REPLACE "|" ";" files "${FILES}")
  list(LENGTH files count)
  string(REPEAT "." 128 one_line)  # 32 escapes of four characters per source line
  set(entries "")
  foreach(file IN LISTS files)
    file(READ "${BASE_DIR}/${file}" hex HEX)
    file(SIZE "${BASE_DIR}/${file}" size)
    # Every byte as an escape, so that no quote, backslash or non-ASCII byte can be read
    # differently by the compiler; the explicit size keeps any NUL byte too.
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
    string(REGEX REPLACE "(${one_line})" "\\1\"\n     \"" escaped "${escaped}")
    string(APPEND entries "    {\"${file}\",\n     std::string_view(\"${escaped}\", ${size})},\n")
  endforeach()
  set(text "// Generated from the files listed below by cmake/EmbedResources.cmake; do not edit.
#include \"${HEADER}\"

#include <array>

namespace ${NAMESPACE} {

std::span<const EmbeddedResource> embedded_resources() {
  static constexpr std::array<EmbeddedResource, ${count}> all = {{
${entries}  }};
  return all;
}

}  // namespace ${NAMESPACE}
")
  # Written only when different, so that an unchanged result compiles nothing again.
  set(old "")
  if(EXISTS "${OUTPUT}")
    file(READ "${OUTPUT}" old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE "${OUTPUT}" "${text}")
  endif()
  return()
endif()

set(NORVEX_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(norvex_embed_resources)
  cmake_parse_arguments(ARG "" "TARGET;BASE_DIR;HEADER;NAMESPACE" "FILES" ${ARGN})
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}_resources.cpp)
  set(relative)
  set(absolute)
  foreach(file IN LISTS ARG_FILES)
    file(RELATIVE_PATH rel ${ARG_BASE_DIR} ${file})
    list(APPEND relative ${rel})
    list(APPEND absolute ${ARG_BASE_DIR}/${rel})
  endforeach()
  list(JOIN relative "|" joined)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} -DBASE_DIR=${ARG_BASE_DIR}
            -DHEADER=${ARG_HEADER} -DNAMESPACE=${ARG_NAMESPACE} "-DFILES=${joined}"
            -P ${NORVEX_EMBED_SCRIPT}
    DEPENDS ${absolute} ${NORVEX_EMBED_SCRIPT}
    COMMENT "Embedding the resources of ${ARG_TARGET}"
    VERBATIM)
  target_sources(${ARG_TARGET} PRIVATE ${output})
endfunction()
