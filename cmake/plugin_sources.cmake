# The plugin's own sources, for binaries that link the exports in statically:
# the benchmarks and the fuzz targets. Listed by name, since plugin/ also
# holds test-only sources (allocators among them) that must stay out.
set(VELMORA_PLUGIN_SOURCES
  ${PROJECT_SOURCE_DIR}/plugin/plugin.cpp
  ${PROJECT_SOURCE_DIR}/plugin/issued_links.cpp)
if(EXISTS ${PROJECT_SOURCE_DIR}/plugin/request_pool.cpp)
  list(APPEND VELMORA_PLUGIN_SOURCES ${PROJECT_SOURCE_DIR}/plugin/request_pool.cpp)
endif()
