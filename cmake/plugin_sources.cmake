# The plugin's own sources: for Velmora.plg and for the binaries that link
# the exports in statically (the benchmarks and the fuzz targets). Listed by
# name, since plugin/ also holds test-only sources that must stay out.
set(VELMORA_PLUGIN_SOURCES
  ${PROJECT_SOURCE_DIR}/plugin/plugin.cpp
  ${PROJECT_SOURCE_DIR}/plugin/issued_links.cpp
  ${PROJECT_SOURCE_DIR}/${VELMORA_BOUNDARY_SOURCE})
