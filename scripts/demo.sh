#!/usr/bin/env bash
# The main job: builds the plug-in and the velka tool, then decodes the
# bundled sample (samples/demo.velka, a synthesised piece made with our own
# encoder by scripts/make-demo-sample.sh) through the plug-in to a WAV file
# and prints a summary of it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target velka -j "$(nproc)"
mkdir -p build/demo
echo
./build/release/tools/velka/velka decode samples/demo.velka build/demo/demo.wav --summary --force
