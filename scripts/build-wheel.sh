#!/usr/bin/env bash
# Builds the velk Python wheel and prints its path:
#
#   bash scripts/build-wheel.sh [BUILD_DIR]    (default build/release)
#
# CMake builds the extension module and the plug-in module (the velk_wheel
# target), and Debian's python3-build packs them with the sources of
# python/velk, offline (--no-isolation). The wheel installs with
# `pip install --no-index` into any venv of Debian 12's Python 3.11.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}

bash "$root/scripts/install-deps.sh" >&2
if [ "$build" = "$root/build/release" ]; then
  (cd "$root" && cmake --preset release >/dev/null)
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target velk_wheel >&2
ls "$build"/python/dist/velk-*.whl
