#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# With --demo, only what the native build of the plugin and velmora-host need;
# with --deb, that and what makes velmora-host's Debian package; with
# --deb-check, also what checks the package (scripts/test_deb.sh).
set -euo pipefail

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
updated=""

install_missing() {
  local missing=() package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  # wine32 is an i386 package.
  if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    updated=""
  fi
  if [ -z "$updated" ]; then
    $sudo apt-get update -qq
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

packages=(cmake make g++ libgtest-dev libgmock-dev googletest libbenchmark-dev)
# velmora-host: HTTP client, command line, in-process demo server.
packages+=(pkgconf libcurl4-openssl-dev libcli11-dev libcpp-httplib-dev nlohmann-json3-dev)
# get: SHA-256 of the downloaded files.
packages+=(libssl-dev)
# velmora-host's man page, made from its --help.
packages+=(help2man)
mode=${1:-}
if [ "$mode" != --demo ]; then
  # The Debian package (CPack): dpkg-shlibdeps, and file to find the binaries.
  packages+=(dpkg-dev file)
fi
if [ "$mode" != --demo ] && [ "$mode" != --deb ]; then
  # The package's and the installed tree's checks (scripts/test_deb.sh,
  # scripts/check_install.sh).
  packages+=(lintian man-db)
fi
if [ -z "$mode" ]; then
  # Sanitizer runs: valgrind over the ABI test.
  packages+=(valgrind)
  # The Win32 build and its tests under Wine (scripts/test_win32.sh).
  packages+=(g++-mingw-w64-i686-win32 wine wine32:i386 locales)
  # The release: its commit, its archives (scripts/package_release.sh,
  # scripts/test_reproducible.sh).
  packages+=(git zip unzip)
  # The fuzz targets (clang with libFuzzer and the sanitizers).
  packages+=(clang libclang-rt-dev)
fi
install_missing "${packages[@]}"
[ -n "$mode" ] && exit 0

# Where this machine cannot execute 32-bit code, Wine runs inside an emulated
# machine (scripts/win32_run.sh): QEMU, a Debian kernel and a static busybox.
# The runner's own test boots it on every machine.
install_missing qemu-system-x86 linux-image-amd64 busybox-static
