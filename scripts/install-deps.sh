#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the packages need, when any
# is missing. 32-bit Wine (wine32:i386) needs the i386 architecture enabled first.
set -euo pipefail
pkgs=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools wine wine64 wine32:i386 fonts-wine
      fonts-liberation xvfb xauth x11-utils cmake ninja-build libgtest-dev imagemagick nsis zip
      osslsigncode openssl fonts-wqy-microhei python3 wixl msitools faketime)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  if ! dpkg --print-foreign-architectures | grep -qx i386; then $SUDO dpkg --add-architecture i386; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
