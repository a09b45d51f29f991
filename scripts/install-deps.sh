#!/usr/bin/env bash
# Installs the Debian packages the build, tests, tools and benchmarks need,
# and any further packages named as arguments (the cross builds' compilers
# and emulators, the comparison benchmark's decoders):
#
#   bash scripts/install-deps.sh [extra-package ...]
#
# Safe to run again: installs only what is missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libsndfile1-dev libsoxr-dev libfftw3-dev libcli11-dev
  clang libclang-rt-14-dev valgrind clang-format
  # The GStreamer plug-in and its tests (core, base and good sets only).
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-tools
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-base-apps
  # The Python package: its extension, the wheel and its tests (Debian's
  # Python 3.11; PyPI is not used).
  python3-dev pybind11-dev python3-setuptools python3-wheel python3-build
  python3-venv python3-numpy python3-pytest python3-dask python3-distributed
  python3-pandas python3-soundfile
)
if [ "${ORV_WITH_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [ "${ORV_WITH_VALGRIND:-0}" = 1 ]; then
  packages+=(valgrind)
fi
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  # Wait for another package run (a second build on the machine) instead
  # of failing on the package manager's lock.
  lock=(-o DPkg::Lock::Timeout=600)
  "${sudo_cmd[@]}" apt-get "${lock[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi
