#!/usr/bin/env bash
# Signs a Windows program in place with Authenticode when SIGN_PFX names a PKCS#12 certificate
# (its password in SIGN_PASSWORD); does nothing without one.
#
# Two signatures, as XP and current Windows each need: SHA-1 first, then a nested SHA-256 one.
# With SIGN_TIMESTAMP_URL the time-stamp server vouches for the signing time (Authenticode for
# the first, RFC 3161 for the nested one); without it the signing time is SOURCE_DATE_EPOCH,
# the last commit's, so that a signed build is the same bytes every time.
#
#   sign.sh FILE
set -euo pipefail
file="$1"
[ -n "${SIGN_PFX:-}" ] || exit 0
if [ -n "${SIGN_TIMESTAMP_URL:-}" ]; then
  first_time=(-t "$SIGN_TIMESTAMP_URL")
  nested_time=(-ts "$SIGN_TIMESTAMP_URL")
else
  if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "sign.sh: SOURCE_DATE_EPOCH is not set (the signing time)" >&2
    exit 2
  fi
  first_time=(-time "$SOURCE_DATE_EPOCH")
  nested_time=(-time "$SOURCE_DATE_EPOCH")
fi
tmp="$file.signing"
trap 'rm -f "$tmp.1" "$tmp.2" "$tmp.pass"' EXIT
rm -f "$tmp.1" "$tmp.2" "$tmp.pass"
(umask 077 && printf '%s' "${SIGN_PASSWORD:-}" > "$tmp.pass")
common=(-pkcs12 "$SIGN_PFX" -readpass "$tmp.pass" -n "ROM Upgrade Wizard")
osslsigncode sign "${common[@]}" -h sha1 "${first_time[@]}" -in "$file" -out "$tmp.1" >/dev/null
osslsigncode sign "${common[@]}" -nest -h sha256 "${nested_time[@]}" -in "$tmp.1" -out "$tmp.2" >/dev/null
mv -f "$tmp.2" "$file"
