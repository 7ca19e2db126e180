#!/usr/bin/env bash
# Shows that win32_run.sh runs a Win32 program from a folder of its own, as
# a new user would, and says why when it cannot: through the emulated
# machine (VELMORA_WIN32_RUNNER=vm) always, through Wine directly where this
# machine runs 32-bit code.
#
#   win32_run_test.sh RUNNER PROBE.exe PREFIX
#
# PROBE.exe is testing/win32_run_probe.c; PREFIX a Wine prefix made before
# (the build's), which is copied to the new folder: a second run there must
# find it and make no new one. Each run of the probe boots the emulated
# machine once, so one run shows all that a run should bring back.
set -uf
usage="usage: win32_run_test.sh RUNNER PROBE.exe PREFIX"
runner=${1:?$usage} probe=${2:?$usage} made_prefix=${3:?$usage}
[ -f "$made_prefix/system.reg" ] || {
  echo "win32_run_test.sh: no Wine prefix in $made_prefix" >&2
  exit 1
}

work=$(mktemp -d /tmp/velmora-runner.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A blank in the folder's name, which the guest's shares take.
here="$work/run here"
mkdir "$here"
cp "$probe" "$here/probe.exe"
cp -a "$made_prefix" "$work/prefix"
made=$(stat -c %Y "$work/prefix/.update-timestamp")

paths=(vm)
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  paths+=(wine)
else
  echo "(the wine path is left out: this machine cannot run 32-bit x86 code)"
fi

# Path (vm, or both) | working folder | program and arguments | exit code |
# what its stdout and stderr hold | files there afterwards, below $work
# (C:\ is the prefix's drive_c), split by commas.
rows=(
  "both|$here|./probe.exe 7 out.txt C:\\velmora-probe.txt|7|win32_run_probe: wrote out.txt|run here/out.txt,prefix/drive_c/velmora-probe.txt"
  "vm|/tmp|cmd /c exit 7|125|the working folder '/tmp' cannot be shared with the guest: the guest has a /tmp of its own|"
  "both|$here|./missing.exe 7|125|the program ./missing.exe does not exist|"
)

failures=0
for path in "${paths[@]}"; do
  for row in "${rows[@]}"; do
    IFS='|' read -r where folder command code says files <<<"$row"
    [ "$where" = both ] || [ "$where" = "$path" ] || continue
    rm -f "$here/out.txt" "$work/prefix/drive_c/velmora-probe.txt"
    start=$SECONDS
    # shellcheck disable=SC2086 # the command's words are split on purpose
    output=$(cd "$folder" && WINEPREFIX="$work/prefix" VELMORA_WIN32_RUNNER=$path \
      "$runner" $command 2>&1)
    got=$?
    verdict=ok
    if [ "$got" != "$code" ]; then
      verdict="exit code $got, not $code"
    elif [[ $output != *"$says"* ]]; then
      verdict="the output lacks \"$says\""
    fi
    IFS=, read -ra files <<<"$files"
    for file in "${files[@]}"; do
      [ -f "$work/$file" ] || verdict="$file is not there afterwards"
    done
    if [ "$(stat -c %Y "$work/prefix/.update-timestamp")" != "$made" ]; then
      verdict="the prefix was made or updated again"
    fi
    echo "$path: ($folder) $command: $verdict ($((SECONDS - start)) s)"
    if [ "$verdict" != ok ]; then
      failures=$((failures + 1))
      printf '%s\n' "$output" | sed 's/^/  | /'
    fi
  done
done
exit $((failures > 0))
