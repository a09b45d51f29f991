#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build, then the debug
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and the rest
# below. `--quick` stops after the release build's tests: the inner loop
# while working.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
# Each stage's heading carries the run's time so far, to show where a
# slow CI run spends it.
stage() { echo "== $1 (at $((SECONDS / 60))m$((SECONDS % 60))s)"; }

if [ "${1:-}" = "--quick" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$jobs"
  ctest --preset release -j "$jobs"
  exit 0
fi

stage "format"
bash scripts/check-format.sh
stage "layers"
bash scripts/check-layers.sh

for preset in release debug-asan; do
  stage "$preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# Outside the build tree: installed into a prefix and as Debian packages.
stage "install"
bash scripts/test-install.sh build/release

# The browser build: the plug-in as WebAssembly, its npm package under Node
# and the player page in headless Chromium, against the release build's
# velka.
stage "web"
bash scripts/test-web.sh build/release

# The Python package: the wheel installed into a fresh venv, its tests run
# from outside the source tree (Dask on real worker processes included).
stage "python"
bash scripts/test-python.sh build/release

# Hardening: concurrent streams under ThreadSanitizer, valgrind's memcheck
# on `velka decode`, and each fuzzer for a bounded time (ORV_FUZZ_SECONDS,
# default 60). Any finding fails the run.
stage "tsan"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan
stage "memcheck"
bash scripts/memcheck.sh build/release
stage "fuzz"
# A fixed seed keeps the bounded run repeatable; long runs use random seeds.
ORV_FUZZ_SEED="${ORV_FUZZ_SEED:-1}" bash scripts/fuzz.sh "${ORV_FUZZ_SECONDS:-60}"

# Portability: the Windows DLL under Wine and the 64-bit ARM build under
# qemu-user must reproduce the known-answer vectors and whole-file outputs
# bit for bit, and the DLL must export TAVO_Main only.
stage "windows-mingw"
bash scripts/test-windows.sh
stage "linux-aarch64"
bash scripts/test-arm64.sh
