#!/usr/bin/env bash
# Runs a program (a GUI test) against a private Xvfb display that lives as
# long as the program, whatever DISPLAY the caller has.
set -u
fifo=$(mktemp -u /tmp/quelm_xvfb_XXXXXX)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp -noreset 3>"$fifo" 2>/dev/null &
xvfb=$!
read -r -t 20 display <"$fifo"
rm -f "$fifo"
if [ -z "${display:-}" ]; then
  echo "run_with_xvfb: Xvfb did not start" >&2
  kill "$xvfb" 2>/dev/null
  exit 1
fi
DISPLAY=":$display" LIBGL_ALWAYS_SOFTWARE=1 "$@"
status=$?
kill "$xvfb" 2>/dev/null
wait "$xvfb" 2>/dev/null
exit $status
