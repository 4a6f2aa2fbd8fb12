#!/usr/bin/env bash
# Builds both programs, then leaves the release packages in dist/, for x86 and for x64:
#   RomUpgradeWizard-<version>-<arch>.zip        the program(s) and README.txt, to unpack and run
#   RomUpgradeWizard-<version>-<arch>-setup.exe  the installer (silent with /S)
# Each build tree makes its own two and lists them in its packages.txt.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/build.sh"

dist="$ROOT/dist"
rm -rf "$dist"
mkdir -p "$dist"
for arch in x86 x64; do
  list="$ROOT/build/$arch/packages.txt"
  if [ ! -f "$list" ]; then
    echo "package.sh: no $list: build/$arch was not built" >&2
    exit 1
  fi
  if ! grep -q -- "-$arch\.zip$" "$list" || ! grep -q -- "-$arch-setup\.exe$" "$list"; then
    echo "package.sh: build/$arch did not make both packages (is makensis or zip missing?):" >&2
    cat "$list" >&2
    exit 1
  fi
  while IFS= read -r file; do
    [ -n "$file" ] && cp "$file" "$dist/"
  done < "$list"
done
echo "packages in $dist:"
ls -l "$dist"
