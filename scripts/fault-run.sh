#!/usr/bin/env bash
# The long randomised fault run: scripts/fault-run.sh [RUNS] [SEED] (default 1000 runs).
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$ROOT/scripts/build.sh"
wine_up
trap wine_down EXIT
wine "$BUILD/tests/faults/fault_runner.exe" --runs="${1:-1000}" --seed="${2:-$(date +%s)}" \
  --flasher="$BUILD/flasher/romflash.exe" | tr -d '\r'
