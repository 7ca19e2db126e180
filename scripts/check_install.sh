#!/usr/bin/env bash
# Checks an installed velmora-host: exactly its files, its man page as man
# shows it, where the program finds its plugin (never in the current folder),
# and the demo run from the tree without --plugin.
#
#   scripts/check_install.sh PREFIX        a tree (cmake --install, or dpkg -x ROOT: ROOT/usr)
#   scripts/check_install.sh --build DIR   installs the build DIR into a scratch prefix first
set -euo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/velmora-install-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
# The program sees its real path (/proc/self/exe); so must the comparisons.
scratch=$(cd "$scratch" && pwd -P)
if [ "${1:-}" = --build ]; then
  cmake --install "$2" --prefix "$scratch/prefix" >/dev/null
  prefix=$scratch/prefix
else
  prefix=$(cd "$1" && pwd -P)
fi
failures=0
fail() {
  printf 'check_install: %s\n' "$@" >&2
  failures=$((failures + 1))
}

expected='bin/velmora-host
lib/velmora/Velmora.plg
share/doc/velmora-host/README.md
share/doc/velmora-host/changelog.gz
share/doc/velmora-host/copyright
share/man/man1/velmora-host.1.gz'
found=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$found" = "$expected" ] || fail "the tree holds:" "$found" "instead of:" "$expected"

# The man page, found through MANPATH as `man velmora-host` finds it once
# installed: no warnings, every exit code of the help's table in EXIT
# STATUS, every command line of README's Commands block in EXAMPLES.
# (man-db's seccomp sandbox fails where the kernel or an emulator lacks it:
# not what this checks.)
page=$(MANPATH=$prefix/share/man MANWIDTH=200 MAN_DISABLE_SECCOMP=1 \
       man --warnings -E ascii velmora-host 2>"$scratch/man-warnings") ||
  fail "man velmora-host failed"
[ ! -s "$scratch/man-warnings" ] || fail "man warns:" "$(cat "$scratch/man-warnings")"
section() { awk -v name="$1" '/^[A-Z]/ { inside = ($0 == name) } inside' <<<"$page"; }
exit_status=$(section "EXIT STATUS")
codes=$("$prefix/bin/velmora-host" --help | sed -n 's/^ *\([0-9][0-9]*\)  .*/\1/p')
[ "$(wc -l <<<"$codes")" -ge 16 ] || fail "velmora-host --help lists too few exit codes:" "$codes"
for code in $codes; do
  grep -Eq "^ +$code +[a-z]" <<<"$exit_status" || fail "EXIT STATUS lacks exit code $code"
done
examples=$(section EXAMPLES | tr -s ' ')
commands=$(awk '/^### Commands$/ { inside = 1; next }
                inside && /^    / { print; seen = 1; next }
                inside && seen && NF { exit }' "$prefix/share/doc/velmora-host/README.md")
[ -n "$commands" ] || fail "no Commands block in the installed README.md"
while IFS= read -r line; do
  grep -qF -- "$(tr -s ' ' <<<"${line#    }")" <<<"$examples" || fail "EXAMPLES lacks: $line"
done <<<"$commands"

# Where the plugin is found. Every row runs in a folder that holds a working
# Velmora.plg, which must never be taken. Columns: what, how the row's copy
# of the tree changes, the program and its arguments (in the copy), exit
# code, text the output must hold (TREE: the copy).
mkdir "$scratch/cwd"
cp "$prefix/lib/velmora/Velmora.plg" "$scratch/cwd/"
row=0
while IFS='|' read -r what change run code text; do
  row=$((row + 1))
  tree=$scratch/tree$row
  cp -a "$prefix" "$tree"
  (cd "$tree" && eval "$change")
  set +e
  output=$(cd "$scratch/cwd" && eval "\"$tree/\"$run" 2>&1)
  actual=$?
  set -e
  text=${text//TREE/$tree}
  if [ "$actual" -ne "$code" ] || [[ $output != *"$text"* ]]; then
    fail "$what: exit code $actual (expected $code), output:" "$output" "expected to hold: $text"
  fi
done <<'ROWS'
installed: ../lib/velmora from the program|:|bin/velmora-host --version|0|plugin: TREE/lib/velmora/Velmora.plg, build id
next to the program: taken first|cp lib/velmora/Velmora.plg bin/|bin/velmora-host --version|0|plugin: TREE/bin/Velmora.plg, build id
started through a symbolic link: its target's folder counts|mkdir -p links/bin && ln -s "$PWD/bin/velmora-host" links/bin/|links/bin/velmora-host --version|0|plugin: TREE/lib/velmora/Velmora.plg, build id
a broken one next to the program is reported, not passed over|echo no-elf >bin/Velmora.plg|bin/velmora-host --version|69|cannot load the plugin TREE/bin/Velmora.plg
neither: the current folder's is not taken|rm lib/velmora/Velmora.plg|bin/velmora-host --version|69|velmora-host: cannot find the plugin: neither TREE/bin/Velmora.plg nor TREE/lib/velmora/Velmora.plg exists; name one with --plugin.
neither, for a command|rm lib/velmora/Velmora.plg|bin/velmora-host resolve http://a.example/|69|velmora-host: cannot find the plugin: neither
--plugin names one|rm lib/velmora/Velmora.plg|bin/velmora-host demo --plugin ./Velmora.plg -o ../out-plugin|0|3 of 3 sample links gave the expected result
the demo, without --plugin|:|bin/velmora-host demo -o ../out|0|3 of 3 sample links gave the expected result
ROWS
[ -s "$scratch/out/holiday-photos.zip" ] || fail "the demo saved no holiday-photos.zip"

if [ "$failures" -ne 0 ]; then
  echo "check_install: $failures failures in $prefix" >&2
  exit 1
fi
echo "check_install: $prefix works: its files, its man page, its plugin, the demo"
