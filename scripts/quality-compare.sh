#!/usr/bin/env bash
# Perceptual quality of `velka encode` beside three widely used encoders, on
# the same excerpts, in one run:
#
#   PEAQ=/path/to/peaq scripts/quality-compare.sh
#
# Options are passed to scripts/quality_compare.py: for quick comparisons,
# e.g. --settings velka-128,velka-192 --items sparse,tonal --no-speed.
#
# What it does, each step skipped when already done:
#  1. Installs the benchmark-only Debian packages: lame, vorbis-tools,
#     opus-tools, sox, python3-numpy, and the packages the excerpts come
#     from (below).
#  2. Builds velka and the plug-in in Release (ORV_QUALITY_BUILD, default
#     build/quality-compare).
#  3. Cuts 20-second excerpts (ORV_QUALITY_SECONDS), resampled to 48 kHz
#     stereo 16-bit; encodes each with velka at 96, 128, 160, 192 and 256
#     kbit/s and at the default quality, and with lame, oggenc and opusenc
#     at 128 kbit/s; decodes everything back to 48 kHz 16-bit; aligns each
#     decoded file to its excerpt by cross-correlation.
#  4. Grades every decoded file with the PEAQ meter named by $PEAQ (basic
#     version; ODG 0 imperceptible ... -4 very annoying), or skips the
#     grading when PEAQ is unset, and prints one table: kbit/s and ODG per
#     excerpt, mean and worst per setting; then the encoders' speed.
#
# The excerpts (all from Debian packages under free licences; nothing made
# from them is committed):
#  - electronic: torus-trooper-data, tt1.ogg (copyright 2004 Kenta Cho,
#    two-clause BSD-style licence), dense synthesised game music;
#  - percussive: singularity-music, "Enemy Unknown" (copyright 2007-2012
#    Max McCracken, CC BY-SA 3.0), drums with sharp attacks;
#  - sparse: singularity-music, "A New Journey", quiet plucked notes;
#  - tonal: singularity-music, "Advanced Simulacra", slow sustained tones;
#  - speech: klettres-data, the English letters and syllables spoken by a
#    person, joined (copyright 2001-2011 Anne-Marie Mahfouf and others,
#    GPL-2+);
#  - loud: fretsonfire-songs-muldjord, "Armygeddon" (copyright 2009 El
#    Senator of Muldjord, CC BY-SA 3.0), dense metal mastered to full scale
#    (0 dBFS, thousands of clipped samples);
#  - drums: fretsonfire-songs-sectoid, "Metal madness" (copyright 2006-2007
#    Carlos Viola Iborra, MIT-style licence), hard drum hits four times a
#    second with quiet gaps between, peaks at 0 dBFS;
#  - quiet: wesnoth-1.16-music, "Wanderer" (The Battle for Wesnoth,
#    GPL-2+), a sparse plucked solo, peaks at -11 dBFS;
#  - speech2: ktuberling-data, the English words spoken by another person,
#    joined (copyright 2000-2017 the KDE team, GPL-2+).
# The two pieces mastered to full scale are resampled at unity gain, so
# that the overs resampling makes clip at full scale as in the master.
# Encode speed is measured on 60 seconds of tt1 as stereo 44.1 kHz, in CPU
# time, best of 3, beside lame, oggenc and opusenc at 128 kbit/s.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_QUALITY_BUILD:-$root/build/quality-compare}
seconds=${ORV_QUALITY_SECONDS:-20}

packages=(
  sox libsox-fmt-base lame vorbis-tools opus-tools python3-numpy
  torus-trooper-data singularity-music klettres-data
  fretsonfire-songs-muldjord fretsonfire-songs-sectoid wesnoth-1.16-music
  ktuberling-data
  g++ cmake ninja-build pkg-config libsndfile1-dev libgtest-dev libgmock-dev
)
bash "$root/scripts/install-deps.sh" "${packages[@]}" >&2

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DORV_BUILD_TESTS=OFF -DORV_BUILD_FUZZERS=OFF >/dev/null
fi
cmake --build "$build" --target velka vlkdec -j2 >&2

# Debian's own interpreter: numpy comes from its package.
exec /usr/bin/python3 "$root/scripts/quality_compare.py" \
  --velka "$build/tools/velka/velka" --work "$build/quality-data" \
  --seconds "$seconds" "$@"
