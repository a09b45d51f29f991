#!/usr/bin/env bash
# Regenerates samples/demo.velka, the input of scripts/demo.sh: synthesises
# the demo piece (scripts/make_demo_sample.py) and encodes it with our own
# encoder. The result is committed; run this only to change the piece.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v python3 >/dev/null || { echo "make-demo-sample: needs python3" >&2; exit 1; }
cmake --preset release >/dev/null
cmake --build --preset release --target velka
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 scripts/make_demo_sample.py "$work/demo.wav"
./build/release/tools/velka/velka encode --force "$work/demo.wav" samples/demo.velka
echo "wrote samples/demo.velka ($(stat -c %s samples/demo.velka) bytes)"
