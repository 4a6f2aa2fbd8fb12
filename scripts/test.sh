#!/usr/bin/env bash
# Builds, then runs every test under Wine in a private prefix and a virtual display.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
"$ROOT/scripts/build.sh"
wine_up
trap wine_down EXIT
cd "$BUILD"
ctest --output-on-failure --timeout 300 "$@"
