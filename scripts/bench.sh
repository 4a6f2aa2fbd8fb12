#!/usr/bin/env bash
# Benchmarks (never run by the tests): staging speed, and the transfer's speed and memory
# through the shipped programs. Options go to the transfer benchmark (--mib, --big-mib, --rounds).
#
# Under Wine every block write is a round trip through the wine server. Spread over several
# processors those round trips wait on wake-ups from one processor to another, and the same
# loop runs anywhere from 5 to 20 MiB/s from one run to the next. The benchmarks therefore run
# with Wine, the display and every program on one processor, where the figures hold still;
# BENCH_ALL_CPUS=1 runs them spread out instead.
set -euo pipefail
if [ -z "${BENCH_ALL_CPUS:-}" ] && [ -z "${BENCH_PINNED:-}" ] && command -v taskset >/dev/null; then
  BENCH_PINNED=1 exec taskset -c 0 "$0" "$@"
fi
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/build.sh"
if [ -n "${BENCH_PINNED:-}" ]; then echo "(all on processor 0; BENCH_ALL_CPUS=1 spreads them)"; fi
# Each build in turn (ARCHES="x64" for one), with a display of its own, so that it too runs
# under this affinity (wine_up starts the server afresh).
for arch in ${ARCHES:-x86 x64}; do
  echo "=== $arch"
  ARCH=$arch bash -c 'source "$0/scripts/wine-env.sh"; unset DISPLAY; wine_up; trap wine_down EXIT
    if [ -e "$BUILD/bench/staging/staging_bench.exe" ]; then
      wine "$BUILD/bench/staging/staging_bench.exe" | tr -d "\r"
    fi
    wine "$BUILD/bench/transfer/transfer_bench.exe" --wizard="$BUILD/RomUpgradeWizard.exe" \
      --flasher="$BUILD/romflash.exe" "${@}" | tr -d "\r"' "$ROOT" "$@"
done
