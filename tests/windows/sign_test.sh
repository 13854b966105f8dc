#!/usr/bin/env bash
# Signing as windows.sh --sign does it (scripts/sign.sh), with a throwaway
# certificate: the signed DLL, program and MSI pass osslsigncode verify
# against that certificate; an unsigned DLL does not.
#   sign_test.sh BUILD_DIR ARCH(x64|x86) VERSION
set -euo pipefail
build=$1 arch=$2 version=$3
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
work=$(mktemp -d /tmp/picmeta-sign-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Picmeta test signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
  -passout pass:throwaway
mkdir "$work/files"
cp "$build/picmeta.dll" "$build/picmeta.exe" "$build/picmeta.tlb" "$build/Picmeta.manifest" "$work/files/"
cp "$build/picmeta.dll" "$work/unsigned.dll"
PICMETA_SIGN_PFX=$work/test.pfx PICMETA_SIGN_PASSWORD=throwaway \
  bash "$project/scripts/sign.sh" "$work/files/picmeta.dll" "$work/files/picmeta.exe"
bash "$project/packaging/windows/make-msi.sh" "$arch" "$version" "$work/files" "$work/picmeta.msi"
PICMETA_SIGN_PFX=$work/test.pfx PICMETA_SIGN_PASSWORD=throwaway bash "$project/scripts/sign.sh" "$work/picmeta.msi"

for file in "$work/files/picmeta.dll" "$work/files/picmeta.exe" "$work/picmeta.msi"; do
  osslsigncode verify -CAfile "$work/cert.pem" -in "$file" >"$work/verify.log" 2>&1 ||
    fail "$(basename "$file") does not verify: $(cat "$work/verify.log")"
  grep -q 'Message digest algorithm *: SHA256' "$work/verify.log" || fail "$(basename "$file"): not SHA-256"
  echo "ok: $(basename "$file") signed and verified"
done
if osslsigncode verify -CAfile "$work/cert.pem" -in "$work/unsigned.dll" >/dev/null 2>&1; then
  fail "an unsigned DLL verified"
fi
echo "ok: an unsigned DLL does not verify"
