#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

scripts/install_deps.sh

cmake --preset native
cmake --build --preset native
ctest --preset native
scripts/test_deb.sh
scripts/test_win32.sh
scripts/test_win32.sh release
scripts/test_reproducible.sh
scripts/test_sanitizers.sh
scripts/test_fuzz.sh
