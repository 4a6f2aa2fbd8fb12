#!/usr/bin/env bash
# Benchmarks (never run by the tests): staging speed, and the transfer's speed and memory
# through the shipped program. Options go to the transfer benchmark (--mib, --big-mib, --rounds).
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$ROOT/scripts/build.sh"
wine_up
trap wine_down EXIT
if [ -e "$BUILD/bench/staging/staging_bench.exe" ]; then
  wine "$BUILD/bench/staging/staging_bench.exe" | tr -d '\r'
fi
wine "$BUILD/bench/transfer/transfer_bench.exe" --wizard="$BUILD/RomUpgradeWizard.exe" "$@" | tr -d '\r'
