#!/usr/bin/env bash
# The main job on a fresh machine: set up, build, start the local test endpoint on loopback, replay
# examples/orders.ndjson through the plug-in into it, show what arrived, stop the endpoint.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="" -DSANITIZE= \
  -DEVENT_ES_TESTS=OFF -DEVENT_ES_BENCH=OFF -DEVENT_ES_FUZZ=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

work=$(mktemp -d /tmp/cdc-es-demo.XXXXXX)
python3 tests/es_endpoint.py --port-file "$work/port" >"$work/endpoint.log" 2>&1 &
endpoint=$!
trap 'kill $endpoint 2>/dev/null || true; wait $endpoint 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")"
echo "== local es endpoint at $url =="

# The logs go to the private directory of this run (mktemp -d: mode 0700), never to a fixed path that
# another user could have planted a link at.
build/release/cdc-es-replay --param-file examples/param-local.json --es-url "$url" --log-path "$work/log" \
  --workers 2 --batch-size 64 --chunk-size 256 examples/orders.ndjson

curl -s -XPOST "$url/orders/_refresh" >/dev/null
echo "== documents in index orders: $(curl -s "$url/orders/_count" | python3 -c 'import json,sys; print(json.load(sys.stdin)["count"])') =="
echo "== a few of them =="
curl -s "$url/orders/_search?size=3" | python3 -c '
import json, sys
for hit in json.load(sys.stdin)["hits"]["hits"]:
    print(json.dumps(hit["_source"]))'
echo "== plug-in log: $(ls "$work"/log/replay-event_es-1.*.log.* | tail -1) =="
