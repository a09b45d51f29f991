#!/usr/bin/env bash
# Builds the plug-in and its cross tests for 64-bit ARM Linux and runs them
# under qemu-user: the known-answer vectors (transforms and whole files)
# in process, the shared module loaded with dlopen decoding every
# known-answer file, its dynamic symbols (TAVO_Main only) and the float
# flags. Any mismatch fails. Installs its Debian packages first if missing.
#
#   bash scripts/test-arm64.sh
#
# ORV_ARM64_BUILD_DIR overrides the build directory (build/linux-aarch64).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh googletest g++-aarch64-linux-gnu qemu-user

build_dir=${ORV_ARM64_BUILD_DIR:-build/linux-aarch64}
cmake --preset linux-aarch64 -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" \
  --target vlkdec cross_known_answer_tests cross_module_host
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error
