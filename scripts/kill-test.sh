#!/usr/bin/env bash
# Runs the crash-consistency test with many trials (default 2000): a writer is
# killed at random moments and no record whose call returned may be lost.
#   scripts/kill-test.sh [TRIALS]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target picmeta_tests
PICMETA_KILL_TRIALS=${1:-2000} ./build/tests/picmeta_tests \
  --gtest_filter='CrashConsistency.*' --gtest_brief=1
