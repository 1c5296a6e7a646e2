#!/usr/bin/env bash
# The installed program works where it is installed: `cmake --install` into a
# temporary prefix, then the installed quelm-batch, run from a folder that is
# neither the sources nor the build, draws the same pictures as the build
# tree's program run from the sources and stages the shipped simulation
# templates; a resource folder that is missing or incomplete is told, not
# drawn in black. Needs no X display: the snapshots are drawn off screen,
# and are run here without one.
#
#   test_install.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1 build=$2 source=$3
unset QUELM_DATA_DIR DISPLAY
tmp=$(cd "$(mktemp -d /tmp/quelm_install_XXXXXX)" && pwd -P)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
elsewhere=$tmp/elsewhere
mkdir -p "$elsewhere" "$tmp/empty"
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# expect_text FILE TEXT: FILE holds TEXT.
expect_text() {
  grep -qF -- "$2" "$1" || { fail "$1 does not say: $2"; echo "--- $1:" >&2; cat "$1" >&2; }
}

if ! "$cmake" --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  echo "FAILED: cmake --install" >&2
  exit 1
fi

# ---- the installed files
for f in bin/quelm bin/quelm-batch; do
  [ -f "$prefix/$f" ] && [ -x "$prefix/$f" ] || fail "$f is not an installed program"
done
for f in share/quelm/img/color.png share/quelm/img/x.png share/quelm/img/icon/opmd.png \
         share/quelm/img/background.png share/quelm/config/config_list.txt \
         share/quelm/config/tensile_test.txt share/quelm/config/in.tensile \
         share/applications/quelm.desktop share/icons/hicolor/64x64/apps/quelm.png \
         share/doc/quelm/README.md; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
# Copies of the shipped files, not links back into the sources.
for d in img config; do
  [ -L "$prefix/share/quelm/$d" ] && fail "share/quelm/$d is a link"
  diff -r "$source/$d" "$prefix/share/quelm/$d" >/dev/null || fail "share/quelm/$d differs from the sources' $d/"
done
cmp -s "$source/img/icon.png" "$prefix/share/icons/hicolor/64x64/apps/quelm.png" || fail "the icon is not img/icon.png"
desktop=$prefix/share/applications/quelm.desktop
for line in "[Desktop Entry]" "Type=Application" "Name=Quelm Visualizer" "Exec=quelm" "Icon=quelm"; do
  grep -qxF -- "$line" "$desktop" || fail "the desktop entry lacks the line $line"
done
grep -qx 'Categories=Science;Education;.*' "$desktop" || fail "the desktop entry's categories are not Science;Education;..."

# ---- pictures: the build tree's program from the sources, the installed
# program and the build tree's program from elsewhere give the same bytes
model=$source/tests/qb/fixtures/formats/lammps_fcc.data
options=("--size 160x120 --rotate 10,20,30" "--size 120x90 --rgb x,y,z --rotate 0,30,0")
for k in 0 1; do
  # shellcheck disable=SC2086
  (cd "$source" && "$build/app/quelm-batch" snapshot "$model" -o "$tmp/ref$k.png" ${options[$k]}) \
    >/dev/null 2>"$tmp/err" || { fail "the build tree's snapshot $k"; cat "$tmp/err" >&2; continue; }
  # shellcheck disable=SC2086
  (cd "$elsewhere" && "$prefix/bin/quelm-batch" snapshot "$model" -o "$tmp/installed$k.png" ${options[$k]}) \
    >/dev/null 2>"$tmp/err" || { fail "the installed snapshot $k"; cat "$tmp/err" >&2; continue; }
  cmp "$tmp/ref$k.png" "$tmp/installed$k.png" || fail "the installed program's picture $k differs"
  # shellcheck disable=SC2086
  (cd "$elsewhere" && "$build/app/quelm-batch" snapshot "$model" -o "$tmp/build$k.png" ${options[$k]}) \
    >/dev/null 2>"$tmp/err" || { fail "the build tree's snapshot $k from elsewhere"; cat "$tmp/err" >&2; continue; }
  cmp "$tmp/ref$k.png" "$tmp/build$k.png" || fail "the build tree's picture $k from elsewhere differs"
done

