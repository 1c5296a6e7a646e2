#!/usr/bin/env bash
# Checks the layers: no source of a core library (every library but the
# *_gui ones; their list is written by CMake) includes FLTK, OpenGL, GLEW or
# SOIL, or the window's header, directly or through the project's own
# headers it includes; and no file outside the shell (app/) includes the
# window's header.
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

# Forms, panels, the view and every other file outside the shell reach the
# window through app/quelm_shell.h (and the dialogs, bindings and Analysis
# tab beside it) only: the window's headers (the window, its File menu,
# the list of subsystems) are the shell's and its tests'.
window_users=$(cd "$root" && git ls-files '*.cpp' '*.h' 2>/dev/null | grep -v -E '^(app|tests)/' |
  xargs -r grep -l -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"app/quelm_(window|import|parts)\.h"' || true)
if [ -n "$window_users" ]; then
  echo "files outside the shell include the window's headers (use app/quelm_shell.h):"
  echo "$window_users" | sed 's/^/    /'
  bad=1
fi

if [ "$count" -eq 0 ]; then
  echo "no core sources listed in $list"
  exit 1
fi
if [ "$bad" -ne 0 ]; then exit 1; fi
echo "layers: $count sources of the core libraries include no toolkit, OpenGL or window header; only the shell includes the window's"
