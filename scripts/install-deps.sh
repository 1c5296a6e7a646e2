#!/usr/bin/env bash
# Installs the Debian 12 packages Quelm Visualizer needs to build, run and test.
# Packages already present are skipped; nothing is done when all are there.
set -euo pipefail

packages=(
  # toolchain
  g++ cmake make pkg-config
  # GUI, view and images
  libfltk1.3-dev libglew-dev libsoil-dev libgl-dev libglu1-mesa-dev
  libpng-dev libjpeg-dev zlib1g-dev
  # snapshots without a display (EGL) and the legend's texts
  libegl-dev libfreetype-dev libfontconfig-dev fonts-dejavu-core
  # plots as PNG, SVG and PDF
  libcairo2-dev
  # the Python module and its tests (Debian's python3, NumPy, pytest, ASE)
  pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pytest python3-ase python3-matplotlib
  # remote session (the program drives the system's ssh)
  openssh-client
  # tests
  libgtest-dev libgmock-dev
  xvfb xauth libgl1-mesa-dri x11-utils xdotool openssh-server locales
  # the plot tests read their PDF pictures back
  poppler-utils
  # LAMMPS runs the shipped simulation frames in the remote-run tests
  lammps
  # a one-node Slurm cluster, started by the campaign tests, and MPI for launchers
  slurm-wlm munge openmpi-bin
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
else
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A locale with a decimal comma, so the tests can check that numbers in files
# keep their point whatever the user's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
