#!/usr/bin/env bash
# Builds build/win32/Velmora.plg (PE32 DLL) and runs the Win32 tests under
# Wine twice: in a single-byte ANSI code page (1252) and in a double-byte one
# (932, Japanese), which Wine takes from the Unix locale.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# Without the ja_JP.UTF-8 locale Wine silently falls back to code page 1252.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
  $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

cmake --preset win32
cmake --build --preset win32

# The tests check that Wine really chose the code page expected here.
unset LC_ALL LC_CTYPE
LANG=C.UTF-8 VELMORA_EXPECT_ACP=1252 ctest --preset win32
LANG=ja_JP.UTF-8 VELMORA_EXPECT_ACP=932 ctest --preset win32
