#!/usr/bin/env bash
# Runs `velka decode` under valgrind's memcheck on the known-answer files,
# with seeks, a loop and damaged copies, and fails on any memcheck error
# (invalid access, use of uninitialised values, leaks).
# Usage: scripts/memcheck.sh [build directory]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
ORV_WITH_VALGRIND=1 bash scripts/install-deps.sh
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORV_WERROR=ON >/dev/null
fi
cmake --build "$build" --target velka vlkdec -j "$(nproc)"
velka="$build/tools/velka/velka"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

errors=0
# check EXPECT_EXIT ARGS...: EXPECT_EXIT is velka's expected exit status, or
# "any" for damaged input, where only memcheck's verdict counts.
check() {
  local expect=$1
  shift
  local status=0
  valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --track-origins=yes -q \
    "$velka" decode --force "$@" >"$work/out.log" 2>&1 || status=$?
  if [ "$status" -eq 99 ] || { [ "$expect" != any ] && [ "$status" -ne "$expect" ]; }; then
    echo "FAIL (exit $status): velka decode $*" >&2
    cat "$work/out.log" >&2
    errors=$((errors + 1))
  else
    echo "ok: velka decode $*"
  fi
}

vectors=tests/data/vectors/files
for file in "$vectors"/*.VELKA; do
  # A damaged file decodes with the status that says so.
  case $(basename "$file") in damage-*) expect=3 ;; *) expect=0 ;; esac
  check "$expect" "$file" "$work/out.raw"
done
check 0 "$vectors/ch2-48000.VELKA" "$work/out.wav" --start 300 --duration 400
check 0 "$vectors/signal-chord-2ch-44100.VELKA" "$work/out.wav" --loop 1000 30000 --loop-count 3
check 0 "$vectors/ch6-16000.VELKA" "$work/out.raw" --start 250

# Damaged copies: truncated, and with bytes overwritten in the middle.
head -c 30000 "$vectors/ch2-48000.VELKA" >"$work/truncated.VELKA"
check any "$work/truncated.VELKA" "$work/out.raw"
cp "$vectors/ch6-16000.VELKA" "$work/damaged.VELKA"
printf '\x99\x99\xff\x7f garbage \x99\x99\x00\x00' |
  dd of="$work/damaged.VELKA" bs=1 seek=20000 conv=notrunc status=none
head -c 4000 /dev/zero | dd of="$work/damaged.VELKA" bs=1 seek=40000 conv=notrunc status=none
check any "$work/damaged.VELKA" "$work/out.raw"

if [ "$errors" -ne 0 ]; then
  echo "memcheck: $errors run(s) failed" >&2
  exit 1
fi
echo "memcheck: no errors"
