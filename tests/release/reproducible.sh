#!/usr/bin/env bash
# Builds the shipped programs and the packages of one architecture a second time, from a copy
# of the source in another folder, and compares them byte for byte with those of the build
# tree given.
#
#   reproducible.sh SOURCE_DIR BUILD_DIR TOOLCHAIN_FILE_NAME SOURCE_DATE_EPOCH FILE...
#
# FILE... are paths relative to BUILD_DIR. The copy has no history: it is given the time the
# build tree was made with.
set -euo pipefail
src="$1" build="$2" toolchain="$3" epoch="$4"
shift 4
work=$(mktemp -d /tmp/reproduce.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The source as it is now: tracked files, and new ones not ignored.
mkdir "$work/elsewhere"
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
   while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
   xargs -0 cp --parents -t "$work/elsewhere")
cmake -S "$work/elsewhere" -B "$work/elsewhere/out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$work/elsewhere/cmake/$toolchain" -DSOURCE_DATE_EPOCH="$epoch" >/dev/null
cmake --build "$work/elsewhere/out" --target packages >/dev/null

status=0
for f in "$@"; do
  if cmp -s "$build/$f" "$work/elsewhere/out/$f"; then
    echo "same:    $f sha256=$(sha256sum < "$build/$f" | cut -c1-64)"
  else
    echo "DIFFERS: $f" >&2
    cmp -l "$build/$f" "$work/elsewhere/out/$f" 2>&1 | head -5 >&2 || true
    status=1
  fi
done
exit $status
