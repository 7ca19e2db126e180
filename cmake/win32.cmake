# The Win32 side of the plugin: Velmora.plg as a self-contained PE32 DLL
# with a version resource. The Win32 tests are composed with the others in
# cmake/tests.cmake.
enable_language(RC)
include(${CMAKE_CURRENT_LIST_DIR}/source_revision.cmake)

configure_file(plugin/velmora.rc.in ${CMAKE_BINARY_DIR}/velmora.rc @ONLY)
target_sources(velmora_plugin PRIVATE ${CMAKE_BINARY_DIR}/velmora.rc)
target_include_directories(velmora_plugin PRIVATE ${PROJECT_SOURCE_DIR})
# The image version in the PE header: major.minor of the release.
set_target_properties(velmora_plugin PROPERTIES
  VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})

# The DLL's code is built without C++ exceptions (plugin/boundary.h says
# why); its errors are raised as structured exceptions by the plugin's
# operator new (heap_win32.cpp, Velmora.plg only: the tests' build brings
# its own allocator) and the standard library's error hooks
# (runtime_win32.cpp). velmora_resolve keeps its unwind tables, so that the
# C++ test binary, which links it too, can throw through it.
set(VELMORA_DLL_CODE_OPTIONS -fno-exceptions)
target_compile_options(velmora_resolve PRIVATE ${VELMORA_DLL_CODE_OPTIONS})
target_compile_options(velmora_plugin_objects PRIVATE ${VELMORA_DLL_CODE_OPTIONS})
target_sources(velmora_plugin_objects PRIVATE plugin/runtime_win32.cpp)
target_sources(velmora_plugin PRIVATE plugin/heap_win32.cpp)
target_compile_options(velmora_plugin PRIVATE ${VELMORA_DLL_CODE_OPTIONS})

# Links target as a plugin DLL whose exports the .def file def names:
# Velmora.plg, and the tests' fault-injection build of it.
#
# A user's Windows has no mingw runtime DLLs: libgcc and libstdc++ go into
# the DLL. The .def alone names the exports; --kill-at keeps the stdcall
# decorations (PlgInit@28) out of the export table, and the .def's plain
# names are meant to bind to the decorated stdcall symbols. Never --no-seh:
# the plugin registers a frame handler (AbandonGuard in plugin/boundary.h).
# --gc-sections drops the sections nothing reaches from the exports.
#
# The header a user's Windows reads: the plugin needs Windows Vista (SRW
# locks, among others), so the minimum OS and subsystem versions say 6.0
# and an older Windows refuses the file instead of failing on a missing
# import; a DLL of a windowed host is a GUI-subsystem image. ASLR
# (DYNAMIC_BASE) and DEP (NX_COMPAT) are the linker's defaults and stay on.
# Its time stamps (file header, export table) are the commit's time, not
# the build's clock (cmake/source_revision.cmake).
#
# The C++ runtime's default terminate handler prints the exception's
# demangled type to stderr, which a windowed host does not have, and links
# the demangler (46 KB) for it; std::terminate goes straight to abort, as
# the handler would after printing.
function(velmora_link_win32_dll target def)
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE
    -static-libgcc -static-libstdc++
    "LINKER:--kill-at" "LINKER:--enable-stdcall-fixup" "LINKER:--no-undefined"
    "LINKER:--gc-sections")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def})

  target_link_options(${target} PRIVATE
    "LINKER:--major-os-version,6" "LINKER:--minor-os-version,0"
    "LINKER:--subsystem,windows:6.0"
    "LINKER:--dynamicbase" "LINKER:--nxcompat")
  if(NOT VELMORA_SOURCE_DATE_EPOCH STREQUAL "")
    set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER
      ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VELMORA_SOURCE_DATE_EPOCH})
  endif()
  target_link_options(${target} PRIVATE
    "LINKER:--defsym,__ZN9__gnu_cxx27__verbose_terminate_handlerEv=_abort")
endfunction()
