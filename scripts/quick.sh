#!/usr/bin/env bash
# The fast loop for changing one area: one release build (incremental), then one GoogleTest suite
# (optionally filtered), or every suite of that build when no suite is named.
#   bash scripts/quick.sh [SUITE [GTEST_FILTER]]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_ROOT:-$ROOT/build}/release
bash scripts/setup.sh
# The same settings as the test command's release build, whatever an earlier command left in the cache.
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="" -DSANITIZE= \
  -DEVENT_ES_TESTS=ON -DEVENT_ES_ONLY_THREADED_TESTS=OFF -DEVENT_ES_BENCH=OFF -DEVENT_ES_FUZZ=OFF >/dev/null
if [ $# -eq 0 ]; then
  cmake --build "$BUILD" -j "$(nproc)"
  cd "$BUILD" && exec ctest -j "$(nproc)" --output-on-failure --no-tests=error -E "FaultSoak|ValgrindReplay|Stress|RealEngines|ClusterSoak"
fi
suite=$1
cmake --build "$BUILD" -j "$(nproc)" --target "$suite"
exec "$BUILD/tests/$suite" --gtest_filter="${2:-*}"
