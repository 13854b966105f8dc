#!/usr/bin/env bash
# Builds the library, the program and the tests, and runs every test.
#   scripts/test.sh              ordinary build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-sanitize/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/, the concurrency tests
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The flavours are CMakePresets.json's: release, sanitize, tsan.
preset=release build=build
case "${1:-}" in
  --sanitize) preset=sanitize build=build-sanitize ;;
  --tsan) preset=tsan build=build-tsan ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--sanitize|--tsan]" >&2; exit 2 ;;
esac
# The real pictures some tests read (none fetched when no registry answers:
# it says so, and those tests skip, or fail where PICMETA_REQUIRE_PICTURES=1).
bash scripts/fetch-pictures.sh "$build" || [ $? = 3 ]
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
