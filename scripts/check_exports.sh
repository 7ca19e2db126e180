#!/bin/sh
# Checks that the ELF plugin exports exactly PlgInit, PlgGetDirectLink and
# PlgDestroy, as functions, and nothing else.
set -eu
plugin=${1:?usage: check_exports.sh PATH/Velmora.plg}
actual=$(nm -D --defined-only "$plugin" | awk '{print $2 " " $3}' | sort | tr '\n' ' ')
expected="T PlgDestroy T PlgGetDirectLink T PlgInit "
if [ "$actual" != "$expected" ]; then
  echo "unexpected exports in $plugin: $actual" >&2
  exit 1
fi
echo "exports ok: $actual"
