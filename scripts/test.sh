#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a release
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer; between
# them quelm-batch is built and tried without the window.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install-deps.sh
bash scripts/check_docs.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# quelm-batch and the libraries beneath it without the window, in a build
# where FLTK's headers refuse to compile.
cmake -S . -B build-headless -DCMAKE_BUILD_TYPE=Release -DQUELM_GUI=OFF
cmake --build build-headless -j"$jobs"
bash tests/app/test_headless.sh build-headless

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUELM_SANITIZE=ON -DQUELM_BENCH=OFF
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
