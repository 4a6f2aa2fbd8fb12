#!/usr/bin/env bash
# Rebuilds the wizard's artwork in res/art/ with the native host compiler and
# verifies the written files. The results are committed, so the normal
# (cross) build never needs to run this.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
out="${1:-$root/res/art}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
"${CXX_NATIVE:-g++}" -std=c++17 -O2 -Wall -Wextra -Werror -o "$tmp/artgen" "$here/artgen.cpp"
mkdir -p "$out"
"$tmp/artgen" "$out"
"$tmp/artgen" --check "$out"
