#!/usr/bin/env bash
# The x64 installer on a 32-bit Windows: a Wine prefix of the 32-bit kind, made once and kept
# in the build tree, stands for one. Run silently, the installer must end with code 2 and
# install nothing; run with its pages, it must first say why in a message box in the language
# asked for (/lang:de), and install nothing while that waits. Wine's msgbox trace gives the
# box's text. The x64 MSI package, when given, must be refused by Windows Installer: 1633, "not
# supported by this processor type".
#
#   x64-refused-on-32bit.sh SETUP.exe PREFIX [X64.msi]   (exit 77: no 32-bit Wine here, skipped)
set -euo pipefail
setup=$1
msi=${3:-}
export WINEPREFIX=$2
export WINEARCH=win32 WINEDEBUG=-all
# No copies of Start-menu entries into the Linux desktop's menus (see tests/install/CMakeLists.txt).
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-};winemenubuilder.exe=d"

drive=$WINEPREFIX/drive_c
if [ ! -f "$WINEPREFIX/.win32-ready" ]; then
  echo "creating 32-bit Wine prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  if [ ! -f "$drive/windows/system32/kernel32.dll" ]; then
    echo "SKIPPED: no 32-bit Wine prefix could be made (is wine32 installed?)"
    exit 77
  fi
  touch "$WINEPREFIX/.win32-ready"
fi
if [ -d "$drive/windows/syswow64" ]; then
  echo "FAIL: $WINEPREFIX is a 64-bit prefix"
  exit 1
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
nothing_installed() {
  [ ! -e "$drive/Program Files/ROM Upgrade Wizard" ] || fail "$1: a program folder was made"
  [ ! -e "$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/ROM Upgrade Wizard (x64).lnk" ] \
    || fail "$1: a Start-menu shortcut was made"
  # (No check of its uninstall entry: in a 32-bit prefix Wine fails the write into the 64-bit
  # registry view, so even an installer that went ahead leaves none; seen once.)
}

status=0
wine "$setup" /S || status=$?
[ "$status" -eq 2 ] || fail "silent: exit code $status, not 2"
nothing_installed silent

if [ -n "${DISPLAY:-}" ]; then
  log=$(mktemp)
  # In the language asked for: the box comes before any page, where the installer's language
  # is easily still Windows' own.
  WINEDEBUG=-all,+msgbox wine "$setup" /lang:de 2>"$log" &
  for _ in $(seq 300); do grep -q MSGBOX_OnInit "$log" && break; sleep 0.1; done
  text=$(grep MSGBOX_OnInit "$log" || true)
  echo "box: ${text#*MSGBOX_OnInit }"
  [[ "$text" == *"64-Bit-Ausgabe (x64)"* && "$text" == *"ein 32-Bit-Windows"* && "$text" == *"x86-Ausgabe"* ]] \
    || fail "with pages: no message box saying in German that this x64 edition needs a 64-bit Windows"
  sleep 1
  [ ! -e "$drive/Program Files/ROM Upgrade Wizard" ] || fail "with pages: installed while the box was up"
  # The installer waits on the box: end it, and everything else of this private prefix.
  wineserver -k || true
  wait || true
  rm -f "$log"
  nothing_installed "with pages"
else
  echo "no DISPLAY: the message box is not checked"
fi

if [ -n "$msi" ]; then
  status=0
  wine msiexec /i "$(winepath -w "$msi")" /qn || status=$?
  # A Linux exit code keeps the low 8 bits of Windows' own: 1633 & 255.
  [ "$status" -eq $((1633 & 255)) ] || fail "MSI: exit code $status, not 1633 (ERROR_INSTALL_PLATFORM_UNSUPPORTED)"
  nothing_installed MSI
fi

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "the x64 installer refuses a 32-bit Windows"
