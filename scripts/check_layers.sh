#!/usr/bin/env bash
# Checks the layers. CMake lists the sources of every library but the forms'
# and the shell's (*_gui) with their kind, one "KIND PATH" a line:
#   core   computing core: includes no FLTK, OpenGL, EGL, GLEW, SOIL,
#          FreeType or fontconfig header, nor the window's header;
#   gl     drawing without a window (*_gl libraries): may include OpenGL,
#          EGL, GLEW, SOIL, FreeType and fontconfig headers, never FLTK's
#          nor any of the shell's (app/);
#   batch  every source linked into quelm-batch (its main included): reaches
#          neither FLTK nor the shell's app/quelm_shell.h or the window's
#          app/quelm_window.h.
# Each rule holds for the file and for the project's headers it includes,
# directly or through others. And no file outside the shell (app/) includes
# the window's header.
# Usage: check_layers.sh SOURCE_ROOT CORE_SOURCES_FILE
set -euo pipefail
root=$1
list=$2
declare -A seen=()
bad=0

# What each kind may not include.
declare -A forbidden=(
  [core]='FL/|GL/|EGL/|SOIL|SOIL/|ft2build\.h|freetype/|fontconfig/|app/quelm_window\.h'
  [gl]='FL/|app/'
  [batch]='FL/|app/quelm_shell\.h|app/quelm_window\.h'
)
declare -A says=(
  [core]="core file %s (from %s) includes a toolkit, OpenGL or window header:"
  [gl]="drawing file %s (from %s) includes a toolkit or shell header:"
  [batch]="quelm-batch's file %s (from %s) reaches the toolkit or the shell:"
)

# The project headers a file includes by quoted path from the source root.
includes() {
  sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$1"
}

check() {  # KIND FILE ORIGIN
  local kind=$1 file=$2 origin=$3
  [ -n "${seen[$kind:$file]:-}" ] && return 0
  seen[$kind:$file]=1
  local hit
  hit=$(grep -n -E "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"](${forbidden[$kind]})" "$file" || true)
  if [ -n "$hit" ]; then
    # shellcheck disable=SC2059
    printf "${says[$kind]}\n" "${file#$root/}" "${origin#$root/}"
    echo "$hit" | sed 's/^/    /'
    bad=1
  fi
  local inc
  for inc in $(includes "$file"); do
    if [ -f "$root/$inc" ]; then
      check "$kind" "$root/$inc" "$origin"
    elif [ -f "$(dirname "$file")/$inc" ]; then
      check "$kind" "$(dirname "$file")/$inc" "$origin"
    fi
  done
}

declare -A count=([core]=0 [gl]=0 [batch]=0)
while read -r kind src; do
  [ -z "${kind:-}" ] && continue
  if [ -z "${forbidden[$kind]:-}" ] || [ -z "${src:-}" ]; then
    echo "$list: line \"$kind ${src:-}\" is not KIND PATH with KIND core, gl or batch"
    bad=1
    continue
  fi
  case "$src" in /*) ;; *) src="$root/$src" ;; esac
  [ -f "$src" ] || continue
  check "$kind" "$src" "$src"
  header="${src%.cpp}.h"
  [ -f "$header" ] && check "$kind" "$header" "$src"
  count[$kind]=$((count[$kind] + 1))
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

if [ "${count[core]}" -eq 0 ]; then
  echo "no core sources listed in $list"
  exit 1
fi
if [ "${count[batch]}" -eq 0 ]; then
  echo "no sources of quelm-batch listed in $list"
  exit 1
fi
if [ "$bad" -ne 0 ]; then exit 1; fi
echo "layers: ${count[core]} sources of the core libraries include no toolkit, OpenGL or window header;" \
     "${count[gl]} of the drawing libraries no toolkit or shell header; ${count[batch]} linked into quelm-batch" \
     "reach neither the toolkit nor the shell; only the shell includes the window's header"
