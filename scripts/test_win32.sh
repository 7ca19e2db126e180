#!/usr/bin/env bash
# Builds build/win32/Velmora.plg (PE32 DLL) and runs the Win32 tests under
# Wine twice: in a single-byte ANSI code page (1252) and in a double-byte one
# (932, Japanese), which Wine takes from the Unix locale. Every test program
# runs through scripts/win32_run.sh: Wine directly, or Wine inside an emulated
# machine where this one cannot execute 32-bit code (VELMORA_WIN32_RUNNER
# forces either).
#
# scripts/test_win32.sh release does the same with the release preset: the
# tests run against build/release/Velmora.plg as it ships.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
preset=${1:-win32}
case $preset in
  win32 | release) ;;
  *)
    echo "usage: test_win32.sh [win32|release]" >&2
    exit 64
    ;;
esac

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Without the ja_JP.UTF-8 locale Wine silently falls back to code page 1252.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
  $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

cmake --preset "$preset"
cmake --build --preset "$preset"

echo "Win32 tests run under: $(scripts/win32_run.sh --which)"
# The tests check that Wine really chose the code page expected here.
unset LC_ALL LC_CTYPE
for page in 1252 932; do
  start=$SECONDS
  if [ $page = 932 ]; then lang=ja_JP.UTF-8; else lang=C.UTF-8; fi
  # The runner's own test does not depend on the code page: once.
  once=()
  [ $page = 1252 ] || once=(-E '^win32_runner$')
  LANG=$lang VELMORA_EXPECT_ACP=$page ctest --preset "$preset" "${once[@]}"
  echo "Win32 tests ($preset) in code page $page: $((SECONDS - start)) s"
done
