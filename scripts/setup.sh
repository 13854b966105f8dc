#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
#   setup.sh [--with-recommends] [PACKAGE...]   the build's packages and these
set -euo pipefail
recommends=--no-install-recommends
if [ "${1:-}" = "--with-recommends" ]; then
  recommends=""
  shift
fi
. "$(dirname "$0")/packages.sh"
packages=("${PICMETA_BUILD_PACKAGES[@]}" "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq $recommends "${missing[@]}"
fi
