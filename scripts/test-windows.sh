#!/usr/bin/env bash
# Builds the plug-in as a 64-bit Windows DLL with MinGW-w64 and tests it
# under Wine: the known-answer vectors (transforms and whole files) in
# process, the DLL loaded by a small host with LoadLibrary decoding every
# known-answer file, its export table (TAVO_Main only) and the float flags.
# Any mismatch fails. Installs its Debian packages first if missing.
#
#   bash scripts/test-windows.sh
#
# ORV_WINDOWS_BUILD_DIR overrides the build directory (build/windows-mingw).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh googletest g++-mingw-w64-x86-64 wine wine64

build_dir=${ORV_WINDOWS_BUILD_DIR:-build/windows-mingw}
cmake --preset windows-mingw -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" \
  --target vlkdec cross_known_answer_tests cross_module_host

# The tests set WINEPREFIX (in the build tree), WINEDEBUG and no display;
# stop the prefix's wineserver afterwards whatever the result.
stop_wineserver() {
  WINEPREFIX="$(cd "$build_dir" && pwd)/wineprefix" wineserver -k 2>/dev/null || true
}
trap stop_wineserver EXIT
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error
