#!/bin/sh
# Packs a release build into DIST (the release preset's package step runs it):
#
#   Velmora-VERSION-win32.zip        Velmora.plg, INSTALL.txt, LICENSE,
#                                    CHANGELOG.md and their SHA256SUMS
#   Velmora-VERSION-win32-debug.zip  Velmora.plg.debug, the debug information
#                                    that the plugin's debug link names
#   SHA256SUMS                       of the two archives
#
# The archives are the same bytes for the same inputs: entries in a fixed
# order, every time the commit's time (EPOCH), mode 0644, no owners or other
# extra fields. The text files get CR LF line ends, for Windows editors.
#
# usage: package_release.sh SOURCE_DIR BUILD_DIR DIST VERSION DESCRIBE EPOCH
set -eu
[ $# -eq 6 ] || {
  echo "usage: package_release.sh SOURCE_DIR BUILD_DIR DIST VERSION DESCRIBE EPOCH" >&2
  exit 2
}
source_dir=$1 build_dir=$2 dist=$3 version=$4 describe=$5 epoch=$6
say() { echo "package_release.sh: $*" >&2; }

# The version resource names the commit that CMake saw; a commit or an edit
# since then would ship a DLL that says something else than its sources.
if [ -e "$source_dir/.git" ] && command -v git >/dev/null; then
  now=$(git -C "$source_dir" describe --tags --long --always --dirty --abbrev=10)
  if [ "$now" != "$describe" ]; then
    say "the build was configured at $describe, the sources are now at $now:" \
      "configure again (cmake --preset release) before packaging"
    exit 1
  fi
fi
grep -q "^## \[$version\] - " "$source_dir/CHANGELOG.md" || {
  say "CHANGELOG.md has no entry '## [$version] - DATE' for this version"
  exit 1
}
case $describe in
  *-dirty) say "warning: $describe has changes that are not committed" ;;
esac
for tool in zip sha256sum; do
  command -v $tool >/dev/null || {
    say "$tool is missing (scripts/install_deps.sh installs it)"
    exit 1
  }
done

name=Velmora-$version-win32
stage=$build_dir/package
rm -rf "$stage"
mkdir -p "$stage/$name" "$stage/$name-debug" "$dist"

crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }
cp "$build_dir/Velmora.plg" "$stage/$name/Velmora.plg"
crlf "$source_dir/docs/INSTALL.txt" "$stage/$name/INSTALL.txt"
crlf "$source_dir/LICENSE" "$stage/$name/LICENSE"
crlf "$source_dir/CHANGELOG.md" "$stage/$name/CHANGELOG.md"
(cd "$stage/$name" && sha256sum Velmora.plg INSTALL.txt LICENSE CHANGELOG.md >SHA256SUMS)
cp "$build_dir/Velmora.plg.debug" "$stage/$name-debug/Velmora.plg.debug"

# zip keeps DOS times in local time: read the epoch in UTC everywhere.
export TZ=UTC
pack() { # pack ARCHIVE FOLDER FILE...: the files of FOLDER, in this order
  archive=$1 folder=$2
  shift 2
  (cd "$folder" && chmod 0644 "$@" && touch -d "@$epoch" "$@")
  rm -f "$archive"
  (cd "$folder" && zip -q -X -D -9 "$archive" "$@")
  touch -d "@$epoch" "$archive"
}
dist=$(cd "$dist" && pwd)
pack "$dist/$name.zip" "$stage/$name" Velmora.plg INSTALL.txt LICENSE CHANGELOG.md SHA256SUMS
pack "$dist/$name-debug.zip" "$stage/$name-debug" Velmora.plg.debug
(cd "$dist" && sha256sum "$name.zip" "$name-debug.zip" >SHA256SUMS)

echo "$dist/$name.zip ($(wc -c <"$dist/$name.zip") bytes; Velmora.plg $(wc -c <"$build_dir/Velmora.plg") bytes, $describe)"
echo "$dist/$name-debug.zip"
sed 's/^/  /' "$dist/SHA256SUMS"
