#!/usr/bin/env bash
# Fails when a program or file the builds used belongs to no Debian package
# that the scripts install, directly or through dependencies: such a build
# works only on a machine that has it by chance.
#   scripts/check-packages.sh     (after the builds, as CI runs it)
# What the builds used: every absolute path to a file in the CMake caches of
# build*/ and build-windows/*/ (compilers, widl, dlltool, wixl, the
# emulator, libraries, ...) and every program the scripts and test scripts
# name that is on the PATH. Packages every Debian system has (Essential or
# of priority required) count as installed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

strip_arch() { sed -E 's/:(amd64|all)$//'; }
closure() {  # [--recommends] PACKAGE...: the packages and what they need
  local recommends=--no-recommends
  if [ "$1" = --recommends ]; then recommends=""; shift; fi
  apt-cache depends --recurse --installed $recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "$@" 2>/dev/null | grep -v '^ ' | grep -v '^<' | strip_arch
}
allowed=$(
  {
    closure "${PICMETA_BUILD_PACKAGES[@]}" "${PICMETA_WINDOWS_PACKAGES[@]}" \
      "${PICMETA_PACKAGING_PACKAGES[@]}" "${PICMETA_BENCH_PACKAGES[@]}" "${PICMETA_INSTRUCTIONS_PACKAGES[@]}" \
      "${PICMETA_FUZZ_PACKAGES[@]}" "${PICMETA_PICTURE_PACKAGES[@]}" "${PICMETA_PICTURE_FALLBACK_PACKAGES[@]}" \
      "${PICMETA_FORMAT_PACKAGES[@]}"
    closure --recommends "${PICMETA_WINE_PACKAGES[@]}"
    dpkg-query -W -f='${Package}:${Architecture} ${Essential} ${Priority}\n' |
      awk '$2 == "yes" || $3 == "required" {print $1}' | strip_arch
  } | sort -u)

# ---- What the builds used ----
used=$(mktemp)
trap 'rm -f "$used"' EXIT
project=$PWD
for cache in build*/CMakeCache.txt build-windows/*/CMakeCache.txt; do
  [ -f "$cache" ] || continue
  # (FindLibXml2 records xmllint when it happens to be there; nothing runs it.)
  grep -E '^[A-Za-z0-9_]+:[A-Z]+=' "$cache" | grep -v '^LIBXML2_XMLLINT_EXECUTABLE:' |
    sed 's/^[^=]*=//' | tr ';' '\n' | grep -E '^/' | while read -r path; do
      case "$path" in "$project"/*|/tmp/*) continue ;; esac
      if [ -f "$path" ]; then echo "$path"; fi
    done
done >>"$used"
# Programs the scripts run: the word in command position (at the start of a
# line or after | ; & && || $( ( { and the shell's keywords), when it is a
# program on the PATH.
for script in scripts/*.sh .ci/run tests/*.sh tests/*/*.sh packaging/*/*.sh bench/run.sh fuzz/run.sh; do
  [ -f "$script" ] || continue
  sed -E 's/[[:space:]]#.*$//; s/^[[:space:]]*#.*$//' "$script" |
    sed -E 's/(\|\||&&|\$\(|[|;&({`])/\n/g' |
    awk '{
      for (i = 1; i <= NF; i++) {
        w = $i
        if (w ~ /^(if|then|else|elif|do|while|until|!|time|exec|command|env|xargs|\$sudo|sudo|\{|\}|fi|done)$/) continue
        if (w ~ /^[A-Za-z_][A-Za-z0-9_]*=/) continue
        print w
        break
      }
    }' | grep -E '^[A-Za-z0-9][A-Za-z0-9._+-]*$' | sort -u | while read -r word; do
      if path=$(type -P -- "$word" 2>/dev/null); then echo "$path"; fi
    done
done >>"$used"

# ---- Whose they are ----
# dpkg knows merged-/usr files by their old names (/bin/bash), and
# alternatives by their links: each path is asked for in every spelling.
spellings() {
  local path=$1 real
  real=$(readlink -f "$path")
  printf '%s\n' "$path" "$real"
  for p in "$path" "$real"; do
    case "$p" in /usr/bin/*|/usr/sbin/*|/usr/lib/*|/usr/lib64/*) echo "${p#/usr}" ;; esac
  done
}
declare -A owners
while IFS= read -r line; do
  file=${line##*: }
  owners[$file]+="${line%: *}, "
done < <(sort -u "$used" | while read -r path; do spellings "$path"; done | sort -u |
         xargs -r dpkg -S 2>/dev/null | grep -v '^diversion by')

status=0
checked=0
while read -r path; do
  checked=$((checked + 1))
  found=""
  for spelling in $(spellings "$path"); do found+=${owners[$spelling]:-}; done
  if [ -z "$found" ]; then
    echo "check-packages: $path belongs to no Debian package"
    status=1
    continue
  fi
  ok=0
  found=$(tr ',' '\n' <<<"$found" | tr -d ' ' | grep . | strip_arch | sort -u)
  for owner in $found; do
    if grep -qxF -- "$owner" <<<"$allowed"; then ok=1; fi
  done
  if [ $ok = 0 ]; then
    echo "check-packages: $path comes from $(echo $found), which no script installs"
    status=1
  fi
done < <(sort -u "$used")
[ $status = 0 ] && echo "check-packages: $checked programs and files, each from a package the scripts install"
exit $status
