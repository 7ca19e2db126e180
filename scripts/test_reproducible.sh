#!/usr/bin/env bash
# Builds the release twice from the same commit, in two clean clones whose
# folders differ in name and depth, under different locales, time zones and
# umasks, and compares what ships: Velmora.plg, Velmora.plg.debug and the
# archives in dist/ must be the same bytes; the archive must hold its five
# files, whose SHA256SUMS must hold. Changes to tracked files that are
# not committed yet take part (git stash create); untracked files do not.
#
# test_reproducible.sh [TREE]: the release that TREE built (scripts/release.sh
# passes its own) must be the same bytes as well.
set -euo pipefail
cd "$(dirname "$0")/.."
# Every core, unless the caller says otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
unset SOURCE_DATE_EPOCH

# (A commit object only, made without touching the tree, the index or any
# branch; its author need not be configured.)
commit=$(GIT_AUTHOR_NAME=velmora GIT_AUTHOR_EMAIL=velmora GIT_COMMITTER_NAME=velmora \
  GIT_COMMITTER_EMAIL=velmora git stash create)
[ -n "$commit" ] || commit=$(git rev-parse HEAD)
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT

build() { # build FOLDER LANG TZ UMASK
  git clone -q --shared --no-checkout "$PWD" "$1"
  git -C "$1" checkout -q --detach "$commit"
  (
    cd "$1"
    umask "$4"
    export LANG=$2 TZ=$3
    cmake --preset release -DVELMORA_BUILD_TESTS=OFF &&
      cmake --build --preset release-package
  ) >"$1.log" 2>&1 || {
    cat "$1.log" >&2
    echo "test_reproducible.sh: the build in $1 failed" >&2
    exit 1
  }
}
a=$work/a/velmora
b=$work/b/some/deeper/folder/Velmora-copy
start=$SECONDS
build "$a" C.UTF-8 UTC 022
build "$b" ja_JP.UTF-8 Asia/Tokyo 077

failed=0
shipped=$(cd "$a" && echo build/release/Velmora.plg build/release/Velmora.plg.debug dist/*)
for tree in "$b" ${1:+"$1"}; do
  for file in $shipped; do
    if ! cmp -s "$a/$file" "$tree/$file"; then
      echo "test_reproducible.sh: $file differs between $a and $tree:" >&2
      cmp -l "$a/$file" "$tree/$file" 2>&1 | head -n 5 >&2 || true
      failed=1
    fi
  done
done

# The archive holds what INSTALL.txt lists, and its checksums hold.
version=$(sed -n 's/^project(Velmora VERSION \([0-9.]*\).*/\1/p' "$a/CMakeLists.txt")
mkdir "$work/unpacked"
(cd "$work/unpacked" && unzip -q "$a/dist/Velmora-$version-win32.zip")
entries=$(cd "$work/unpacked" && ls | tr '\n' ' ')
if [ "$entries" != "CHANGELOG.md INSTALL.txt LICENSE SHA256SUMS Velmora.plg " ]; then
  echo "test_reproducible.sh: the archive holds $entries" >&2
  failed=1
fi
(cd "$work/unpacked" && sha256sum --quiet -c SHA256SUMS) || failed=1
cmp -s "$work/unpacked/Velmora.plg" "$a/build/release/Velmora.plg" || {
  echo "test_reproducible.sh: the archive's Velmora.plg is not the one built" >&2
  failed=1
}
[ $failed -eq 0 ] || exit 1
echo "reproducible: two clean builds of $(git -C "$a" describe --tags --always --abbrev=10)" \
  "in two folders${1:+ and the release in $1} are the same bytes ($((SECONDS - start)) s):"
(cd "$a" && sha256sum $shipped) | sed 's/^/  /'
