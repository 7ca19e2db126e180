# Fault and overlap tests, in the one test binary. The stress test is the
# same source in both builds; faults are injected differently: natively the
# test binary's operator new serves the dlopen'ed plugin too, while a
# Windows DLL keeps its own, so on Win32 a test-only build of the plugin
# carries the failing allocator (cmake/fault_tests_win32.cmake).
target_sources(velmora_tests PRIVATE
  plugin/plugin_stress_test.cpp
  plugin/test_thread.cpp)

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/fault_tests_win32.cmake)
  return()
endif()

option(VELMORA_FAULT_INJECTION
  "Replace operator new in the test binary to count blocks and fail allocations on purpose" ON)

find_package(Threads REQUIRED)
target_link_libraries(velmora_tests PRIVATE Threads::Threads)

if(VELMORA_FAULT_INJECTION)
  target_sources(velmora_tests PRIVATE
    plugin/test_allocator.cpp
    plugin/plugin_faults_test.cpp)
endif()
