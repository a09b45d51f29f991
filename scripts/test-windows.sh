#!/usr/bin/env bash
# Builds the plug-in as a 64-bit Windows DLL with MinGW-w64 and tests it
# under Wine: the known-answer vectors (transforms and whole files) in
# process, the DLL loaded by a small host with LoadLibrary decoding every
# known-answer file, its export table (TAVO_Main only) and the float flags.
# Then the SDK archive (cpack ZIP) is unpacked and its C example decodes a
# known-answer file through its DLL.
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
  --target vlkdec cross_known_answer_tests cross_module_host \
  velk_decode_example

# The tests set WINEPREFIX (in the build tree), WINEDEBUG and no display;
# stop the prefix's wineserver afterwards whatever the result.
stop_wineserver() {
  WINEPREFIX="$(cd "$build_dir" && pwd)/wineprefix" wineserver -k 2>/dev/null || true
}
trap stop_wineserver EXIT
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error

# The SDK archive, unpacked: DLL, import library, header, and the example,
# which must decode a known-answer file to its bytes through the DLL.
sdk=$(mktemp -d)
trap 'stop_wineserver; rm -rf "$sdk"' EXIT
(cd "$build_dir" && cpack -G ZIP -B "$sdk" >"$sdk/cpack.txt") ||
  { cat "$sdk/cpack.txt"; exit 1; }
(cd "$sdk" && cmake -E tar xf ./*.zip && rm ./*.zip)
top=$(find "$sdk" -mindepth 1 -maxdepth 1 -type d -name 'velk-sdk-*')
for f in bin/vlkdec.dll bin/velk_decode.exe lib/libvlkdec.dll.a \
  include/orv/vlkdec.h; do
  [ -f "$top/$f" ] || { echo "SDK archive lacks $f" >&2; exit 1; }
done
vectors=tests/data/vectors/files
WINEPREFIX="$(cd "$build_dir" && pwd)/wineprefix" WINEDEBUG=-all DISPLAY= \
  wine "$top/bin/velk_decode.exe" "$top/bin/vlkdec.dll" \
  "$vectors/ch2-48000.VELKA" "$sdk/out.raw"
cmp "$sdk/out.raw" "$vectors/ch2-48000.pcm"
echo "windows SDK archive: example decodes through the DLL"
