#!/usr/bin/env bash
# Builds both architectures, then runs every test of each under Wine, both at once: the x86
# tree with 32-bit Wine, the x64 tree with 64-bit Wine, each in its own prefix and virtual display.
# ARCHES="x64" tests one tree only; other arguments go to ctest (e.g. -R upgrade_road).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
"$ROOT/scripts/build.sh"
passed=0
failed=0
status=0
# Each tree has its own prefix, wineserver and virtual display (never the user's: two desktops
# on one display would take each other's keyboard focus), so the two run side by side; their
# lines are marked with the architecture, and each tree's whole output is kept in ctest.log.
pids=()
for arch in ${ARCHES:-x86 x64}; do
  log="$ROOT/build/$arch/ctest.log"
  (ARCH=$arch bash -c 'unset DISPLAY; source "$0/scripts/wine-env.sh"; wine_up; trap wine_down EXIT
                                     cd "$BUILD" && ctest --output-on-failure --timeout 300 "${@}"' "$ROOT" "$@" 2>&1 \
     | tee "$log" | sed -u "s/^/$arch| /") &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for arch in ${ARCHES:-x86 x64}; do
  log="$ROOT/build/$arch/ctest.log"
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
  echo "$arch: ${summary:-no summary (see build/$arch/ctest.log)}"
  if [[ "$summary" =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  else
    status=1
  fi
done
echo "(x86 and x64 together)"
echo "tests: $passed passed, $failed failed"
exit $status
