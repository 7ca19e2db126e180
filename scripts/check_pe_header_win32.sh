#!/bin/sh
# Checks the PE header of the Win32 plugin as a user's Windows reads it: the
# minimum OS and subsystem versions are those of Windows Vista (6.0), the
# plugin's oldest Windows, in the GUI subsystem; the exports lead into the
# code (ASLR, DEP and the frame handler are check_exports_win32.sh's); with EPOCH, the file
# header's and the export table's time stamps are that time (the commit's),
# not the build's.
#
# With --release, also what a release ships: no debug information in the
# DLL, a debug link naming PLUGIN.debug beside it with that file's CRC, and
# at most 160 KB (160,000 bytes).
#
# usage: check_pe_header_win32.sh [--release] OBJDUMP PLUGIN [EPOCH]
set -eu
# objdump translates its headings and prints times in local time.
export LC_ALL=C TZ=UTC
release=""
if [ "${1:-}" = --release ]; then
  release=1
  shift
fi
usage="usage: check_pe_header_win32.sh [--release] OBJDUMP PLUGIN [EPOCH]"
objdump=${1:?$usage}
plugin=${2:?$usage}
epoch=${3:-}
headers=$("$objdump" -p "$plugin")
failed=0
fail() {
  echo "$plugin: $*" >&2
  failed=1
}
field() { echo "$headers" | sed -n "s|^$1[[:space:]]\{1,\}||p" | head -n 1; }

for name in MajorOSystemVersion MajorSubsystemVersion; do
  [ "$(field $name)" = 6 ] || fail "$name is '$(field $name)', not 6 (Windows Vista)"
done
for name in MinorOSystemVersion MinorSubsystemVersion; do
  [ "$(field $name)" = 0 ] || fail "$name is '$(field $name)', not 0"
done
case $(field Subsystem) in
  *"(Windows GUI)") ;;
  *) fail "subsystem is '$(field Subsystem)', not Windows GUI" ;;
esac

# Every export leads into the code: a link that lost a function leaves its
# entry pointing elsewhere, and the host's GetProcAddress finds nothing.
base=$((0x$(field ImageBase)))
text=$("$objdump" -h "$plugin" | awk '$2 == ".text" { print $3, $4 }')
text_start=$((0x${text#* } - base))
text_end=$((text_start + 0x${text% *}))
for rva in $(echo "$headers" | sed -n 's/.*+base\[ *[0-9]*\] *\([0-9a-f]*\) Export RVA.*/\1/p'); do
  [ $((0x$rva)) -ge $text_start ] && [ $((0x$rva)) -lt $text_end ] ||
    fail "an export's address $rva is not in .text"
done

if [ -n "$epoch" ]; then
  expected=$(date -u -d "@$epoch" '+%a %b %e %H:%M:%S %Y')
  [ "$(field Time/Date)" = "$expected" ] ||
    fail "file header time is '$(field Time/Date)', not the commit's ($expected)"
  stamp=$(echo "$headers" | sed -n 's/^Time\/Date stamp[[:space:]]*//p' | head -n 1)
  [ "$stamp" = "$(printf '%08x' "$epoch")" ] ||
    fail "export table time is '$stamp', not the commit's ($(printf '%08x' "$epoch"))"
fi

if [ -n "$release" ]; then
  sections=$("$objdump" -h "$plugin" | awk '$1 ~ /^[0-9]+$/ { print $2 }')
  debug=$(echo "$sections" | grep '^\.debug' | tr '\n' ' ' || true)
  [ -z "$debug" ] || fail "carries debug information: $debug"
  # .gnu_debuglink: the file's name, NUL, padding to 4 bytes, its CRC-32.
  link=$("$objdump" -s -j .gnu_debuglink "$plugin" 2>/dev/null |
    sed -n 's/^ [0-9a-f]\{8\} \(.\{35\}\).*/\1/p' | tr -d ' \n')
  name=$(echo "$link" | awk '
    function byte(at) { return (index(H, substr($0, at, 1)) - 1) * 16 + index(H, substr($0, at + 1, 1)) - 1 }
    BEGIN { H = "0123456789abcdef" }
    { for (at = 1; at < length($0) && byte(at) != 0; at += 2) printf "%c", byte(at) }')
  expected=$(basename "$plugin").debug
  if [ "$name" != "$expected" ]; then
    fail "debug link names '$name', not $expected"
  elif [ ! -f "$plugin.debug" ]; then
    fail "no $plugin.debug beside it"
  else
    # gzip's trailer holds the CRC-32 of its input, little-endian as the link's.
    crc=$(gzip -c "$plugin.debug" | tail -c 8 | head -c 4 | od -An -tx1 | tr -d ' \n')
    [ "${link#"${link%????????}"}" = "$crc" ] ||
      fail "debug link CRC ${link#"${link%????????}"} is not that of $expected ($crc)"
  fi
  size=$(wc -c <"$plugin")
  [ "$size" -le 160000 ] || fail "is $size bytes, more than 160,000"
fi

[ $failed -eq 0 ] || exit 1
echo "header ok: Windows $(field MajorOSystemVersion).$(field MinorOSystemVersion)," \
  "subsystem $(field MajorSubsystemVersion).$(field MinorSubsystemVersion) GUI," \
  "exports in .text${epoch:+, time $(field Time/Date)}${release:+; stripped, $size bytes, linked to $expected}"
