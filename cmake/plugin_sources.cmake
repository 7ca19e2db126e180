# The plugin's own sources (not its tests), for binaries that link the
# exports in statically: the benchmarks and the fuzz targets.
file(GLOB VELMORA_PLUGIN_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/plugin/*.cpp)
list(FILTER VELMORA_PLUGIN_SOURCES EXCLUDE REGEX "_test\\.cpp$")
