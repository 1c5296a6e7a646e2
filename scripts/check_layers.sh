#!/usr/bin/env bash
# Checks that the computing core stays headless: no source of a core library
# (every library but the *_gui ones; their list is written by CMake) includes
# FLTK, OpenGL, GLEW or SOIL, or the window's header, directly or through the
# project's own headers it includes.
# Usage: check_layers.sh SOURCE_ROOT CORE_SOURCES_FILE
set -euo pipefail
root=$1
list=$2
declare -A seen=()
bad=0

# The project headers a file includes by quoted path from the source root.
includes() {
  sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$1"
}

check() {  # FILE ORIGIN
  local file=$1 origin=$2
  [ -n "${seen[$file]:-}" ] && return 0
  seen[$file]=1
  local hit
  hit=$(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](FL/|GL/|SOIL|SOIL/|app/quelm_window\.h)' "$file" || true)
  if [ -n "$hit" ]; then
    echo "core file ${file#$root/} (from ${origin#$root/}) includes a toolkit or window header:"
    echo "$hit" | sed 's/^/    /'
    bad=1
  fi
  local inc
  for inc in $(includes "$file"); do
    if [ -f "$root/$inc" ]; then
      check "$root/$inc" "$origin"
    elif [ -f "$(dirname "$file")/$inc" ]; then
      check "$(dirname "$file")/$inc" "$origin"
    fi
  done
}

count=0
while IFS= read -r src; do
  [ -z "$src" ] && continue
  case "$src" in /*) ;; *) src="$root/$src" ;; esac
  [ -f "$src" ] || continue
  check "$src" "$src"
  header="${src%.cpp}.h"
  [ -f "$header" ] && check "$header" "$src"
  count=$((count + 1))
done < "$list"

if [ "$count" -eq 0 ]; then
  echo "no core sources listed in $list"
  exit 1
fi
if [ "$bad" -ne 0 ]; then exit 1; fi
echo "core layers: $count sources of the core libraries include no toolkit, OpenGL or window header"
