#!/bin/sh
# Developer aid (not run by CI): stages both shipped frames (NVT_Anneal with
# two temperatures, Tensile_Test with two temperatures and two strain rates)
# on the Cu fixture model with Cu_mishin1.eam.alloy, then runs Debian's lmp in
# every task folder and checks that each log ends normally.
#   usage: run_frames.sh [BUILD_DIR]   (default /work/main/build-frames)
set -u
build=${1:-/work/main/build-frames}
test_program="$build/tests/test_frames"
[ -x "$test_program" ] || { echo "no $test_program; build the target test_frames first" >&2; exit 2; }
command -v lmp > /dev/null 2>&1 || { echo "lmp is not installed" >&2; exit 2; }

stage=$(mktemp -d /tmp/quelm_frames_XXXXXX)
echo "staging into $stage"
QUELM_FRAME_STAGE="$stage" "$test_program" --gtest_filter='*ShippedTemplateRunsInLammps*' > "$stage/stage.txt" 2>&1 ||
    { cat "$stage/stage.txt"; exit 1; }

failed=0
for task in "$stage"/*/R*; do
    start=$(date +%s.%N)
    (cd "$task" && lmp -in in -log log.lammps > screen.txt 2>&1)
    rc=$?
    seconds=$(echo "$(date +%s.%N) - $start" | bc)
    if [ $rc -eq 0 ] && grep -q "Loop time" "$task/log.lammps" && tail -n 1 "$task/log.lammps" | grep -q "Total wall time"; then
        echo "ok    ${task#$stage/} (${seconds}s)"
    else
        echo "FAIL  ${task#$stage/} (exit $rc)"; tail -n 5 "$task/screen.txt"; failed=1
    fi
done
[ $failed -eq 0 ] && echo "all task folders ran; outputs kept in $stage"
exit $failed
