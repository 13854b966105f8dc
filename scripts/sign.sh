#!/usr/bin/env bash
# Signs Windows binaries and packages in place (Authenticode, SHA-256) with
# osslsigncode.
#   PICMETA_SIGN_PFX=cert.pfx PICMETA_SIGN_PASSWORD=... [PICMETA_SIGN_TIMESTAMP=URL] sign.sh FILE...
set -euo pipefail
: "${PICMETA_SIGN_PFX:?the PKCS#12 file to sign with}"
[ -f "$PICMETA_SIGN_PFX" ] || { echo "sign.sh: no such file: $PICMETA_SIGN_PFX" >&2; exit 2; }
timestamp=()
[ -z "${PICMETA_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$PICMETA_SIGN_TIMESTAMP")
for file in "$@"; do
  osslsigncode sign -pkcs12 "$PICMETA_SIGN_PFX" -readpass <(printf '%s' "${PICMETA_SIGN_PASSWORD:-}") \
    -h sha256 -n Picmeta "${timestamp[@]}" -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
  echo "signed $(basename "$file")"
done
