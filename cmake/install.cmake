# Installing velmora-host (cmake --install): the program, its plugin and its
# documentation, and nothing else (no tests, no archives, no headers):
#
#   bin/velmora-host
#   lib/velmora/Velmora.plg
#   share/doc/velmora-host/README.md, copyright
#
# Velmora.plg is the program's private plugin, not a library for others to
# link, so it goes to a folder of the project's own, as Debian's policy allows
# for private files. Not the multiarch one (lib/x86_64-linux-gnu/velmora):
# that helps libraries of several architectures live side by side, which a
# program's plugin never does (there is one /usr/bin/velmora-host), and
# lib/velmora is the same in every prefix, whatever GNUInstallDirs decided
# when CMake configured, so velmora-host finds it at ../lib/velmora from its
# own folder in any tree, installed with --prefix or unpacked with dpkg -x.
include(GNUInstallDirs)

set(VELMORA_INSTALL_PLUGINDIR lib/velmora CACHE STRING
  "Folder of the installed Velmora.plg, relative to the prefix")
foreach(velmora_dir IN ITEMS VELMORA_INSTALL_PLUGINDIR CMAKE_INSTALL_BINDIR)
  if(IS_ABSOLUTE "${${velmora_dir}}")
    message(FATAL_ERROR "${velmora_dir} must be relative to the prefix: velmora-host finds "
      "its plugin relative to its own folder")
  endif()
endforeach()
cmake_path(RELATIVE_PATH VELMORA_INSTALL_PLUGINDIR BASE_DIRECTORY ${CMAKE_INSTALL_BINDIR}
  OUTPUT_VARIABLE velmora_plugin_from_program)
target_compile_definitions(velmora_hostlib PRIVATE
  VELMORA_PLUGIN_DIR_FROM_PROGRAM="${velmora_plugin_from_program}")
set(VELMORA_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/velmora-host)
# Whatever the umask of the machine that installs or packs.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS velmora_host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A plugin is read, not run: no execute bits.
install(TARGETS velmora_plugin LIBRARY DESTINATION ${VELMORA_INSTALL_PLUGINDIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PROJECT_SOURCE_DIR}/host/README.md DESTINATION ${VELMORA_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${VELMORA_INSTALL_DOCDIR}
  RENAME copyright)

# The installed tree at work: its files, the plugin found relative to the
# program (and never in the current folder), the demo. About the layout, so not in the sanitizer builds, whose tests run
# velmora-host end to end already.
if(VELMORA_BUILD_TESTS AND NOT VELMORA_SANITIZE)
  enable_testing()
  add_test(NAME host_install
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check_install.sh --build ${PROJECT_BINARY_DIR})
endif()
