#!/usr/bin/env bash
# Builds the picmeta program and runs ReadEXIF on the bundled sample case.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target picmeta_cli
./build/picmeta demo "$@"
