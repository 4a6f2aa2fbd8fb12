#!/usr/bin/env bash
# Makes the release packages of one architecture from the programs given, the same bytes from
# the same inputs wherever and whenever it runs:
#   OUT/NAME.zip        one folder NAME with the programs and README.txt
#   OUT/NAME-setup.exe  the installer (packaging/installer.nsi)
#   OUT/NAME.msi        the Windows Installer package (packaging/product.wxs)
#
#   make-packages.sh --out DIR --name NAME --arch x86|x64 --version X.Y.Z --readme FILE
#                    --icon FILE --epoch SECONDS [--zip PATH] [--makensis PATH] [--wixl PATH]
#                    FILE[=PLACE]...
#
# FILE... are what the packages ship beside README.txt, the wizard first; each goes into the
# program's folder under its own name, or at PLACE, a path below that folder with / between
# its folders (PolicyDefinitions/en-US/RomUpgradeWizard.adml). --zip, --makensis and --wixl
# name the tools; a package whose tool is not given is not made. Every file packed carries the
# time --epoch (the last commit's), and the zip lists its files in a fixed order. The MSI's
# codes come from the version and the files (see MsiCodes below), its times from --epoch.
# With SIGN_PFX set, the programs, the installer and the uninstaller inside it, and the MSI
# are signed (packaging/sign.sh).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="" name="" arch="" version="" readme="" icon="" epoch="" zip="" makensis="" wixl=""
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
    --wixl) wixl="$2"; shift 2 ;;
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

# The MSI's upgrade code, fixed per architecture: Windows Installer knows every version of the
# package by it, and the setup program asks Windows Installer by it whether the package is
# installed.
case "$arch" in
  x86) upgrade_code=3BDAFCE4-E86D-4F81-B250-14242D356CAD ;;
  x64) upgrade_code=58A84BF8-B7F4-40C8-8C31-F912A858E604 ;;
  *) echo "make-packages.sh: --arch must be x86 or x64" >&2; exit 2 ;;
esac

# The files as they go into the packages, signed when a certificate is given, with fixed
# modes and times. names: each one's place in the program's folder, with / between folders.
stage="$out/$name.stage"
rm -rf "$stage"
mkdir -p "$stage/$name"
names=()
for f in "${files[@]}"; do
  place=$(basename "$f")
  case "$f" in *=*) place="${f#*=}"; f="${f%%=*}" ;; esac
  case "$place" in /*|*..*|*\\*|"") echo "make-packages.sh: bad place $place" >&2; exit 2 ;; esac
  mkdir -p "$stage/$name/$(dirname "$place")"
  cp "$f" "$stage/$name/$place"
  names+=("$place")
done
cp "$readme" "$stage/$name/README.txt"
names+=(README.txt)
for f in "${names[@]}"; do
  case "$f" in *.exe) "$here/sign.sh" "$stage/$name/$f" ;; esac
done
find "$stage/$name" -type d -exec chmod 755 {} +
find "$stage/$name" -type f -exec chmod 644 {} +
find "$stage/$name" -exec touch -h -d "@$epoch" {} +
# The folders below the program's, deepest first.
mapfile -t folders < <(for f in "${names[@]}"; do d=$(dirname "$f"); while [ "$d" != . ]; do echo "$d"; d=$(dirname "$d"); done; done |
                       sort -u | awk '{ print gsub("/", "/") "\t" $0 }' | sort -k1,1nr -k2 | cut -f2)
win() { printf '%s' "${1//\//\\}"; }

if [ -n "$zip" ]; then
  rm -f "$out/$name.zip"
  # Local times in a zip are the zip tool's time zone: UTC, whoever builds.
  (cd "$stage" && for f in "${names[@]}"; do echo "$name/$f"; done |
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
    at=.
    for f in "${names[@]}"; do
      if [ "$(dirname "$f")" != "$at" ]; then
        at=$(dirname "$f")
        if [ "$at" = . ]; then echo "  SetOutPath \"\$INSTDIR\""; else echo "  SetOutPath \"\$INSTDIR\\$(win "$at")\""; fi
      fi
      echo "  File \"$stage/$name/$f\""
    done
    echo "  SetOutPath \"\$INSTDIR\""
    echo "!macroend"
    echo "!macro RemoveFiles"
    for f in "${names[@]}"; do echo "  Delete \"\$INSTDIR\\$(win "$f")\""; done
    for d in "${folders[@]}"; do echo "  RMDir \"\$INSTDIR\\$(win "$d")\""; done
    echo "!macroend"
    echo "!macro WriteFileList"
    for f in "${names[@]}"; do echo "  WriteRegStr HKLM \"\${FILES_KEY}\" \"$(win "$f")\" \"\""; done
    echo "!macroend"
    echo "!macro CheckFolderFiles"
    for f in "${names[@]}"; do echo "  !insertmacro CheckFolderFile \"$(win "$f")\""; done
    echo "  !insertmacro CheckFolderFile \"\${UNINSTALLER}\""
    echo "!macroend"
    echo "!macro CheckRunning"
    for f in "${names[@]}"; do
      case "$f" in */*) ;; *.exe) echo "  !insertmacro CheckRunningProgram \"$f\"" ;; esac
    done
    echo "!macroend"
    echo "; \$R1: a file name; \$R2 becomes 1 when this version ships it."
    echo "!macro IsShipped"
    echo "  StrCpy \$R2 0"
    for f in "${names[@]}"; do echo "  StrCmp \$R1 \"$(win "$f")\" 0 +2"; echo "  StrCpy \$R2 1"; done
    echo "!macroend"
  } > "$nsh"
  sign=()
  if [ -n "${SIGN_PFX:-}" ]; then sign=(-DSIGN="$here/sign.sh"); fi
  rm -f "$out/$name-setup.exe"
  "$makensis" -V2 -WX -DARCH="$arch" -DVERSION="$version" -DFILES_NSH="$nsh" -DMAIN_PROGRAM="${names[0]}" \
    -DMSI_UPGRADE_CODE="{$upgrade_code}" -DICON="$icon" -DOUTFILE="$out/$name-setup.exe" "${sign[@]}" "$here/installer.nsi"
  touch -d "@$epoch" "$out/$name-setup.exe"
