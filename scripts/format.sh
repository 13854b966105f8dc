#!/usr/bin/env bash
# Formats the C and C++ sources as .clang-format says, or (--check) fails,
# listing them, when any is not so formatted. Every tracked source is held to
# it, those built for Windows only included.
#   scripts/format.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
bash scripts/setup.sh "${PICMETA_FORMAT_PACKAGES[@]}" >/dev/null
mapfile -t sources < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  report=$(mktemp)
  trap 'rm -f "$report"' EXIT
  if ! clang-format --dry-run --Werror "${sources[@]}" 2>"$report"; then
    grep -oE '^[^:]+:[0-9]+' "$report" | cut -d: -f1 | sort -u | sed 's/^/not formatted: /'
    echo "format: run scripts/format.sh"
    exit 1
  fi
  echo "format: ${#sources[@]} sources formatted as .clang-format says"
else
  clang-format -i "${sources[@]}"
fi
