#!/usr/bin/env bash
# Remakes the pictures of docs/measurements.md and the README from a build
# (quelm-batch) and Debian's LAMMPS (lmp), which heats a copper crystal
# from 300 K to 2400 K for the series. Usage:
#   bash scripts/make_measure_pictures.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
batch="$root/${1:-build}/app/quelm-batch"
fixtures="$root/tests/analysis/fixtures/everyday"
docs="$root/docs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A copper crystal heated until it melts, a frame every 500 steps.
cat > in.melt <<LMP
units metal
atom_style atomic
boundary p p p
lattice fcc 3.615
region box block 0 6 0 6 0 6
create_box 1 box
create_atoms 1 box
mass 1 63.546
pair_style eam/alloy
pair_coeff * * /usr/share/lammps/potentials/CuNi.eam.alloy Cu
velocity all create 600 4928459 mom yes rot yes dist gaussian
fix 1 all npt temp 300 2400 0.1 iso 0 0 1.0
timestep 0.002
dump d all custom 500 melt.*.lmc id type x y z
dump_modify d format float %.8g
run 10000
LMP
lmp -in in.melt -log none -screen none

# The copper-nickel alloy's RDF, total and per pair.
"$batch" analyse "$fixtures/cuni_alloy.data" --method rdf --plot "$docs/measure_rdf.png" --plot-size 800x450 > /dev/null
# fcc and other atoms over the heating, and the mean q6.
"$batch" analyse --series melt.0.lmc --method cna,steinhardt -E_q_degrees=6 \
  --plot "$docs/measure_series.png" --plot-size 800x450 --plot-value "cna fcc,cna other" > /dev/null
"$batch" analyse --series melt.0.lmc --method steinhardt -E_q_degrees=6 \
  --plot "$docs/measure_q6_series.png" --plot-size 800x450 --plot-value "mean q6" > /dev/null
# Half molten: coordination, q6, Voronoi volumes, clusters of the atoms that are no longer fcc.
"$batch" analyse melt.4000.lmc -o half.lmc --method cna,coordination,steinhardt,voronoi,clusters \
  -E_q_degrees=6 -E_cl_select='cna!=1' -E_cl_cut=3 > /dev/null
"$batch" plot half.lmc --column q6 --bins 60 --color-map -o "$docs/measure_q6.png" --size 800x450 > /dev/null
"$batch" plot half.lmc --column voronoi_volume --bins 60 --color-map -o "$docs/measure_voronoi.png" --size 800x450 > /dev/null
"$batch" snapshot half.lmc -o "$docs/measure_coord.png" --size 640x480 --color coord --legend > /dev/null
# The clusters of the atoms no longer fcc when melting begins.
"$batch" analyse melt.2000.lmc --method cna,clusters -E_cl_select='cna!=1' -E_cl_cut=2.9 \
  --plot "$docs/measure_clusters.png" --plot-size 800x450 > /dev/null
# Wigner-Seitz: vacancies and interstitials against the first frame while
# the crystal heats (each frame's box mapped onto the first's).
"$batch" analyse --series melt.0.lmc --method defects --reference melt.0.lmc \
  --plot "$docs/measure_ws.png" --plot-size 800x450 --plot-value vacancies,interstitials > /dev/null
rm -f "$docs"/measure_*.tsv
echo "pictures written to $docs"