fi

if [ -n "$wixl" ]; then
  command -v faketime >/dev/null || { echo "make-packages.sh: the MSI needs faketime (its times)" >&2; exit 1; }
  command -v msibuild >/dev/null || { echo "make-packages.sh: the MSI needs msibuild (msitools)" >&2; exit 1; }
  # Its codes: the product code is this version's and this architecture's, whoever builds it;
  # the package code names these very bytes, the files and the package's source; each file's
  # component keeps its code from version to version (Windows Installer's rule).
  namespace=bf52b649-3b1c-4a39-b3ce-168b25eed0f3
  uuid5() { python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$namespace" "$1"; }
  wix_id() { printf '%s_%s' "$1" "$(printf '%s' "$2" | sha256sum | cut -c1-16)"; }
  wxi="$stage/files.wxi"
  {
    echo '<?xml version="1.0" encoding="utf-8"?>'
    echo '<!-- Made by packaging/make-packages.sh. -->'
    echo '<Include>'
    # One Directory element per folder below the program's, nested as they are.
    emit_folder() {  # $1: the folder, "." for the program's own
      local parent=$1 d f first=1 component
      for f in "${names[@]}"; do
        [ "$(dirname "$f")" = "$parent" ] || continue
        component=$(wix_id c "$arch/$f")
        echo "    <Component Id=\"$component\" Guid=\"$(uuid5 "component:$arch:${f,,}")\" Win64=\"\$(var.Win64)\">"
        echo "      <File Id=\"$(wix_id f "$f")\" Name=\"$(basename "$f")\" Source=\"$name/$f\" KeyPath=\"yes\"/>"
        if [ "$f" = "${names[0]}" ]; then
          echo "      <Shortcut Id=\"StartMenu\" Directory=\"ProgramMenuFolder\" Name=\"\$(var.ProductName)\"" \
               "Target=\"[INSTALLDIR]$f\" WorkingDirectory=\"INSTALLDIR\"/>"
        fi
        echo "    </Component>"
      done
      for d in $(for f in "${names[@]}"; do echo "$f"; done | awk -F/ -v p="$parent" '
                   { n = split($0, a, "/"); path = ""; for (i = 1; i < n; i++) { path = (path == "" ? a[i] : path "/" a[i]);
                     up = (i == 1 ? "." : substr(path, 1, length(path) - length(a[i]) - 1)); if (up == p) print path } }' | sort -u); do
        echo "    <Directory Id=\"$(wix_id d "$d")\" Name=\"$(basename "$d")\">"
        emit_folder "$d"
        echo "    </Directory>"
      done
    }
    echo '  <DirectoryRef Id="INSTALLDIR">'
    emit_folder .
    echo '  </DirectoryRef>'
    echo '  <Feature Id="Complete" Level="1" Title="$(var.ProductName)">'
    for f in "${names[@]}"; do echo "    <ComponentRef Id=\"$(wix_id c "$arch/$f")\"/>"; done
    echo '  </Feature>'
    echo '</Include>'
  } > "$wxi"
  product=$(uuid5 "product:$arch:$version")
  package=$( (cat "$here/product.wxs" "$wxi" "$icon"; for f in "${names[@]}"; do cat "$stage/$name/$f"; done;
              echo "$arch $version") | sha256sum | cut -c1-64)
  package=$(uuid5 "package:$package")
  template="Intel;1033" product_name="ROM Upgrade Wizard"
  if [ "$arch" = x64 ]; then template="x64;1033" product_name="ROM Upgrade Wizard (x64)"; fi
  rm -f "$out/$name.msi"
  # wixl writes the time it runs into the package and a package code of its own: both are set
  # here, the time to --epoch's.
  when=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
  # wixl takes sources by paths relative to where it runs: the stage.
  cp "$here/product.wxs" "$stage/product.wxs"
  cp "$icon" "$stage/app.ico"
  msi=$(cd "$out" && pwd)/$name.msi
  (cd "$stage" && TZ=UTC faketime -f "$when" "$wixl" -a "$arch" -D Arch="$arch" -D Version="$version" \
     -D UpgradeCode="$upgrade_code" -D ProductCode="$product" -D Icon=app.ico -o "$msi" product.wxs)
  TZ=UTC faketime -f "$when" msibuild "$out/$name.msi" -s "$product_name" "ROM Upgrade Wizard developers" \
    "$template" "{$package}"
  "$here/sign.sh" "$out/$name.msi"
  touch -d "@$epoch" "$out/$name.msi"
fi
