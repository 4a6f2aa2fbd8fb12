#!/usr/bin/env bash
# Configures and builds everything (programs, tools, tests, benchmarks) for both architectures:
# build/x86 (32-bit, the main build) and build/x64. ARCHES="x86" builds one only; TARGETS="..."
# builds those targets only (and what they need), as the demo does. SIGNERS_FILE names a maker's
# signers.txt for the packages to ship beside the programs.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$ROOT/scripts/install-deps.sh"
for arch in ${ARCHES:-x86 x64}; do
  case "$arch" in
    x86) toolchain=mingw-w64-i686.cmake ;;
    x64) toolchain=mingw-w64-x86_64.cmake ;;
    *) echo "unknown architecture $arch" >&2; exit 2 ;;
  esac
  cmake -S "$ROOT" -B "$ROOT/build/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain" -DWIZARD_SIGNERS="${SIGNERS_FILE:+$(realpath "$SIGNERS_FILE")}" >/dev/null
  # shellcheck disable=SC2086  # TARGETS is a list of words
  cmake --build "$ROOT/build/$arch" ${TARGETS:+--target $TARGETS}
done
