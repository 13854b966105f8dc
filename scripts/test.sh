#!/usr/bin/env bash
# Builds the library, the program and the tests, and runs every test.
#   scripts/test.sh              ordinary build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-sanitize/
#   scripts/test.sh --tsan       ThreadSanitizer build in build-tsan/, the concurrency tests
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DPICMETA_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
filter=()
if [ "${1:-}" = "--tsan" ]; then
  build=build-tsan
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPICMETA_TSAN=ON -DPICMETA_TOOLS=OFF -DPICMETA_INSTALL=OFF)
  export TSAN_OPTIONS=halt_on_error=1
  filter=(-R 'Threads|Concurrent|FolderLock')
fi
cmake -S . -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure "${filter[@]}"
