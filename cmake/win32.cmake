# The Win32 side of the plugin: Velmora.plg as a self-contained PE32 DLL
# with a version resource. The Win32 tests are composed with the others in
# CMakeLists.txt.
enable_language(RC)

configure_file(plugin/velmora.rc.in ${CMAKE_BINARY_DIR}/velmora.rc @ONLY)
target_sources(velmora_plugin PRIVATE ${CMAKE_BINARY_DIR}/velmora.rc)
target_include_directories(velmora_plugin PRIVATE ${PROJECT_SOURCE_DIR})

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
