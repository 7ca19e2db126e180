# The Win32 side of the plugin: Velmora.plg as a self-contained PE32 DLL
# with a version resource. The Win32 tests are composed with the others in
# CMakeLists.txt.
enable_language(RC)

configure_file(plugin/velmora.rc.in ${CMAKE_BINARY_DIR}/velmora.rc @ONLY)
target_sources(velmora_plugin PRIVATE ${CMAKE_BINARY_DIR}/velmora.rc)
target_include_directories(velmora_plugin PRIVATE ${PROJECT_SOURCE_DIR})

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
function(velmora_link_win32_dll target def)
  target_sources(${target} PRIVATE ${def})
  target_link_options(${target} PRIVATE
    -static-libgcc -static-libstdc++
    "LINKER:--kill-at" "LINKER:--enable-stdcall-fixup" "LINKER:--no-undefined"
    "LINKER:--gc-sections")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${def})
endfunction()
