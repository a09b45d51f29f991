#!/usr/bin/env bash
# Decode speed of the plug-in beside four widely used decoders, on the same
# real music, in one run:
#
#   scripts/bench-compare.sh [Google Benchmark options]
#
# What it does, each step skipped when already done:
#  1. Installs the benchmark-only Debian packages: the decoders' -dev
#     packages (libmpg123-dev, libvorbis-dev, libopusfile-dev, libflac-dev),
#     Debian's own encoders (lame, vorbis-tools, opus-tools, flac), sox, and
#     the package the recording comes from (below).
#  2. Builds velka and bench_compare in Release (ORV_COMPARE_BUILD, default
#     build/bench-compare).
#  3. Makes the inputs with sox: stereo 44.1 kHz, mono 22.05 kHz and six
#     channels 48 kHz, ORV_COMPARE_SECONDS long (default 30), and encodes
#     each with velka encode at the default quality and at 64 kbit/s per
#     channel (128 kbit/s for stereo), lame at 64 kbit/s per channel (stereo
#     and mono; MP3 carries no six channels), oggenc -q 4, opusenc at
#     64 kbit/s per channel and flac at its default level.
#  4. Runs bench_compare on them, which prints the table.
#
# The recording: the game music of Debian's torus-trooper-data package
# (/usr/share/games/torus-trooper/sounds/musics/tt1.ogg, tt2.ogg, tt3.ogg),
# copyright 2004 Kenta Cho, under a two-clause BSD-style licence (see
# /usr/share/doc/torus-trooper-data/copyright). The stereo and mono inputs
# come from tt1; the six channels are tt1, tt2 and tt3 side by side, so that
# every channel carries different music. The recording and the files made
# from it stay in the build directory and are never committed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_COMPARE_BUILD:-$root/build/bench-compare}
seconds=${ORV_COMPARE_SECONDS:-30}
data=$build/compare-data
music=/usr/share/games/torus-trooper/sounds/musics

packages=(
  sox libsox-fmt-base lame vorbis-tools opus-tools flac
  libmpg123-dev libvorbis-dev libopusfile-dev libflac-dev
  torus-trooper-data
  g++ cmake ninja-build pkg-config libbenchmark-dev libsndfile1-dev libfftw3-dev
  libgtest-dev libgmock-dev
)
bash "$root/scripts/install-deps.sh" "${packages[@]}"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DORV_BUILD_TESTS=OFF -DORV_BUILD_FUZZERS=OFF >/dev/null
fi
cmake --build "$build" --target velka bench_compare vlkdec -j2
velka=$build/tools/velka/velka

# The module may import no allocator: its memory comes from the host.
module=$build/src/sdk/orv/vlkdec/libvlkdec.so
if nm -D --undefined-only "$module" |
  grep -Eq ' (malloc|calloc|realloc|free|_Zn[wa]m|_Zd[la]Pv)(@|$)'; then
  echo "warning: $module imports an allocator"
else
  echo "The plug-in module imports no allocator."
fi

# Inputs, remade when the length or this script changes.
stamp="$seconds $(sha256sum "$0" | cut -c1-16)"
if [ "$(cat "$data/stamp" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$data"
  mkdir -p "$data"
  tmp=$data/tmp
  mkdir -p "$tmp"
  sox -q "$music/tt1.ogg" -b 16 "$tmp/stereo_44100.wav" \
    trim 0 "$seconds" rate -v 44100 channels 2
  sox -q "$music/tt1.ogg" -b 16 "$tmp/mono_22050.wav" \
    trim 0 "$seconds" rate -v 22050 remix -
  for t in 1 2 3; do
    sox -q "$music/tt$t.ogg" -b 16 "$tmp/part$t.wav" \
      trim 0 "$seconds" rate -v 48000 channels 2
  done
  sox -q -M "$tmp/part1.wav" "$tmp/part2.wav" "$tmp/part3.wav" \
    -b 16 "$tmp/six_48000.wav"

  for config in stereo_44100 mono_22050 six_48000; do
    wav=$tmp/$config.wav
    channels=$(soxi -c "$wav")
    kbps=$((64 * channels))
    out=$data/$config
    "$velka" encode --force "$wav" "$out-default.velka" >/dev/null
    "$velka" encode --force --bitrate "$kbps" "$wav" "$out-128.velka" >/dev/null
    if [ "$channels" -le 2 ]; then
      lame --quiet --cbr -b "$kbps" "$wav" "$out.mp3"
    fi
    oggenc --quiet -q 4 -o "$out.ogg" "$wav"
    opusenc --quiet --bitrate "$kbps" "$wav" "$out.opus"
    flac --silent --force -o "$out.flac" "$wav"
  done
  rm -rf "$tmp"
  echo "$stamp" >"$data/stamp"
fi

exec "$build/bench/bench_compare" --data="$data" "$@"
