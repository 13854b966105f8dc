#!/usr/bin/env bash
# Builds the library, the program and the tests, and runs every test.
#   scripts/test.sh              ordinary build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-sanitize/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/, the concurrency tests
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The flavours are CMakePresets.json's: release, sanitize, tsan.
preset=release
case "${1:-}" in
  --sanitize) preset=sanitize ;;
  --tsan) preset=tsan ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--sanitize|--tsan]" >&2; exit 2 ;;
esac
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
