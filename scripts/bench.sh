#!/usr/bin/env bash
# Builds an optimised benchmark build and prints one table of figures, each next to a baseline measured
# in the same run; the table is also written to bench/RESULTS.md. Takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_ROOT:-$ROOT/build}/bench
OUT=$(mktemp -d /tmp/cdc-es-bench.XXXXXX)
bash scripts/setup.sh
if ! dpkg-query -W -f='${Status}' libspdlog-dev 2>/dev/null | grep -q "install ok installed"; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libspdlog-dev >/dev/null
fi
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DEVENT_ES_TESTS=OFF -DEVENT_ES_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

echo "== decoding, parallel decoding, forwarding, memory =="
# Decoding and its memcpy baseline are measured in repetitions interleaved at random, so a slow spell of
# the machine hits both; the table takes the medians.
"$BUILD/bench/decode_bench" --benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$OUT/decode.json" >/dev/null
"$BUILD/bench/parallel_bench" --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out="$OUT/parallel.json" >/dev/null
"$BUILD/bench/forward_bench" --benchmark_format=json --benchmark_out="$OUT/forward.json" >/dev/null
echo "== logger against spdlog =="
"$BUILD/bench/logger_bench" 200000 >"$OUT/logger.md"

echo "== writer and whole path against curl, into the native bulk endpoint =="
# The endpoint on core 0, every client on core 1 (network_bench.py pins them); the Python test endpoint
# serves only the rows that need fault injection.
taskset -c 0 "$BUILD/bench/bulk_endpoint" --port-file "$OUT/native_port" 2>"$OUT/bulk_endpoint.log" &
native=$!
python3 tests/es_endpoint.py --port-file "$OUT/port" >/dev/null 2>&1 &
endpoint=$!
trap 'kill $endpoint $native 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$OUT/port" ] && [ -s "$OUT/native_port" ] && break; sleep 0.1; done
python3 bench/network_bench.py --url "http://127.0.0.1:$(cat "$OUT/native_port")" \
  --py-url "http://127.0.0.1:$(cat "$OUT/port")" --only curl2,writer,replay,doc_id,metrics,items429 \
  --build "$BUILD" --out "$OUT/network.json"
echo "== the native endpoint with curl alone =="
python3 bench/endpoint_check.py "$BUILD/bench/bulk_endpoint" >"$OUT/endpoint.md"
echo "== the whole path by stage (callgrind) =="
python3 bench/stage_profile.py "$BUILD" >"$OUT/stages.md"

python3 bench/report.py "$OUT" | tee "$ROOT/bench/RESULTS.md"
