# Sourced by the other scripts: a private Wine prefix per build tree, a virtual X display
# when none is set, and one long-lived wineserver with its virtual desktop for the whole run.
# ARCH picks the build tree: x86 (the main one, build/x86, run by 32-bit Wine) or x64
# (build/x64, run by 64-bit Wine). One prefix serves both kinds of program.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ARCH="${ARCH:-x86}"
BUILD="${BUILD:-$ROOT/build/$ARCH}"
export WINEPREFIX="${WINEPREFIX:-$BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko prompts; no shortcuts copied into the Linux desktop's menus.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"

wine_up() {
  mkdir -p "$BUILD"
  if [ -z "${DISPLAY:-}" ]; then
    # Xvfb picks a free display itself and writes its number once it accepts connections:
    # two runs starting at once (both architectures' tests) never race for one number.
    local numfile="$BUILD/.xvfb-display"
    rm -f "$numfile"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" >/dev/null 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$numfile" ] && break; sleep 0.1; done
    [ -s "$numfile" ] || { echo "Xvfb did not start" >&2; return 1; }
    export DISPLAY=":$(head -n 1 "$numfile")"
  fi
  # A prefix made before 32-bit Wine was installed cannot run 32-bit programs: make it afresh.
  if [ -f "$WINEPREFIX/.wizard-ready" ] && [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/.wizard-ready" ]; then
    echo "creating Wine prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    # Tahoma, the dialogs' font, ships with Wine but is not found until it sits in the prefix.
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    # A virtual desktop makes Wine draw captions and frames itself, so screenshots look like Windows.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    # Chinese and Japanese glyphs behind the dialogs' and boxes' font, as Windows links them
    # once East Asian support is installed: the wizard's Chinese and Japanese pages need it.
    for face in 'MS UI Gothic' SimSun; do
      wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d 'WenQuanYi Micro Hei' /f >/dev/null 2>&1
    done
    for face in Tahoma 'Microsoft Sans Serif' 'MS Shell Dlg' 'MS Shell Dlg 2'; do
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" \
        /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
    done
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.wizard-ready"
  fi
  # A server left from an earlier run may be tied to a display that is gone: start afresh.
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  # One server and one desktop for the whole run, with stdio closed so no test waits on them.
  # wineboot starts the prefix's services and waits for them here, not in a test's program:
  # on a prefix just made, the first test once passed every case and still ran into its
  # time-out, its output held open (services started by it are the likely holder).
  wineserver -p >/dev/null 2>&1 </dev/null
  wineboot >/dev/null 2>&1 </dev/null || true
  wine explorer /desktop=Default,1024x768 >/dev/null 2>&1 </dev/null &
  sleep 1
}

wine_down() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -n "${XVFB_PID:-}" ]; then kill "$XVFB_PID" 2>/dev/null || true; wait "$XVFB_PID" 2>/dev/null || true; fi
}
