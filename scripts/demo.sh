#!/usr/bin/env bash
# Installs what is missing, builds the native preset and runs the host's
# demo: the plugin resolves the links of the bundled sample site over HTTP
# on 127.0.0.1, then get downloads the sample file and prints its path, size
# and checksum.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

scripts/install_deps.sh --demo

cmake --preset native
cmake --build --preset native --target velmora_host
# The sample file goes to a folder of the build, replaced on every run.
build/native/velmora-host demo -o build/demo-download --overwrite "$@"
