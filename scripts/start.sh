#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program. Until the main
# window lands this runs the core benchmark on a million-atom crystal.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
exec ./build/bench/bench_qb
