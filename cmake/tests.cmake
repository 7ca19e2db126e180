# The tests' wiring, included from the top-level CMakeLists.txt when
# VELMORA_BUILD_TESTS is on: the one test binary, its sources and
# properties, and the checks ctest runs beside it.

# The one test binary. A test goes beside what it tests (foo_test.cpp next
# to foo.cpp) and into this list, or into the platform's block below.
enable_testing()
if(CMAKE_CROSSCOMPILING)
  include(cmake/googletest_from_source.cmake)
else()
  find_package(GTest REQUIRED)
endif()
add_executable(velmora_tests
  resolve/text_primitives_test.cpp
  resolve/form_scanner_test.cpp
  resolve/link_resolver_test.cpp
  plugin/boundary_${VELMORA_PLATFORM}.cpp
  plugin/plugin_abi_test.cpp
  plugin/plugin_api_test.c
  plugin/plugin_faults_test.cpp
  plugin/plugin_stress_test.cpp
  testing/literal_reference_test.cpp)
target_link_libraries(velmora_tests PRIVATE velmora_testing GTest::gtest_main)
target_compile_definitions(velmora_tests PRIVATE
  VELMORA_PLUGIN_PATH="$<IF:$<BOOL:${WIN32}>,$<TARGET_FILE_NAME:velmora_plugin>,$<TARGET_FILE:velmora_plugin>>")
add_dependencies(velmora_tests velmora_plugin)

if(WIN32)
  target_sources(velmora_tests PRIVATE
    plugin/boundary_win32_test.cpp
    plugin/plugin_abi_win32_test.cpp
    resolve/ansi_platform_win32_test.cpp)
  # Allocations are counted and failed inside the test-only build of the
  # plugin (testing/CMakeLists.txt): a Windows DLL keeps its own allocator.
  target_compile_definitions(velmora_tests PRIVATE
    VELMORA_VERSION="${PROJECT_VERSION}"
    VELMORA_FAULT_INJECTION_PATH="$<TARGET_FILE_NAME:velmora_fault_injection>")
  add_dependencies(velmora_tests velmora_fault_injection)
  # MinGW's shared libgcc, which other plugins bring into a host's process:
  # some tests load it before the plugin. In a folder of its own, so that
  # nothing else picks it up by accident.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc_s_dw2-1.dll
    OUTPUT_VARIABLE VELMORA_FOREIGN_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${VELMORA_FOREIGN_LIBGCC}" OR NOT EXISTS "${VELMORA_FOREIGN_LIBGCC}")
    message(FATAL_ERROR "libgcc_s_dw2-1.dll not found beside ${CMAKE_CXX_COMPILER} "
      "(package gcc-mingw-w64-i686-win32-runtime)")
  endif()
  configure_file(${VELMORA_FOREIGN_LIBGCC} ${PROJECT_BINARY_DIR}/foreign-libgcc/libgcc_s_dw2-1.dll
    COPYONLY)
  target_include_directories(velmora_tests BEFORE PRIVATE ${VELMORA_GTEST_PORT_DIR})
  target_link_libraries(velmora_tests PRIVATE version)
  target_link_options(velmora_tests PRIVATE -static)

  # One run of the whole binary: every start of it under the emulator costs.
  add_test(NAME velmora_tests COMMAND velmora_tests)

  # Every Wine run uses a prefix of this build, created once by the fixture
  # (without asking for Mono or Gecko: no display, no questions in CI). The
  # code page comes from the caller's LANG; scripts/test_win32.sh runs both.
  set(VELMORA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH
    "Wine prefix of the tests (the release preset shares the win32 build's)")
  set(VELMORA_WINE_ENVIRONMENT
    "WINEPREFIX=${VELMORA_WINE_PREFIX}"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml=")
  add_test(NAME wine_prefix
    COMMAND sh -c "[ -f \"$WINEPREFIX/system.reg\" ] || { mkdir -p \"\${WINEPREFIX%/*}\" && \"$0\" wineboot --init; }"
            ${CMAKE_CROSSCOMPILING_EMULATOR})
  # Time limits fit the emulated machine, where a prefix takes minutes.
  set_tests_properties(wine_prefix PROPERTIES
    FIXTURES_SETUP wine ENVIRONMENT "${VELMORA_WINE_ENVIRONMENT}" TIMEOUT 1800)
  set_tests_properties(velmora_tests PROPERTIES
    FIXTURES_REQUIRED wine TIMEOUT 1800 ENVIRONMENT
    "${VELMORA_WINE_ENVIRONMENT};VELMORA_EXPECT_DESCRIBE=${VELMORA_SOURCE_DESCRIBE}")

  # The runner runs a program copied to a folder of its own under /tmp and
  # hands back its output, exit code and files, with a copy of this build's
  # prefix; it refuses what it cannot run, saying why. (Once, in the win32
  # build: in the emulated machine every start costs.)
  if(NOT VELMORA_RELEASE)
    add_test(NAME win32_runner
      COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/win32_run_test.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
              $<TARGET_FILE:win32_run_probe> ${VELMORA_WINE_PREFIX})
    set_tests_properties(win32_runner PROPERTIES
      FIXTURES_REQUIRED wine ENVIRONMENT "${VELMORA_WINE_ENVIRONMENT}" TIMEOUT 1800)
  endif()

  add_test(NAME plugin_exports_win32
    COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check_exports_win32.sh
            ${CMAKE_OBJDUMP} $<TARGET_FILE:velmora_plugin> ${CMAKE_NM})
  # ... and that the check refuses what Windows would refuse (on the
  # development DLL, whose symbols name the handler).
  if(NOT VELMORA_RELEASE)
    add_test(NAME plugin_exports_win32_refusals
      COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check_exports_win32_test.sh
              ${CMAKE_OBJDUMP} $<TARGET_FILE:velmora_plugin> ${CMAKE_NM})
  endif()
  # The header as a user's Windows reads it; for a release also what ships.
  set(velmora_shipped "")
  if(VELMORA_RELEASE)
    set(velmora_shipped --release)
  endif()
  add_test(NAME plugin_header_win32
    COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check_pe_header_win32.sh ${velmora_shipped}
            ${CMAKE_OBJDUMP} $<TARGET_FILE:velmora_plugin> ${VELMORA_SOURCE_DATE_EPOCH})
else()
  # Natively the test binary's operator new serves the dlopen'ed plugin too.
  target_link_libraries(velmora_tests PRIVATE velmora_test_allocator)
  if(VELMORA_BUILD_HOST)
    target_sources(velmora_tests PRIVATE
      host/main_test.cpp
      host/cli/batch_input_test.cpp
      host/cli/exit_codes_test.cpp
      host/commands/check_command_test.cpp
      host/commands/demo_command_test.cpp
      host/commands/explain_command_test.cpp
      host/commands/get_command_test.cpp
      host/commands/replay_command_test.cpp
      host/commands/resolve_command_test.cpp
      host/download/file_naming_test.cpp
      host/download/part_file_test.cpp
      host/explain/explain_test.cpp
      host/io/terminal_text_test.cpp
      host/net/form_encoding_test.cpp
      host/net/http_connection_test.cpp
      host/net/http_headers_test.cpp
      host/net/recording_test.cpp
      host/run/archive_test.cpp
      host/run/batch_runner_test.cpp
      host/session/cp1251_test.cpp)
    target_link_libraries(velmora_tests PRIVATE velmora_host_testing)
    target_compile_definitions(velmora_tests PRIVATE
      VELMORA_HOST_PATH="$<TARGET_FILE:velmora_host>"
      VELMORA_HOST_README="${PROJECT_SOURCE_DIR}/host/README.md"
      VELMORA_FUZZ_CORPUS="${PROJECT_SOURCE_DIR}/fuzz/corpus")
    add_dependencies(velmora_tests velmora_host)
  endif()

  include(GoogleTest)
  set(VELMORA_TEST_PROPERTIES "")
  if(VELMORA_SANITIZE MATCHES "thread")
    # What the tsan preset sets, and the suppressions for uninstrumented
    # libraries; the velmora-host children inherit it.
    set(VELMORA_TEST_PROPERTIES PROPERTIES ENVIRONMENT
      "TSAN_OPTIONS=halt_on_error=1 suppressions=${PROJECT_SOURCE_DIR}/testing/tsan.supp")
  endif()
  gtest_discover_tests(velmora_tests DISCOVERY_TIMEOUT 60 ${VELMORA_TEST_PROPERTIES})

  add_test(NAME plugin_exports
    COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/check_exports.sh $<TARGET_FILE:velmora_plugin>)
endif()
