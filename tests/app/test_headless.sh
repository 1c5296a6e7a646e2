#!/usr/bin/env bash
# quelm-batch of a build without the window (QUELM_GUI=OFF): it links no
# FLTK, and builds, analyses and draws a model with no X display.
# Usage: test_headless.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
batch="$build/app/quelm-batch"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[ -x "$batch" ] || { echo "FAIL: no $batch"; exit 1; }
[ ! -e "$build/app/quelm" ] || fail "the build without the window made the window's program"
if ldd "$batch" | grep -qi fltk; then fail "quelm-batch links FLTK:"; ldd "$batch" | grep -i fltk; fi

cd "$tmp"
env -u DISPLAY "$batch" build monocrystal -M_single_dpx=4 -M_single_dpy=4 -M_single_dpz=4 -o cu.lmp >out 2>err \
  || { fail "build"; cat err; }
env -u DISPLAY "$batch" analyse cu.lmp -o cu.lmc --method cna >out 2>err || { fail "analyse"; cat err; }
grep -q "cna" cu.lmc 2>/dev/null || fail "the analysed model has no cna column"
env -u DISPLAY "$batch" snapshot cu.lmc -o cu.png --size 320x200 --color cna --legend >out 2>err \
  || { fail "snapshot without a display"; cat err; }
if [ -f cu.png ]; then
  [ "$(head -c 8 cu.png | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "cu.png is not a PNG"
else
  fail "no picture written"
fi

if [ "$failures" -ne 0 ]; then echo "$failures failure(s)"; exit 1; fi
echo "headless quelm-batch: links no FLTK, builds, analyses and draws without a display"
