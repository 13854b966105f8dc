#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and fuzzes one of them.
#   fuzz/run.sh TARGET SECONDS     TARGET: exif_reader, picture, workspace, record_file
# New inputs go to build-fuzz/corpus/TARGET; the committed seeds in
# fuzz/corpus/TARGET are read too. A crash leaves crash-* in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?target}
seconds=${2:-600}
. scripts/packages.sh
bash scripts/setup.sh "${PICMETA_FUZZ_PACKAGES[@]}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${target}_fuzzer"
mkdir -p "build-fuzz/corpus/$target"
cd build-fuzz
ASAN_OPTIONS=detect_leaks=1 "./fuzz/${target}_fuzzer" -timeout=1 -rss_limit_mb=512 \
  -max_total_time="$seconds" -print_final_stats=1 "corpus/$target" "../fuzz/corpus/$target"
