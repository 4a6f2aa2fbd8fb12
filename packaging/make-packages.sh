#!/usr/bin/env bash
# Makes the release packages of one architecture from the programs given, the same bytes from
# the same inputs wherever and whenever it runs:
#   OUT/NAME.zip        one folder NAME with the programs and README.txt
#   OUT/NAME-setup.exe  the installer (packaging/installer.nsi)
#
#   make-packages.sh --out DIR --name NAME --arch x86|x64 --version X.Y.Z --readme FILE
#                    --icon FILE --epoch SECONDS [--zip PATH] [--makensis PATH] FILE...
#
# FILE... are what the packages ship beside README.txt, the wizard first. --zip and --makensis
# name the tools; a package whose tool is not given is not made. Every file packed carries the
# time --epoch (the last commit's), and the zip lists its files in a fixed order.
# With SIGN_PFX set, the programs, the installer and the uninstaller inside it are signed
# (packaging/sign.sh).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="" name="" arch="" version="" readme="" icon="" epoch="" zip="" makensis=""
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="$2"; shift 2 ;;
    --name) name="$2"; shift 2 ;;
    --arch) arch="$2"; shift 2 ;;
    --version) version="$2"; shift 2 ;;
    --readme) readme="$2"; shift 2 ;;
    --icon) icon="$2"; shift 2 ;;
    --epoch) epoch="$2"; shift 2 ;;
    --zip) zip="$2"; shift 2 ;;
    --makensis) makensis="$2"; shift 2 ;;
    --*) echo "make-packages.sh: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1"); shift ;;
  esac
done
if [ -z "$out" ] || [ -z "$name" ] || [ -z "$arch" ] || [ -z "$version" ] || [ -z "$readme" ] ||
   [ -z "$icon" ] || [ -z "$epoch" ] || [ ${#files[@]} -eq 0 ]; then
  echo "make-packages.sh: missing arguments (see the head of this script)" >&2
  exit 2
fi

# The signing time when no time-stamp server gives one.
export SOURCE_DATE_EPOCH="$epoch"

# The files as they go into both packages, signed when a certificate is given, with fixed
# modes and times.
stage="$out/$name.stage"
rm -rf "$stage"
mkdir -p "$stage/$name"
names=()
for f in "${files[@]}"; do
  cp "$f" "$stage/$name/"
  names+=("$(basename "$f")")
done
cp "$readme" "$stage/$name/README.txt"
for f in "${names[@]}"; do
  case "$f" in *.exe) "$here/sign.sh" "$stage/$name/$f" ;; esac
done
chmod 755 "$stage/$name"
chmod 644 "$stage/$name"/*
touch -h -d "@$epoch" "$stage/$name"/* "$stage/$name"

if [ -n "$zip" ]; then
  rm -f "$out/$name.zip"
  # Local times in a zip are the zip tool's time zone: UTC, whoever builds.
  (cd "$stage" && for f in "${names[@]}" README.txt; do echo "$name/$f"; done |
     TZ=UTC "$zip" -q -X -D -@ "$out/$name.zip")
  touch -d "@$epoch" "$out/$name.zip"
fi

if [ -n "$makensis" ]; then
  # What the installer ships, for installer.nsi: one File line per file, and the test that
  # tells a file of this version from one only an earlier version shipped.
  nsh="$stage/files.nsh"
  {
    echo "; Made by packaging/make-packages.sh."
    echo "!macro InstallFiles"
    for f in "${names[@]}"; do echo "  File \"$stage/$name/$f\""; done
    echo "  File \"$stage/$name/README.txt\""
    echo "!macroend"
    echo "!macro RemoveFiles"
    for f in "${names[@]}" README.txt; do echo "  Delete \"\$INSTDIR\\$f\""; done
    echo "!macroend"
    echo "!macro WriteFileList"
    for f in "${names[@]}" README.txt; do echo "  WriteRegStr HKLM \"\${FILES_KEY}\" \"$f\" \"\""; done
    echo "!macroend"
    echo "!macro CheckFolderFiles"
    for f in "${names[@]}" README.txt; do echo "  !insertmacro CheckFolderFile \"$f\""; done
    echo "  !insertmacro CheckFolderFile \"\${UNINSTALLER}\""
    echo "!macroend"
    echo "!macro CheckRunning"
    for f in "${names[@]}"; do
      case "$f" in *.exe) echo "  !insertmacro CheckRunningProgram \"$f\"" ;; esac
    done
    echo "!macroend"
    echo "; \$R1: a file name; \$R2 becomes 1 when this version ships it."
    echo "!macro IsShipped"
    echo "  StrCpy \$R2 0"
    for f in "${names[@]}" README.txt; do echo "  StrCmp \$R1 \"$f\" 0 +2"; echo "  StrCpy \$R2 1"; done
    echo "!macroend"
  } > "$nsh"
  sign=()
  if [ -n "${SIGN_PFX:-}" ]; then sign=(-DSIGN="$here/sign.sh"); fi
  rm -f "$out/$name-setup.exe"
  "$makensis" -V2 -WX -DARCH="$arch" -DVERSION="$version" -DFILES_NSH="$nsh" -DMAIN_PROGRAM="${names[0]}" \
    -DICON="$icon" -DOUTFILE="$out/$name-setup.exe" "${sign[@]}" "$here/installer.nsi"
  touch -d "@$epoch" "$out/$name-setup.exe"
fi
