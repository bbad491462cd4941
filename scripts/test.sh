#!/usr/bin/env bash
# Sets up a fresh machine and runs the whole test suite: a release build (assertions off), an
# AddressSanitizer + UndefinedBehaviorSanitizer build, and a ThreadSanitizer build of every test that
# runs threads, then the libFuzzer targets for a bounded time (FUZZ_SECONDS, default 20 each), then
# the packages (scripts/package.sh), extracted into a temporary root and checked.
# Build trees go to build/ (override with BUILD_ROOT).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD_ROOT=${BUILD_ROOT:-$ROOT/build}
JOBS=${JOBS:-$(nproc)}

bash scripts/setup.sh

# Every setting a build needs is given here, so a cache another command left (the demo builds
# build/release without its tests) can never change what this command builds and runs; a build that
# finds no test fails.
configure_and_test() {
  local name=$1
  shift
  local dir="$BUILD_ROOT/$name"
  echo "== $name build =="
  cmake -S "$ROOT" -B "$dir" -G Ninja -DEVENT_ES_TESTS=ON -DEVENT_ES_BENCH=OFF -DEVENT_ES_FUZZ=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
  echo "== $name tests =="
  (cd "$dir" && ctest -j "$JOBS" --output-on-failure --timeout 900 --no-tests=error)
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

configure_and_test release -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="" -DSANITIZE= \
  -DEVENT_ES_ONLY_THREADED_TESTS=OFF
configure_and_test asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1" -DSANITIZE=address \
  -DEVENT_ES_ONLY_THREADED_TESTS=OFF
configure_and_test tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-O1" -DSANITIZE=thread \
  -DEVENT_ES_ONLY_THREADED_TESTS=ON

echo "== fuzz targets =="
BUILD_ROOT="$BUILD_ROOT" bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"

echo "== packages (.deb and tarball, extracted and run) =="
BUILD_ROOT="$BUILD_ROOT" bash scripts/package.sh
python3 tests/package_test.py "$BUILD_ROOT/package"

echo "all test builds passed"
