#!/bin/sh
# Checks the PE32 plugin as a user's Windows sees it: a 32-bit DLL that
# exports exactly PlgDestroy, PlgGetDirectLink and PlgInit at ordinals 1 to 3
# and imports nothing but kernel32, user32 and msvcrt, which every Windows
# has (as the README promises); and that Windows will call the plugin's
# frame handler, with ASLR and DEP on.
#
#   check_exports_win32.sh OBJDUMP PATH/Velmora.plg [NM]
#
# NM (default: OBJDUMP's nm) finds the frame handler in the symbol table.
set -eu
# objdump translates its headings; read them in English.
export LC_ALL=C
usage="usage: check_exports_win32.sh OBJDUMP PATH/Velmora.plg [NM]"
objdump=${1:?$usage}
plugin=${2:?$usage}
nm=${3:-${objdump%objdump}nm}
headers=$("$objdump" -p "$plugin")
failed=0
fail() {
  echo "$plugin: $*" >&2
  failed=1
}

echo "$headers" | grep -q 'file format pei-i386' || fail "not an i386 PE image"
echo "$headers" | grep -q '^Magic.*(PE32)$' || fail "not PE32"
echo "$headers" | grep -q '^[[:space:]]*DLL$' || fail "not marked as a DLL"

# "Export Address Table -- Ordinal Base 1", then one "[i] +base[ordinal] rva"
# row per export; the name table lists "[i] name" with i into that table.
table=$(echo "$headers" | sed -n '/^Export Address Table -- /,/^$/p')
echo "$table" | grep -q 'Ordinal Base 1$' || fail "ordinal base is not 1"
ordinals=$(echo "$table" | sed -n 's/.*+base\[ *\([0-9]*\)\].*/\1/p' | tr '\n' ' ')
[ "$ordinals" = "1 2 3 " ] || fail "export ordinals are '$ordinals', not 1 2 3"
names=$(echo "$headers" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' | tr '\n' ' ')
[ "$names" = "0 PlgDestroy 1 PlgGetDirectLink 2 PlgInit " ] ||
  fail "named exports are '$names'"

allowed=' kernel32.dll user32.dll msvcrt.dll '
imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | tr '\n' ' ')
[ -n "$imports" ] || fail "no imports found"
for dll in $imports; do
  case $allowed in
    *" $dll "*) ;;
    *) fail "imports $dll, which a user's Windows does not have" ;;
  esac
done

# ---- The frame handler, ASLR and DEP -----------------------------------------
# AbandonGuard (plugin/boundary.h) registers a frame handler at fs:[0]. Windows
# calls it only if the image allows that: never when DllCharacteristics says
# NO_SEH, and, when the load configuration holds a SafeSEH table, only if the
# table lists it. Wine checks neither, so the tests under Wine cannot notice;
# a refused handler would end the host. GNU ld writes no SafeSEH table; a
# toolchain that does must list the handler.
handler_symbol=AbandonHandler
dword() { # FILE OFFSET: the little-endian 32-bit word there
  od -An -tu4 --endian=little -j "$2" -N 4 "$1" | tr -d ' '
}
image_base=$((0x$(echo "$headers" | sed -n 's/^ImageBase[[:space:]]*//p')))
# The file offset of an RVA: the headers are mapped at RVA 0, each section
# at its VMA ("Idx Name Size VMA LMA File-off Algn" rows of objdump -h).
sections=$("$objdump" -h "$plugin" | awk '$1 ~ /^[0-9]+$/ && NF >= 7 { print $3, $4, $6 }')
file_offset() {
  echo "$sections" | {
    while read -r size vma offset; do
      start=$((0x$vma - image_base))
      if [ "$1" -ge "$start" ] && [ "$1" -lt $((start + 0x$size)) ]; then
        echo $(($1 - start + 0x$offset))
        exit 0
      fi
    done
    echo "$1"
  }
}
characteristics=$((0x$(echo "$headers" | sed -n 's/^DllCharacteristics[[:space:]]*//p')))
[ $((characteristics & 0x40)) -ne 0 ] || fail "DllCharacteristics lack DYNAMIC_BASE (ASLR)"
[ $((characteristics & 0x100)) -ne 0 ] || fail "DllCharacteristics lack NX_COMPAT (DEP)"
[ $((characteristics & 0x400)) -eq 0 ] ||
  fail "DllCharacteristics say NO_SEH: Windows would refuse AbandonGuard's frame handler"
seh="no SafeSEH table"
read -r config_rva config_size <<EOF
$(echo "$headers" | sed -n 's/^Entry a \([0-9a-f]*\) \([0-9a-f]*\) Load Configuration.*/\1 \2/p')
EOF
config_rva=$((0x${config_rva:-0})) config_size=$((0x${config_size:-0}))
if [ "$config_rva" -ne 0 ]; then
  config=$(file_offset "$config_rva")
  declared=$(dword "$plugin" "$config")  # the structure's own Size field
  [ "$declared" -lt "$config_size" ] && config_size=$declared
  # SEHandlerTable (a VA) and SEHandlerCount at 0x40 and 0x44.
  if [ "$config_size" -ge 72 ]; then
    table_va=$(dword "$plugin" $((config + 64)))
    count=$(dword "$plugin" $((config + 68)))
    if [ "$table_va" -ne 0 ] || [ "$count" -ne 0 ]; then
      handler=$("$nm" "$plugin" 2>/dev/null | sed -n "s/^\([0-9a-f]*\) [tT] .*$handler_symbol.*/\1/p" |
        head -n 1)
      if [ -z "$handler" ]; then
        fail "has a SafeSEH table, and no symbol $handler_symbol to look for in it (stripped?)"
      else
        handler_rva=$((0x$handler - image_base))
        table=$(file_offset $((table_va - image_base)))
        listed=0 i=0
        while [ $i -lt "$count" ]; do
          [ "$(dword "$plugin" $((table + 4 * i)))" -eq "$handler_rva" ] && listed=1
          i=$((i + 1))
        done
        [ $listed -eq 1 ] ||
          fail "SafeSEH table of $count handlers lacks AbandonGuard's ($handler_symbol): Windows would refuse it"
        seh="SafeSEH table lists the frame handler"
      fi
    fi
  fi
fi
# ------------------------------------------------------------------------------

[ $failed -eq 0 ] || exit 1
echo "exports ok: $names(ordinals $ordinals); imports: $imports"
echo "frame handler accepted ($seh); DYNAMIC_BASE, NX_COMPAT"
