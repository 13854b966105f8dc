#!/usr/bin/env bash
# Builds the benchmark (optimised, with libexif and libexiv2 as peers) and
# prints its tables. Extra arguments go to the program: --quick, --work DIR,
# --pictures DIR (a folder of real pictures to compare on as well).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
bash scripts/setup.sh "${PICMETA_BENCH_PACKAGES[@]}"
cmake --preset bench >/dev/null
cmake --build --preset bench -j"$(nproc)"
./build-bench/bench/picmeta_bench "$@"
