# Fault, overlap and working-memory tests, in the one test binary.
option(VELMORA_FAULT_INJECTION
  "Replace operator new in the test binary to count blocks and fail allocations on purpose" ON)

target_sources(velmora_tests PRIVATE
  plugin/request_pool.cpp
  plugin/request_pool_test.cpp
  plugin/plugin_stress_test.cpp)
find_package(Threads REQUIRED)
target_link_libraries(velmora_tests PRIVATE Threads::Threads)

if(VELMORA_FAULT_INJECTION)
  target_sources(velmora_tests PRIVATE
    plugin/test_allocator.cpp
    plugin/foreign_fault.cpp
    plugin/plugin_faults_test.cpp)
endif()
