#!/usr/bin/env bash
# Signs the packages of one architecture with a throwaway certificate made here, then checks
# that both signatures (SHA-1, and the nested SHA-256 one) are on the two programs, the
# installer and the uninstaller it installs, the MSI package (where it is made), and that the signed programs still pass the
# hardening test and a whole upgrade each.
#
#   signing.sh BUILD_DIR HARDENING_EXE EXPORTS_DIR VERSION ROAD_EXE -- MAKE_PACKAGES_OPTIONS...
#
# Runs under the Wine prefix and display of the tests (wine-env.sh). Exit code 77: a tool is
# missing (osslsigncode, openssl).
set -euo pipefail
build="$1" hardening="$2" exports="$3" version="$4" road="$5"
shift 5
[ "$1" = "--" ] && shift
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "signing.sh: no $tool"; exit 77; }
done
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work=$(mktemp -d /tmp/signing.XXXXXX)
folder='C:\signing-test'
cleanup() {
  if [ -e "$WINEPREFIX/drive_c/signing-test/Uninstall.exe" ]; then
    wine "$folder\\Uninstall.exe" /S "_?=$folder" >/dev/null 2>&1 || true
  fi
  rm -rf "$work" "$WINEPREFIX/drive_c/signing-test"
}
trap cleanup EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 30 \
  -subj "/CN=ROM Upgrade Wizard test signer" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl pkcs12 -export -out "$work/cert.pfx" -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway

# The packages, made as package.sh makes them, into a folder of this test's own.
options=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--out" ]; then options+=(--out "$work"); shift 2; else options+=("$1"); shift; fi
done
SIGN_PFX="$work/cert.pfx" SIGN_PASSWORD=throwaway bash "$here/../../packaging/make-packages.sh" "${options[@]}"
setup=$(ls "$work"/*-setup.exe)
stage=$(ls -d "$work"/*.stage/*/)

failed=0
expect_signed() {
  local out
  out=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$1" 2>&1) || true
  if [ "$(grep -c "Signature verification: ok" <<<"$out")" -eq 2 ] && grep -qi "digest algorithm *: *SHA1" <<<"$out" &&
     grep -qi "digest algorithm *: *SHA256" <<<"$out"; then
    echo "signed twice: $(basename "$1")"
  else
    echo "NOT SIGNED TWICE: $1"
    echo "$out" | tail -15
    failed=1
  fi
}
expect_signed "$stage/RomUpgradeWizard.exe"
expect_signed "$stage/romflash.exe"
expect_signed "$setup"
if [[ " ${options[*]} " == *" --wixl "* ]]; then
  msi=$(ls "$work"/*.msi 2>/dev/null || true)
  if [ -n "$msi" ]; then expect_signed "$msi"; else echo "NO MSI PACKAGE MADE"; failed=1; fi
fi

# The uninstaller exists only once the installer has run.
wine "$setup" /S "/D=$folder"
expect_signed "$WINEPREFIX/drive_c/signing-test/Uninstall.exe"

# The signed programs, as installed, through the hardening test and an upgrade each.
wizard="$folder\\RomUpgradeWizard.exe" flasher="$folder\\romflash.exe"
wine "$hardening" "--program=$wizard" "--exports=$exports" "--version=$version" || failed=1
wine "$hardening" "--program=$flasher" --console "--exports=$exports" "--version=$version" || failed=1
wine "$road" "--wizard=$wizard" "--flasher=$flasher" \
  "--gtest_filter=RoadScenario.TransferStartsOneSecond*:Flasher.WritesTheWholeImageByteForByte*" || failed=1
exit $failed
