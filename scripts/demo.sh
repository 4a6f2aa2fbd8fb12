#!/usr/bin/env bash
# The main job: sets everything up, builds the program of ARCH (x86 unless set, so build/x86),
# and runs a whole upgrade against the emulated handheld, driven by the robot, leaving a PNG
# screenshot of every page in build/$ARCH/screenshots/.
set -euo pipefail
source "$(dirname "$0")/wine-env.sh"
# Only what the demo needs: the shipped programs, the emulated handheld and the demo's robot
# (the tests and benchmarks are scripts/test.sh's to build).
start=$SECONDS
TARGETS=wizard_demo ARCHES="$ARCH" "$ROOT/scripts/build.sh"
echo "built in $((SECONDS - start)) s"
wine_up
out="$BUILD/screenshots"
rm -rf "$out" && mkdir -p "$out"

# Screenshots come from the X display itself: the demo asks for one by writing NN-name.req
# (width height x y of the page, in screen coordinates) and waits for NN-name.png.
desktop_offset() {
  local info
  info=$(xwininfo -root -tree 2>/dev/null | grep -m1 'Wine desktop' || true)
  if [[ "$info" =~ \+([0-9]+)\+([0-9]+)[[:space:]]*$ ]]; then echo "${BASH_REMATCH[1]} ${BASH_REMATCH[2]}"; else echo "0 0"; fi
}
watch_requests() {
  local ox oy
  read -r ox oy < <(desktop_offset)
  while :; do
    for req in "$out"/*.req; do
      [ -e "$req" ] || continue
      read -r w h x y < <(tr -d '\r' < "$req")
      import -window root -crop "${w}x${h}+$((x + ox))+$((y + oy))" +repage "${req%.req}.tmp.png" \
        && mv "${req%.req}.tmp.png" "${req%.req}.png"
      rm -f "$req"
    done
    sleep 0.05
  done
}
watch_requests &
watcher=$!
trap 'kill $watcher 2>/dev/null || true; wine_down' EXIT

status=0
wine "$BUILD/tools/demo/wizard_demo.exe" --wizard="$BUILD/RomUpgradeWizard.exe" --out="$out" "$@" | tr -d '\r' || status=$?
for bmp in "$out"/*.bmp; do
  [ -e "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
echo "screenshots: $out"
ls "$out"
exit $status
