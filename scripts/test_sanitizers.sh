#!/usr/bin/env bash
# Runs the whole unit and ABI suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (LeakSanitizer included), then under
# ThreadSanitizer (the overlapping-call stress test is the point there), and
# the ABI and fault tests of the native build under valgrind memcheck.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

cmake --preset tsan
cmake --build --preset tsan
ctest --preset tsan

# The test binary counts blocks with its own operator new: valgrind must
# leave it in place (nouserintercepts) and watch the malloc beneath.
cmake --preset native >/dev/null
cmake --build --preset native
valgrind --soname-synonyms=somalloc=nouserintercepts --quiet \
  --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=1 \
  build/native/velmora_tests --gtest_filter='PluginAbiTest.*:PluginFaultTest.*'