# ---- the shipped templates, by frame name and by file name, from elsewhere
cu=$source/tests/simulation/fixtures/cu_fcc.lmp
echo "a stand-in potential file" >"$elsewhere/Cu.eam.alloy"
frame_args=(-S_potype=1 "-S_pot1=$elsewhere/Cu.eam.alloy" -S_elemt=28 -S_mass=63.546)
(cd "$elsewhere" && "$prefix/bin/quelm-batch" stage frame Tensile_Test "$cu" "${frame_args[@]}" -o "$tmp/staged") \
  >"$tmp/out" 2>"$tmp/err" || { fail "stage frame Tensile_Test"; cat "$tmp/err" >&2; }
expect_text "$tmp/out" "Tensile Test: 1 task staged in $tmp/staged (R1 ... R1)"
cmp -s "$tmp/staged/R1/in" "$prefix/share/quelm/config/in.tensile" || fail "the staged input is not the shipped in.tensile"
(cd "$elsewhere" && "$prefix/bin/quelm-batch" stage frame nvt_anneal.txt "$cu" "${frame_args[@]}" -o "$tmp/staged2") \
  >"$tmp/out" 2>"$tmp/err" || { fail "stage frame nvt_anneal.txt"; cat "$tmp/err" >&2; }
cmp -s "$tmp/staged2/R1/in" "$prefix/share/quelm/config/in.nvt_anneal" || fail "the staged input is not in.nvt_anneal"

# ---- missing resources are told
expect_failure() {  # WHAT, then the command; its standard error goes to $tmp/err
  local what=$1
  shift
  if (cd "$elsewhere" && "$@") >/dev/null 2>"$tmp/err"; then fail "$what succeeded"; fi
}
expect_failure "a snapshot with an empty QUELM_DATA_DIR" \
  env QUELM_DATA_DIR="$tmp/empty" "$prefix/bin/quelm-batch" snapshot "$model" -o "$tmp/none.png"
expect_text "$tmp/err" "quelm-batch: the program's resource folder $tmp/empty (QUELM_DATA_DIR) lacks img/color.png, img/x.png, img/y.png, img/z.png; set QUELM_DATA_DIR to the folder that holds img/ and config/, or unset it"
[ -e "$tmp/none.png" ] && fail "a picture was written without the textures"
expect_failure "stage frame with an empty QUELM_DATA_DIR" \
  env QUELM_DATA_DIR="$tmp/empty" "$prefix/bin/quelm-batch" stage frame Tensile_Test "$cu" "${frame_args[@]}" -o "$tmp/s3"
expect_text "$tmp/err" "no template Tensile_Test (neither a file nor a frame of $tmp/empty/config/config_list.txt)"
expect_text "$tmp/err" "the program's resource folder $tmp/empty (QUELM_DATA_DIR) lacks config/config_list.txt"
expect_failure "a snapshot with QUELM_DATA_DIR naming no folder" \
  env QUELM_DATA_DIR="$tmp/gone" "$prefix/bin/quelm-batch" snapshot "$model" -o "$tmp/none.png"
expect_text "$tmp/err" "QUELM_DATA_DIR is $tmp/gone, which is not a folder"

# An installation without its images: the installed program reads its own
# folder, never the sources'.
rm -rf "$prefix/share/quelm/img"
expect_failure "a snapshot of an installation without img/" "$prefix/bin/quelm-batch" snapshot "$model" -o "$tmp/none.png"
expect_text "$tmp/err" "quelm-batch: the program's resource folder $prefix/share/quelm lacks img/color.png, img/x.png, img/y.png, img/z.png; reinstall the program, or set QUELM_DATA_DIR to the folder that holds img/ and config/"
# ... and one without its resource folder at all.
rm -rf "$prefix/share/quelm"
expect_failure "a snapshot of an installation without share/quelm" \
  "$prefix/bin/quelm-batch" snapshot "$model" -o "$tmp/none.png"
expect_text "$tmp/err" "cannot find the program's images and simulation templates (img/, config/): there is no folder $prefix/share/quelm beside $prefix/bin/quelm-batch, and the working folder $elsewhere holds no img/"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "installed programs, images, templates, desktop entry, icon and README; pictures and staged frames as from the build tree"
