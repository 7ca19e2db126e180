# The Debian package of velmora-host, velmora-host_VERSION_ARCH.deb: what
# cmake/install.cmake installs, under /usr, with its binaries stripped. Made
# by scripts/package_deb.sh (the deb presets) from a build of its own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velmora-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMORA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# libcurl, OpenSSL's libcrypto, the C++ runtime: dpkg-shlibdeps reads them
# from the binaries, with the versions their symbols need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "resolves download links with the Velmora plugin, and downloads the files")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "velmora-host loads the Velmora link-resolver plugin (Velmora.plg, included)
at run time, as the download manager does, and serves its callbacks over
HTTP with libcurl. Given links to files' pages, it prints their direct
download links (resolve), what the files are without downloading them
(check), or downloads the files (get). It can record a run
and replay it offline, explain step by step why a link resolved as it did,
and show all of it on a bundled sample site (demo).")
# Only the binary package.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
