# Win32 fault tests. VelmoraFaultInjection.dll is the plugin built from the
# same sources with the counting, failing allocator of the tests and one
# export more (plugin/fault_injection.h). It exists for the tests only:
# never installed, never named Velmora.plg.
add_library(velmora_fault_injection MODULE
  ${VELMORA_PLUGIN_SOURCES}
  plugin/test_allocator.cpp
  plugin/fault_injection_export.cpp
  plugin/velmora_fault_injection.def)
target_link_libraries(velmora_fault_injection PRIVATE velmora_resolve)
target_compile_definitions(velmora_fault_injection PRIVATE VELMORA_PLUGIN_INTERNALS)
set_target_properties(velmora_fault_injection PROPERTIES
  OUTPUT_NAME VelmoraFaultInjection
  PREFIX ""
  SUFFIX ".dll")
# Linked as Velmora.plg is (cmake/win32.cmake).
target_link_options(velmora_fault_injection PRIVATE
  -static-libgcc -static-libstdc++
  "LINKER:--kill-at" "LINKER:--enable-stdcall-fixup" "LINKER:--no-undefined")

target_sources(velmora_tests PRIVATE plugin/plugin_faults_win32_test.cpp)
target_compile_definitions(velmora_tests PRIVATE
  VELMORA_FAULT_INJECTION_PATH="$<TARGET_FILE_NAME:velmora_fault_injection>")
add_dependencies(velmora_tests velmora_fault_injection)
