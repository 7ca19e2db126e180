# The literal reference: a naive rendering of the text work that tests, fuzz
# targets and benchmarks compare the plugin against. Never linked into it.
add_library(velmora_literal_reference STATIC resolve/literal_reference.cpp)
target_link_libraries(velmora_literal_reference PUBLIC velmora_resolve)

if(VELMORA_BUILD_TESTS)
  target_sources(velmora_tests PRIVATE resolve/literal_reference_test.cpp)
  target_link_libraries(velmora_tests PRIVATE velmora_literal_reference)
endif()
