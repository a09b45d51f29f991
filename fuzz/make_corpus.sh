#!/usr/bin/env bash
# Regenerates fuzz/seeds/ and fuzz/corpus/ with the project's encoder.
# Usage: fuzz/make_corpus.sh [build directory]   (default: build/release)
# Commit the result: CTest replays the corpora on every build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORV_WERROR=ON >/dev/null
fi
cmake --build "$build" --target fuzz_make_corpus
"$build/fuzz/fuzz_make_corpus" fuzz
# The seed files are built into the call-sequence target: reconfigure so
# that it picks up the new ones.
cmake "$build" >/dev/null
