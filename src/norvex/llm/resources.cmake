# Embeds the model price table into the llm area (norvex_llm), so that it is edited as a
# plain file yet never read from disk at run time.
include(${CMAKE_SOURCE_DIR}/cmake/EmbedResources.cmake)
norvex_embed_resources(TARGET norvex_llm BASE_DIR ${CMAKE_CURRENT_LIST_DIR}
  HEADER norvex/llm/resources.hpp NAMESPACE norvex::llm_data
  FILES ${CMAKE_CURRENT_LIST_DIR}/data/prices.json)
