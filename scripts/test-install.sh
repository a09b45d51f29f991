#!/usr/bin/env bash
# Checks the project outside its build tree, from the release build:
#
#  1. `cmake --install` into a temporary prefix, which is then moved, with
#     the build tree out of reach: the installed velka (no --plugin) decodes
#     the bundled sample to the build tree's bytes; the plug-in exports only
#     TAVO_Main and the host and encoder libraries only their API; the
#     installed examples build with pkg-config and, as a CMake project of
#     their own, with find_package(Velk), and decode a known-answer file
#     (and a sample-exact seek) to the expected bytes.
#  2. The Debian packages (cpack -G DEB): lintian shows no error, they
#     install with apt-get, velka and the examples work from the system
#     paths, and purging them leaves none of their files behind.
#
#   bash scripts/test-install.sh [BUILD_DIR]     (default build/release)
#
# Part 2 needs root (or sudo); ORV_SKIP_DEB=1 leaves it out.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh lintian
build=$(cd "${1:-build/release}" && pwd)
cmake --build "$build" -j "$(nproc)" --target \
  vlkdec velka velk_host_shared velk_host_static velk_encoder_shared

work=$(mktemp -d)
hidden=""
cleanup() {
  if [ -n "$hidden" ] && [ -d "$hidden" ]; then mv "$hidden" "$build"; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "test-install: $*" >&2
  exit 1
}

vectors=$root/tests/data/vectors/files
sample=$vectors/ch2-48000.VELKA
expected=$vectors/ch2-48000.pcm
seek_ms=300

"$build/tools/velka/velka" decode samples/demo.velka "$work/reference.wav"
cmake --install "$build" --prefix "$work/stage" >/dev/null

# From here on only the installed files: the prefix is moved, and the build
# tree is renamed until the end.
mv "$work/stage" "$work/prefix"
prefix=$work/prefix
hidden=$build.hidden-by-test-install
mv "$build" "$hidden"

# The decoded demo through the installed velka and its own plug-in.
"$prefix/bin/velka" decode samples/demo.velka "$work/installed.wav"
cmp "$work/reference.wav" "$work/installed.wav" ||
  fail "installed velka decodes differently"
"$prefix/bin/velka" decode "$sample" "$work/seek.raw" --start $seek_ms --no-trim
if [ -f tools/velka/velka.1 ]; then
  [ -f "$prefix/share/man/man1/velka.1.gz" ] || fail "no manual page installed"
fi

# Exports: the plug-in's one entry, the libraries' API and nothing else.
libdir=$(dirname "$(find "$prefix" -name libvelk_host.so.1 -print -quit)")
exports() { nm -D --defined-only "$1" | awk '{print $3}' | c++filt; }
check_exports() {
  local library=$1 allowed=$2 extra
  extra=$(exports "$library" | grep -v -E "$allowed" || true)
  [ -z "$extra" ] || fail "$(basename "$library") exports: $extra"
  [ -n "$(exports "$library")" ] || fail "$(basename "$library") exports nothing"
}
check_exports "$libdir/vlkdec/libvlkdec.so" '^TAVO_Main$'
check_exports "$libdir/libvelk_host.so.1" '^velk_host_[a-z_]+$'
check_exports "$libdir/libvelk_encoder.so.1" \
  '^((typeinfo|typeinfo name|vtable) for )?orv::encoder::(Encoder|EncodeError|encode_to_memory)\b'

