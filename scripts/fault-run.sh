#!/usr/bin/env bash
# The long randomised fault run: scripts/fault-run.sh [RUNS] [SEED] (default 1000 runs), against
# each build in turn (ARCHES="x64" for one).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/build.sh"
seed="${2:-$(date +%s)}"
for arch in ${ARCHES:-x86 x64}; do
  echo "=== $arch"
  ARCH=$arch bash -c 'source "$0/scripts/wine-env.sh"; wine_up; trap wine_down EXIT
    wine "$BUILD/tests/faults/fault_runner.exe" --runs="$1" --seed="$2" --flasher="$BUILD/romflash.exe" | tr -d "\r"' \
    "$ROOT" "${1:-1000}" "$seed"
done
