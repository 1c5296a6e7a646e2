#!/usr/bin/env bash
# Installs what is missing, builds, and starts Quelm Visualizer. On a machine
# without a display the program says so; run it under xvfb-run there.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
exec ./build/app/quelm "$@"
