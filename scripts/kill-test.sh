#!/usr/bin/env bash
# Runs the crash-consistency tests with many trials (default 2000): writers,
# and writers racing copiers (CopyExifInfo), are killed at random moments, also
# while they finish what an earlier killed call left; no record whose call
# returned may be lost, and none may stand in two places.
#   scripts/kill-test.sh [TRIALS]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target picmeta_tests
PICMETA_KILL_TRIALS=${1:-2000} ./build/tests/picmeta_tests \
  --gtest_filter='CrashConsistency.*' --gtest_brief=1
