#!/usr/bin/env bash
# Builds the per-machine MSI package of one architecture with wixl.
#   make-msi.sh ARCH(x64|x86) VERSION FOLDER OUT.msi
# FOLDER holds picmeta.dll, picmeta.tlb and Picmeta.manifest.
set -euo pipefail
arch=$1 version=$2 folder=$3 out=$4
wxs=$(cd "$(dirname "$0")" && pwd)/picmeta.wxs
case "$arch" in x64|x86) ;; *) echo "make-msi.sh: unknown architecture $arch" >&2; exit 2;; esac
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
# wixl finds the files relative to the folder it runs in.
(cd "$folder" && wixl -a "$arch" -D Version="$version" -D Arch="$arch" -o "$out" "$wxs")
