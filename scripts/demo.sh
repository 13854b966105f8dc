#!/usr/bin/env bash
# Builds the picmeta program and runs ReadEXIF on the bundled sample case.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target picmeta_cli
./build/picmeta demo "$@"
