#!/usr/bin/env bash
# Throughput of `velka decode` over a batch of many short files, on one
# thread and on two (-j 1 against -j 2), best of three runs each:
#
#   scripts/bench-batch.sh [FILES]      (default 200)
#
# The inputs are copies of the bundled piece cut to its first ten seconds
# (ORV_BATCH_SECONDS), decoded to WAV in build/bench-batch/out, or in the
# folder ORV_BATCH_OUT names (a tmpfs such as /dev/shm/velka-batch leaves
# the disk out). Each output is flushed to disk before its rename, as in
# any run of velka.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-200}
seconds=${ORV_BATCH_SECONDS:-10}
work=$root/build/bench-batch
out=${ORV_BATCH_OUT:-$work/out}
cd "$root"
bash scripts/install-deps.sh
[ -f build/release/build.ninja ] || cmake --preset release >/dev/null
cmake --build --preset release --target velka vlkdec >/dev/null
velka=$root/build/release/tools/velka/velka

rm -rf "$work"
mkdir -p "$work/in"
# One short piece: the bundled one, decoded for its first seconds and
# encoded again.
"$velka" decode samples/demo.velka "$work/piece.wav" --duration "$((seconds * 1000))"
"$velka" encode "$work/piece.wav" "$work/piece.velka"
for i in $(seq -w 1 "$files"); do
  cp "$work/piece.velka" "$work/in/piece-$i.velka"
done

# Prints the best wall time of three runs with -j $1, in seconds.
best_of_three() {
  local best=""
  for _ in 1 2 3; do
    rm -rf "$out"
    local start end
    start=$(date +%s.%N)
    "$velka" decode "$work"/in/*.velka -o "$out" -j "$1" 2>/dev/null
    end=$(date +%s.%N)
    best=$(awk -v a="$start" -v b="$end" -v best="$best" \
      'BEGIN { t = b - a; if (best == "" || t < best) best = t; print best }')
  done
  echo "$best"
}

one=$(best_of_three 1)
two=$(best_of_three 2)
rm -rf "$out"
awk -v n="$files" -v s="$seconds" -v one="$one" -v two="$two" -v cores="$(nproc)" 'BEGIN {
  printf "%d files of %d s each, %d cores\n", n, s, cores
  printf "-j 1: %.2f s, %.1f files/s\n", one, n / one
  printf "-j 2: %.2f s, %.1f files/s\n", two, n / two
  printf "-j 2 over -j 1: %.2f times the throughput\n", one / two
}'
