#!/usr/bin/env bash
# Runs each libFuzzer target in turn for SECONDS (default 60), built in the
# `fuzz` preset (clang, AddressSanitizer, UndefinedBehaviorSanitizer).
# Fails on the first finding; the input that caused it is left in
# build/fuzz/artifacts/. Inputs that reach new code are kept in
# build/fuzz/corpus/<target>/ (seeded from fuzz/corpus/<target>/) so that a
# later run starts from them; copy good ones into fuzz/corpus/ to keep them.
#
#   scripts/fuzz.sh 600                    ten minutes per target
#   FUZZ_TARGETS=block_decoder scripts/fuzz.sh 60
#   ORV_FUZZ_SEED=1 scripts/fuzz.sh 60     repeatable mutations (0: random)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
targets=${FUZZ_TARGETS:-"decode_stream call_sequence block_decoder differential"}
build=${FUZZ_BUILD_DIR:-build/fuzz}

ORV_WITH_FUZZ=1 bash scripts/install-deps.sh
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target $(printf 'fuzz_%s ' $targets) -j "$(nproc)"

mkdir -p "$build/artifacts"
for target in $targets; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  echo "== fuzz_$target for ${seconds}s"
  # -timeout is the watchdog: a single input that runs longer than 10 s is a
  # finding (every processing call must terminate promptly).
  log="$build/fuzz_$target.log"
  status=0
  "$build/fuzz/fuzz_$target" "$corpus" \
    -dict=fuzz/velk.dict -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
    -seed="${ORV_FUZZ_SEED:-0}" \
    -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1 || status=$?
  # The progress lines are many; keep the start, the end and any report.
  grep -v -E '^#[0-9]+.*(NEW|REDUCE|pulse)' "$log" | tail -n 60
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$target found a problem (exit $status); see $build/artifacts/ and $log" >&2
    exit 1
  fi
done
