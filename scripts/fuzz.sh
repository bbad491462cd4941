#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for SECONDS (default 20) on a
# copy of its seed corpus. A longer run: bash scripts/fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_PER_TARGET=${1:-20}
BUILD=${BUILD_ROOT:-$ROOT/build}/fuzz
bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1" \
  -DSANITIZE=address -DEVENT_ES_FUZZ=ON -DEVENT_ES_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target esconf_fuzz dynamic_str_fuzz decoder_fuzz deserialize_fuzz \
  reply_fuzz esurl_fuzz event_line_fuzz
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in esconf dynamic_str decoder deserialize reply esurl event_line; do
  work=$(mktemp -d)
  cp -r "$ROOT/fuzz/corpus/$t/." "$work/" 2>/dev/null || true
  echo "== fuzzing $t for ${SECONDS_PER_TARGET}s =="
  "$BUILD/fuzz/${t}_fuzz" -max_total_time="$SECONDS_PER_TARGET" -print_final_stats=1 -max_len=4096 "$work" 2>"$work.log" \
    || { tail -50 "$work.log"; echo "fuzz target $t failed"; exit 1; }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work.log" | sed "s/^/  $t /"
  rm -rf "$work" "$work.log"
done
echo "fuzzing passed"
