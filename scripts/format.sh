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
  if ! clang-format --dry-run --Werror "${sources[@]}" 2>/tmp/picmeta-format.$$; then
    grep -oE '^[^:]+:[0-9]+' /tmp/picmeta-format.$$ | cut -d: -f1 | sort -u | sed 's/^/not formatted: /'
    rm -f /tmp/picmeta-format.$$
    echo "format: run scripts/format.sh"
    exit 1
  fi
  rm -f /tmp/picmeta-format.$$
  echo "format: ${#sources[@]} sources formatted as .clang-format says"
else
  clang-format -i "${sources[@]}"
fi
