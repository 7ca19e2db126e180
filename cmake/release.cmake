# The release build (release preset): Velmora.plg as it is shipped.
#
# - optimised (the preset's CMAKE_CXX_FLAGS_RELEASE; -O2 measured against
#   -Os in docs/windows.md) and across files (link-time
#   optimisation, which also drops the functions that --gc-sections cannot:
#   the .eh_frame tables of a PE image keep every function they describe);
# - stripped, its debug information in Velmora.plg.debug beside it, which
#   the DLL names in a debug link (with the file's CRC), so that a crash
#   address can still be read;
# - the same bytes from the same commit in any folder: source paths are
#   written as /velmora/..., and every time stamp is the commit's;
# - packed by the target release_package into dist/ (scripts/package_release.sh).
#
# The tests of the build run against these DLLs: the stripped Velmora.plg
# and the fault-injection DLL built from the same optimised objects.
if(NOT WIN32)
  message(FATAL_ERROR "VELMORA_RELEASE builds the Windows DLL: use the release preset")
endif()
if(VELMORA_SOURCE_DATE_EPOCH STREQUAL "")
  message(FATAL_ERROR "A release takes its time stamps from the commit: "
    "build it from a git checkout or set SOURCE_DATE_EPOCH")
endif()

# The plugin's objects carry their intermediate code for the DLLs' link-time
# optimisation and plain code for everything else that links them (the
# tests, the benchmark: -fno-lto in CMakeLists.txt): mingw's linker plugin
# cannot mix one object's intermediate code with another's plain code for
# the same inline symbols.
target_compile_options(velmora_resolve PRIVATE -flto=auto -ffat-lto-objects)
target_compile_options(velmora_plugin_objects PRIVATE -flto=auto -ffat-lto-objects)
# The exports are the roots of the optimisation: the linker does not tell
# it which functions the .def file exports, so it must be told by name (the
# stdcall names, which the ABI fixes), or it drops them and leaves the
# export table pointing nowhere.
set(velmora_exports _PlgDestroy@0 _PlgGetDirectLink@4 _PlgInit@28)
list(TRANSFORM velmora_exports PREPEND "LINKER:--undefined=" OUTPUT_VARIABLE velmora_roots)
target_link_options(velmora_plugin PRIVATE -flto=auto ${velmora_roots})
if(TARGET velmora_fault_injection)
  # Its own objects too: one link may not mix plain and intermediate code.
  target_compile_options(velmora_test_allocator PRIVATE -flto=auto -ffat-lto-objects)
  target_compile_options(velmora_fault_injection PRIVATE -flto=auto -ffat-lto-objects)
  target_link_options(velmora_fault_injection PRIVATE -flto=auto ${velmora_roots}
    "LINKER:--undefined=_VelmoraTestAllocator@0")
endif()

set(velmora_stamp ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VELMORA_SOURCE_DATE_EPOCH})
add_custom_command(TARGET velmora_plugin POST_BUILD
  COMMAND ${velmora_stamp} ${CMAKE_OBJCOPY} --only-keep-debug
          $<TARGET_FILE_NAME:velmora_plugin> $<TARGET_FILE_NAME:velmora_plugin>.debug
  COMMAND ${velmora_stamp} ${CMAKE_OBJCOPY} --strip-all
          --add-gnu-debuglink=$<TARGET_FILE_NAME:velmora_plugin>.debug
          $<TARGET_FILE_NAME:velmora_plugin>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:velmora_plugin>
  BYPRODUCTS ${CMAKE_BINARY_DIR}/Velmora.plg.debug
  COMMENT "Moving the debug information of Velmora.plg to Velmora.plg.debug"
  VERBATIM)

set(VELMORA_DIST_DIR ${PROJECT_SOURCE_DIR}/dist CACHE PATH "Where release_package puts the archives")
add_custom_target(release_package
  COMMAND sh ${PROJECT_SOURCE_DIR}/scripts/package_release.sh
          ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR} ${VELMORA_DIST_DIR}
          ${PROJECT_VERSION} ${VELMORA_SOURCE_DESCRIBE} ${VELMORA_SOURCE_DATE_EPOCH}
  COMMENT "Packing the release into ${VELMORA_DIST_DIR}"
  VERBATIM)
add_dependencies(release_package velmora_plugin)
