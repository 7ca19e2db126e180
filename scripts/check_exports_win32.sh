#!/bin/sh
# Checks the PE32 plugin as a user's Windows sees it: a 32-bit DLL that
# exports exactly PlgDestroy, PlgGetDirectLink and PlgInit at ordinals 1 to 3
# and imports nothing but kernel32, user32 and msvcrt, which every Windows
# has (as the README promises).
set -eu
# objdump translates its headings; read them in English.
export LC_ALL=C
objdump=${1:?usage: check_exports_win32.sh OBJDUMP PATH/Velmora.plg}
plugin=${2:?usage: check_exports_win32.sh OBJDUMP PATH/Velmora.plg}
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

[ $failed -eq 0 ] || exit 1
echo "exports ok: $names(ordinals $ordinals); imports: $imports"
