# Fault and overlap tests, in the one test binary. Natively only for now:
# replacing operator new in the test program does not reach a DLL, and the
# win32 thread model of the cross compiler has no std::thread.
if(WIN32)
  return()
endif()

option(VELMORA_FAULT_INJECTION
  "Replace operator new in the test binary to count blocks and fail allocations on purpose" ON)

target_sources(velmora_tests PRIVATE
  plugin/plugin_stress_test.cpp)
find_package(Threads REQUIRED)
target_link_libraries(velmora_tests PRIVATE Threads::Threads)

if(VELMORA_FAULT_INJECTION)
  target_sources(velmora_tests PRIVATE
    plugin/test_allocator.cpp
    plugin/plugin_faults_test.cpp)
endif()
