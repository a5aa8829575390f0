# Embeds the prompt texts and schemas into the prompts area (norvex_prompts); editing one
# of them rebuilds it, adding or removing one re-runs the configuration.
include(${CMAKE_SOURCE_DIR}/cmake/EmbedResources.cmake)
file(GLOB NORVEX_PROMPT_RESOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/texts/*.txt ${CMAKE_CURRENT_LIST_DIR}/schemas/*.json)
list(SORT NORVEX_PROMPT_RESOURCES)
norvex_embed_resources(TARGET norvex_prompts BASE_DIR ${CMAKE_CURRENT_LIST_DIR}
  HEADER norvex/prompts/resources.hpp NAMESPACE norvex::prompts
  FILES ${NORVEX_PROMPT_RESOURCES})
