#!/usr/bin/env bash
# The main job: builds the project and runs it on the bundled input.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
./build/release/bench/bench_transform --benchmark_min_time=0.2
