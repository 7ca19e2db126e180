# GoogleTest for a cross build, from the sources Debian ships in
# /usr/src/googletest (the packaged libraries are for the build machine).
set(VELMORA_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${VELMORA_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

if(MINGW)
  # Must come before GoogleTest's own headers (see the header for why):
  # velmora_tests takes it with -I, searched before the -isystem ones.
  set(VELMORA_GTEST_PORT_DIR ${CMAKE_CURRENT_LIST_DIR}/gtest_mingw)
  target_include_directories(gtest BEFORE PRIVATE ${VELMORA_GTEST_PORT_DIR})
  target_include_directories(gtest_main BEFORE PRIVATE ${VELMORA_GTEST_PORT_DIR})
endif()
