#!/usr/bin/env bash
# Tests of the velk Python package, as a user gets it: builds the wheel,
# installs it into a fresh venv of Debian's interpreter (numpy, Dask,
# pandas and soundfile come from Debian's packages through
# --system-site-packages; pip works offline) and runs python/tests with
# that venv from outside the source tree.
#
#   bash scripts/test-python.sh [BUILD_DIR] [pytest options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/release}")
shift || true

wheel=$(bash "$root/scripts/build-wheel.sh" "$build")
cmake --build "$build" --target velka
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
venv=$work/venv
/usr/bin/python3 -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --no-index --quiet "$wheel"
cd "$work"
ORV_SOURCE=$root VELKA=$build/tools/velka/velka \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/python/tests" "$@"
