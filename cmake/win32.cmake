# The Win32 side of the build: Velmora.plg as a self-contained PE32 DLL with
# a version resource, and the tests that prove it under Wine.
enable_language(RC)

configure_file(plugin/velmora.rc.in ${CMAKE_BINARY_DIR}/velmora.rc @ONLY)
target_sources(velmora_plugin PRIVATE ${CMAKE_BINARY_DIR}/velmora.rc)
target_include_directories(velmora_plugin PRIVATE ${PROJECT_SOURCE_DIR})

# A user's Windows has no mingw runtime DLLs: libgcc and libstdc++ go into
# the plugin. The .def alone names the exports; --kill-at keeps the stdcall
# decorations (PlgInit@28) out of the export table, and the .def's plain
# names are meant to bind to the decorated stdcall symbols. Never --no-seh:
# the plugin registers a frame handler (AbandonGuard in plugin/boundary.h).
target_link_options(velmora_plugin PRIVATE
  -static-libgcc -static-libstdc++
  "LINKER:--kill-at" "LINKER:--enable-stdcall-fixup" "LINKER:--no-undefined")
set_property(TARGET velmora_plugin APPEND PROPERTY LINK_DEPENDS
  ${PROJECT_SOURCE_DIR}/plugin/velmora.def)

if(NOT VELMORA_BUILD_TESTS)
  return()
endif()

target_sources(velmora_tests PRIVATE
  plugin/boundary_win32_test.cpp
  plugin/plugin_abi_win32_test.cpp
  plugin/structured_exception_probe.cpp
  resolve/ansi_platform_win32_test.cpp)
target_include_directories(velmora_tests BEFORE PRIVATE ${VELMORA_GTEST_PORT_DIR})
target_compile_definitions(velmora_tests PRIVATE VELMORA_VERSION="${PROJECT_VERSION}")
target_link_libraries(velmora_tests PRIVATE version)
target_link_options(velmora_tests PRIVATE -static)

# Every Wine run uses a prefix of this build, created once by the fixture
# (without asking for Mono or Gecko: no display, no questions in CI). The
# code page comes from the caller's LANG; scripts/test_win32.sh runs both.
set(VELMORA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(VELMORA_WINE_ENVIRONMENT
  "WINEPREFIX=${VELMORA_WINE_PREFIX}"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml=")
add_test(NAME wine_prefix
  COMMAND sh -c "[ -f \"$WINEPREFIX/system.reg\" ] || \"$0\" wineboot --init"
          ${CMAKE_CROSSCOMPILING_EMULATOR})
# Time limits fit the emulated machine, where a prefix takes minutes.
set_tests_properties(wine_prefix PROPERTIES
  FIXTURES_SETUP wine ENVIRONMENT "${VELMORA_WINE_ENVIRONMENT}" TIMEOUT 1800)
set_tests_properties(velmora_tests PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "${VELMORA_WINE_ENVIRONMENT}" TIMEOUT 1800)

# The runner hands back the program's output and exit code, a failure too.
add_test(NAME win32_runner
  COMMAND sh -c "out=$(\"$0\" cmd /c \"echo runner-ok& exit 7\"); rc=$?; echo \"$out\"; [ $rc -eq 7 ] && echo \"$out\" | grep -q runner-ok"
          ${CMAKE_CROSSCOMPILING_EMULATOR})
set_tests_properties(win32_runner PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "${VELMORA_WINE_ENVIRONMENT}" TIMEOUT 1800)

add_test(NAME plugin_exports_win32
  COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check_exports_win32.sh
          ${CMAKE_OBJDUMP} $<TARGET_FILE:velmora_plugin>)
