#!/usr/bin/env bash
# Builds the Debian package of velmora-host from a clean build/deb (the deb
# workflow preset: configure, build, CPack) and prints its path,
# build/deb/velmora-host_VERSION_ARCH.deb. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

scripts/install_deps.sh --deb

rm -rf build/deb
# Debian's compiler and linker flags, hardening included (stack protector,
# fortified calls, read-only relocations, immediate binding); CMake reads no
# CPPFLAGS, so they go along with the compiler flags.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"
cmake --workflow --preset deb
ls build/deb/velmora-host_*.deb
