#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for a bounded time, starting from the
# seed corpus in fuzz/corpus/<target> and, for those whose seeds the build writes, in
# $FUZZ_BUILD/seeds/<target>. Any crash, sanitizer report, leak, timeout or failed
# check fails the run; the input that caused it is kept in $FUZZ_BUILD/findings/<target>/ and
# replays with "$FUZZ_BUILD/<target> <file>".
#
#   FUZZ_SECONDS  time per target (default 60)
#   FUZZ_TARGETS  space-separated subset of the targets (default: all)
#   WERROR        ON treats compiler warnings as errors (default OFF)
# The build is the "fuzz" preset of CMakePresets.json, in build-fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-fuzz
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"fuzz_decode_frame fuzz_g729tolin fuzz_lintog729 fuzz_capture_reader fuzz_audio_file"}
jobs=${JOBS:-$(nproc)}

cmake --preset fuzz -DTARNEL_WERROR="${WERROR:-OFF}" >/dev/null
cmake --build --preset fuzz -j"$jobs"

status=0
for t in $targets; do
  work="$build/corpus/$t"        # grows across runs; the seeds in fuzz/corpus stay as they are
  findings="$build/findings/$t"
  log="$build/$t.log"
  mkdir -p "$work" "$findings"
  seeds=()
  for d in "fuzz/corpus/$t" "$build/seeds/$t"; do [ -d "$d" ] && seeds+=("$d"); done
  start=$(date +%s)
  # Leaks of the codec libraries behind libsndfile are theirs (see the file); every other leak
  # still fails the run.
  export LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan_suppressions.txt:print_suppressions=0"
  # Inputs up to 16 KiB let a payload fill the decoder's whole output buffer and a linear frame
  # reach the encoder's capacity; 25 s for one input is a hang, not a slow case.
  if "$build/$t" -max_total_time="$seconds" -max_len=16384 -timeout=25 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$findings/" "$work" "${seeds[@]}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 || true)
  echo "$t: $result, ${runs:-?} executions in $(( $(date +%s) - start )) s, ${cov:-cov: ?}"
  if [ "$result" != ok ]; then
    grep -E 'ERROR|SUMMARY|fuzz_[a-z0-9_]+:|runtime error|Test unit written' "$log" | head -20 || true
    echo "(full log: $log)"
  fi
done
exit $status
