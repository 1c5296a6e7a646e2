#!/usr/bin/env bash
# Remakes the pictures of the window in docs/ (main window 1280 x 720) from a
# build: the main window with an imported model, the start-up form, the
# Analysis tab after CNA, the Atomkit panel, a simulation wizard and a LAMMPS
# frame window. Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shot() { tests/run_with_xvfb.sh "$build/tests/gui_screenshot" "$@"; }
shot docs/screenshot.png
shot docs/analysis.png --analysis
shot docs/atomkit.png --atomkit
shot docs/wizard.png --wizard
shot docs/frame.png --frame
