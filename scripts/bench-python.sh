#!/usr/bin/env bash
# Speed of the velk Python package beside python-soundfile, the C path and
# `velka decode -j 2`, measured side by side in one run (the table in
# docs/python.md):
#
#   bash scripts/bench-python.sh [--repeats N]
#
# Installs the benchmark's Debian packages (sox to resample; the music is
# singularity-music, copyright 2007-2012 Max McCracken, CC BY-SA 3.0),
# builds the wheel into a fresh venv and runs python/bench/bench_velk.py.
# The music and the files cut from it (an hour of audio, about 1.5 GB with
# the intermediate WAV) stay in build/bench-python for the next run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$root/build/bench-python

bash "$root/scripts/install-deps.sh" sox libsox-fmt-base singularity-music >&2
wheel=$(bash "$root/scripts/build-wheel.sh")
cmake --build "$root/build/release" --target velka >&2
rm -rf "$work/venv"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --no-index --quiet "$wheel"
cd "$work"
exec "$work/venv/bin/python" "$root/python/bench/bench_velk.py" \
  --velka "$root/build/release/tools/velka/velka" --work "$work/data" "$@"