# The examples: decode the known-answer file whole and from a seek.
run_examples() { # C-PROGRAM C++-PROGRAM PLUGIN
  "$1" "$3" "$sample" "$work/c.raw" >/dev/null
  "$2" "$3" "$sample" "$work/cpp.raw" >/dev/null
  cmp "$work/c.raw" "$expected" || fail "C example: wrong output ($1)"
  cmp "$work/cpp.raw" "$expected" || fail "C++ example: wrong output ($2)"
  "$1" "$3" "$sample" "$work/c-seek.raw" $seek_ms
  cmp "$work/c-seek.raw" "$work/seek.raw" || fail "C example: wrong seek"
}
build_with_pkg_config() { # EXAMPLES-DIR OUT-DIR
  mkdir -p "$2"
  cc -std=c11 -Wall -Wextra -Werror "$1/c/velk_decode.c" -o "$2/velk_decode" \
    $(pkg-config --cflags vlkdec) -ldl
  c++ -std=c++17 -Wall -Wextra -Werror "$1/cpp/velk_play.cpp" \
    -o "$2/velk_play" $(pkg-config --cflags --libs velk-host)
}
examples=$prefix/share/doc/velk-dev/examples
(
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  build_with_pkg_config "$examples" "$work/pc"
  LD_LIBRARY_PATH=$libdir run_examples "$work/pc/velk_decode" \
    "$work/pc/velk_play" "$(pkg-config --variable=plugin vlkdec)"
)
cmake -S "$examples" -B "$work/cm" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DVELK_SAMPLE="$sample" >/dev/null
cmake --build "$work/cm" >/dev/null
ctest --test-dir "$work/cm" --output-on-failure >/dev/null
cmp "$work/cm/c.raw" "$expected" || fail "find_package C example: wrong output"
cmp "$work/cm/cpp.raw" "$expected" ||
  fail "find_package C++ example: wrong output"
echo "install: velka, exports, examples (pkg-config, find_package) pass"

mv "$hidden" "$build"
hidden=""
if [ "${ORV_SKIP_DEB:-0}" = 1 ]; then
  exit 0
fi

# The Debian packages.
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
(cd "$build" && cpack -G DEB -B "$work/debs" >"$work/cpack.txt" 2>&1) ||
  { cat "$work/cpack.txt"; fail "cpack failed"; }
! grep -q -i warning "$work/cpack.txt" || { cat "$work/cpack.txt"; fail "cpack warns"; }
debs=("$work"/debs/*.deb)
lintian --tag-display-limit 0 "${debs[@]}" 2>/dev/null >"$work/lintian.txt" ||
  true
cat "$work/lintian.txt"
! grep -q '^E:' "$work/lintian.txt" || fail "lintian reports errors"

packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
chmod 755 "$work" # apt reads the packages as its own user
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
  -o DPkg::Lock::Timeout=600 "${debs[@]}" >/dev/null
# A failed check must not leave the packages on the machine.
purge_packages() {
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -qq \
    -o DPkg::Lock::Timeout=600 "${packages[@]}" >/dev/null
}
trap 'purge_packages; cleanup' EXIT
# Installed files, symlinks included (folders are shared with others).
for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done |
  awk '$1 !~ /^d/ {print $6}' | sed 's|^\.||' >"$work/files.txt"

(
  cd "$work"
  /usr/bin/velka decode --force "$root/samples/demo.velka" system.wav
  cmp reference.wav system.wav || fail "packaged velka decodes differently"
  /usr/bin/velka decode --force "$sample" seek.raw --start $seek_ms --no-trim
  plugin=$(pkg-config --variable=plugin vlkdec)
  [ "$plugin" = "$(realpath -m "$plugin")" ] ||
    fail "packaged pkg-config paths are not normalised: $plugin"
  build_with_pkg_config /usr/share/doc/velk-dev/examples sys
  run_examples sys/velk_decode sys/velk_play \
    "$(pkg-config --variable=plugin vlkdec)"
  # The GStreamer element, where it was packaged, from the system's folder.
  if [[ " ${packages[*]} " == *" gstreamer1.0-velka "* ]] &&
    command -v gst-inspect-1.0 >/dev/null; then
    GST_REGISTRY=$work/gst-registry.bin gst-inspect-1.0 velkadec >/dev/null ||
      fail "GStreamer does not find velkadec"
  fi
)
trap cleanup EXIT
purge_packages
left=$(while read -r f; do [ -e "$f" ] || [ -L "$f" ] && echo "$f"; done \
  <"$work/files.txt" || true)
[ -z "$left" ] || fail "left after purge: $left"
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q installed ||
    fail "$p still installed"
done
echo "debian: ${packages[*]} install, work and purge cleanly; lintian:" \
  "$(grep -c '^W:' "$work/lintian.txt" || true) warnings, no errors"
