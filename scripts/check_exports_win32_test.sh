#!/bin/sh
# Shows that check_exports_win32.sh refuses an image whose frame handler
# Windows would not call, or that lacks ASLR or DEP: it checks copies of the
# built plugin, each changed in one header field, and expects each verdict.
#
#   check_exports_win32_test.sh OBJDUMP PATH/Velmora.plg [NM]
set -eu
export LC_ALL=C
usage="usage: check_exports_win32_test.sh OBJDUMP PATH/Velmora.plg [NM]"
objdump=${1:?$usage}
plugin=${2:?$usage}
nm=${3:-${objdump%objdump}nm}
check=$(dirname "$0")/check_exports_win32.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

u32() { od -An -tu4 --endian=little -j "$2" -N 4 "$1" | tr -d ' '; }
u16() { od -An -tu2 --endian=little -j "$2" -N 2 "$1" | tr -d ' '; }
put32() { # FILE OFFSET VALUE
  v=$3
  printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) \
    $((v >> 24 & 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
put16() {
  printf "$(printf '\\%03o\\%03o' $(($3 & 255)) $(($3 >> 8 & 255)))" |
    dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}

pe=$(u32 "$plugin" 60)
optional=$((pe + 24))
characteristics_at=$((optional + 70))
characteristics=$(u16 "$plugin" $characteristics_at)
image_base=$(u32 "$plugin" $((optional + 28)))
entry_rva=$(u32 "$plugin" $((optional + 16)))
handler_rva=$((0x$("$nm" "$plugin" | sed -n 's/^\([0-9a-f]*\) [tT] .*AbandonHandler.*/\1/p' |
  head -n 1) - image_base))

# A load configuration with a SafeSEH table of one handler, in the padding
# after the section table (the headers are mapped at RVA 0).
with_safeseh() { # FILE HANDLER-RVA
  sections=$(u16 "$1" $((pe + 6)))
  config=$(((optional + $(u16 "$1" $((pe + 20))) + 40 * sections + 15) / 16 * 16))
  [ $((config + 76)) -le "$(u32 "$1" $((optional + 60)))" ] || {
    echo "no room for a load configuration in the headers" >&2
    exit 1
  }
  dd if=/dev/zero of="$1" bs=1 seek=$config count=76 conv=notrunc 2>/dev/null
  put32 "$1" $config 72
  put32 "$1" $((config + 64)) $((image_base + config + 72))
  put32 "$1" $((config + 68)) 1
  put32 "$1" $((config + 72)) "$2"
  put32 "$1" $((optional + 96 + 8 * 10)) $config
  put32 "$1" $((optional + 96 + 8 * 10 + 4)) 72
}

failed=0
# Each row: what, the change, the verdict expected (ok, or a word of the failure).
while IFS='|' read -r what change expected; do
  copy=$work/Velmora.plg
  cp "$plugin" "$copy"
  case $change in
    none) ;;
    set-no-seh) put16 "$copy" $characteristics_at $((characteristics | 0x400)) ;;
    clear-dynamic-base) put16 "$copy" $characteristics_at $((characteristics & ~0x40)) ;;
    clear-nx-compat) put16 "$copy" $characteristics_at $((characteristics & ~0x100)) ;;
    safeseh-without) with_safeseh "$copy" "$entry_rva" ;;
    safeseh-with) with_safeseh "$copy" "$handler_rva" ;;
  esac
  if output=$(sh "$check" "$objdump" "$copy" "$nm" 2>&1); then verdict=ok; else verdict=failed; fi
  if [ "$expected" = ok ]; then
    [ $verdict = ok ] || { echo "FAIL $what: refused: $output"; failed=1; continue; }
  elif [ $verdict = ok ] || ! echo "$output" | grep -q "$expected"; then
    echo "FAIL $what: expected a failure naming $expected, got: $output"
    failed=1
    continue
  fi
  echo "ok   $what"
done <<'ROWS'
as built|none|ok
NO_SEH set|set-no-seh|NO_SEH
DYNAMIC_BASE cleared|clear-dynamic-base|DYNAMIC_BASE
NX_COMPAT cleared|clear-nx-compat|NX_COMPAT
SafeSEH table without the handler|safeseh-without|lacks
SafeSEH table with the handler|safeseh-with|ok
ROWS
exit $failed
