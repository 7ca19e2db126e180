#!/usr/bin/env bash
# Makes the release of the committed sources: dist/Velmora-VERSION-win32.zip
# (what users install), dist/Velmora-VERSION-win32-debug.zip (for reading
# crash addresses) and dist/SHA256SUMS of both.
#
# From a clean build folder it builds the release preset, runs the Win32 tests
# against the shipped DLL in code pages 1252 and 932, packs the archives, and
# builds the same commit twice more in clean clones to show that anyone gets
# the same bytes. Refuses a tree with uncommitted changes; says so when the
# commit has no tag vVERSION (tag it before publishing).
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
say() { echo "release.sh: $*" >&2; }

if [ -n "$(git status --porcelain --untracked-files=normal)" ]; then
  say "the tree has changes that are not committed; commit or stash them first:"
  git status --short >&2
  exit 1
fi
version=$(sed -n 's/^project(Velmora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$(git tag --points-at HEAD --list "v$version")" != "v$version" ]; then
  say "note: HEAD is not tagged v$version; the DLL will name $(git describe --tags --always --abbrev=10)"
fi

scripts/install_deps.sh
rm -rf build/release dist
scripts/test_win32.sh release
cmake --build --preset release-package
scripts/test_reproducible.sh "$PWD"
echo "release $version ready in dist/:"
ls -l dist
