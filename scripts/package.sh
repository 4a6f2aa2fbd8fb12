#!/usr/bin/env bash
# Builds both programs, then leaves the release packages in dist/, for x86 and for x64 (or for
# the architectures ARCHES names, as scripts/build.sh takes them):
#   RomUpgradeWizard-<version>-<arch>.zip        the program(s) and README.txt, to unpack and run
#   RomUpgradeWizard-<version>-<arch>-setup.exe  the installer (silent with /S)
#   RomUpgradeWizard-<version>-<arch>.msi        the Windows Installer package (msiexec /i ... /qn)
#   SHA256SUMS                                   the SHA-256 of every other file in dist/
# Each carries the administrative templates (PolicyDefinitions), and signers.txt beside the
# programs when SIGNERS_FILE names one.
# Each build tree makes its own two and lists them in its packages.txt.
#
# With SIGN_PFX (a PKCS#12 certificate) and SIGN_PASSWORD in the environment, and optionally
# SIGN_TIMESTAMP_URL, the programs, the installers, their uninstallers and the MSI packages are
# signed (packaging/sign.sh).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ -n "${SIGN_PFX:-}" ]; then
  [ -f "$SIGN_PFX" ] || { echo "package.sh: SIGN_PFX: no file $SIGN_PFX" >&2; exit 1; }
  command -v osslsigncode >/dev/null || { echo "package.sh: signing needs osslsigncode" >&2; exit 1; }
  SIGN_PFX="$(cd "$(dirname "$SIGN_PFX")" && pwd)/$(basename "$SIGN_PFX")"
  export SIGN_PFX SIGN_PASSWORD="${SIGN_PASSWORD:-}"
  echo "package.sh: signing with $SIGN_PFX${SIGN_TIMESTAMP_URL:+, time-stamped by $SIGN_TIMESTAMP_URL}"
else
  echo "package.sh: no SIGN_PFX given: the programs and installers are not signed"
fi
remove_packages() {
  local list file
  for list in "$ROOT"/build/*/packages.txt; do
    [ -f "$list" ] || continue
    while IFS= read -r file; do [ -n "$file" ] && rm -f "$file"; done < "$list"
  done
  return 0
}
# Made afresh each time, signed or not as asked now.
remove_packages
"$ROOT/scripts/build.sh"

dist="$ROOT/dist"
rm -rf "$dist"
mkdir -p "$dist"
for arch in ${ARCHES:-x86 x64}; do
  list="$ROOT/build/$arch/packages.txt"
  if [ ! -f "$list" ]; then
    echo "package.sh: no $list: build/$arch was not built" >&2
    exit 1
  fi
  if ! grep -q -- "-$arch\.zip$" "$list" || ! grep -q -- "-$arch-setup\.exe$" "$list" ||
     ! grep -q -- "-$arch\.msi$" "$list"; then
    echo "package.sh: build/$arch did not make all three packages (is zip, makensis, wixl or faketime missing?):" >&2
    cat "$list" >&2
    exit 1
  fi
  while IFS= read -r file; do
    [ -n "$file" ] && cp "$file" "$dist/"
  done < "$list"
done
# Signed packages stay in dist/ only: the build trees make unsigned ones again for the tests.
if [ -n "${SIGN_PFX:-}" ]; then remove_packages; fi
(cd "$dist" && sha256sum -- * > SHA256SUMS)
echo "packages in $dist:"
ls -l "$dist"
