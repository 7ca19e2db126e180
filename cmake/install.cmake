# Installing velmora-host (cmake --install, and the Debian package that
# cmake/package.cmake makes of the same files): the program, its plugin, its
# documentation and its man page, and nothing else (no tests, no archives, no
# headers):
#
#   bin/velmora-host
#   lib/velmora/Velmora.plg
#   share/doc/velmora-host/README.md, copyright, changelog.gz
#   share/man/man1/velmora-host.1.gz
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
include(${CMAKE_CURRENT_LIST_DIR}/source_revision.cmake)

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

# The man page, made from the program's own --help by help2man, with the
# exit codes of its help footer as the EXIT STATUS section, the files it
# looks for and the examples of host/README.md (cmake/man_page.cmake).
find_program(VELMORA_HELP2MAN help2man REQUIRED)
find_program(VELMORA_GZIP gzip REQUIRED)
configure_file(${PROJECT_SOURCE_DIR}/host/velmora-host.h2m.in
  ${PROJECT_BINARY_DIR}/velmora-host.h2m @ONLY)
set(velmora_man ${PROJECT_BINARY_DIR}/velmora-host.1)
add_custom_command(OUTPUT ${velmora_man} ${velmora_man}.gz
  COMMAND ${CMAKE_COMMAND}
    -DHELP2MAN=${VELMORA_HELP2MAN} -DGZIP=${VELMORA_GZIP}
    -DPROGRAM=$<TARGET_FILE:velmora_host> -DVERSION=${PROJECT_VERSION}
    -DDATE_EPOCH=${VELMORA_SOURCE_DATE_EPOCH}
    -DINCLUDE=${PROJECT_BINARY_DIR}/velmora-host.h2m
    -DREADME=${PROJECT_SOURCE_DIR}/host/README.md -DOUTPUT=${velmora_man}
    -P ${CMAKE_CURRENT_LIST_DIR}/man_page.cmake
  DEPENDS velmora_host ${PROJECT_BINARY_DIR}/velmora-host.h2m
          ${PROJECT_SOURCE_DIR}/host/README.md ${CMAKE_CURRENT_LIST_DIR}/man_page.cmake
  COMMENT "Making the man page velmora-host.1 from velmora-host --help"
  VERBATIM)
add_custom_target(velmora_man_page ALL DEPENDS ${velmora_man}.gz)

# Who answers for the package: its Maintainer, the changelog's signature.
set(VELMORA_MAINTAINER "The Velmora developers <velmora@velmora.invalid>")

# The Debian changelog, which lintian asks of every package: one entry for
# this version, dated with the commit (the project's changes are in
# CHANGELOG.md).
set(velmora_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT VELMORA_SOURCE_DATE_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} ${VELMORA_SOURCE_DATE_EPOCH})
endif()
string(TIMESTAMP VELMORA_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${velmora_saved_epoch}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-changelog.in
  ${PROJECT_BINARY_DIR}/changelog @ONLY)
execute_process(COMMAND ${VELMORA_GZIP} -9nc ${PROJECT_BINARY_DIR}/changelog
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

install(TARGETS velmora_host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A plugin is read, not run: no execute bits.
install(TARGETS velmora_plugin LIBRARY DESTINATION ${VELMORA_INSTALL_PLUGINDIR}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${PROJECT_SOURCE_DIR}/host/README.md ${PROJECT_BINARY_DIR}/changelog.gz
  DESTINATION ${VELMORA_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${VELMORA_INSTALL_DOCDIR}
  RENAME copyright)
install(FILES ${velmora_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The installed tree at work: its files, the man page through man, the
# plugin found relative to the program (and never in the current folder),
# the demo. About the layout, so not in the sanitizer builds, whose tests run
# velmora-host end to end already.
if(VELMORA_BUILD_TESTS AND NOT VELMORA_SANITIZE)
  enable_testing()
  add_test(NAME host_install
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check_install.sh --build ${PROJECT_BINARY_DIR})
endif()
