#!/usr/bin/env bash
# The main job on a fresh machine: set up, build, start a real OpenSearch node on loopback (fetched from
# Maven Central by scripts/engine.sh), replay examples/orders.ndjson through the plug-in into it, show
# what arrived and a query over it, stop the node.
#   bash scripts/demo.sh                    # into a real OpenSearch node
#   bash scripts/demo.sh --endpoint local   # into the local test endpoint (tests/es_endpoint.py) instead
set -euo pipefail
cd "$(dirname "$0")/.."
endpoint=opensearch
if [ "${1:-}" = "--endpoint" ]; then
  endpoint=${2:-}
  case "$endpoint" in opensearch|local) ;; *) echo "usage: demo.sh [--endpoint opensearch|local]" >&2; exit 2 ;; esac
fi
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS="" -DSANITIZE= \
  -DEVENT_ES_TESTS=OFF -DEVENT_ES_BENCH=OFF -DEVENT_ES_FUZZ=OFF >/dev/null
cmake --build build/release -j "$(nproc)"

# The logs go to the private directory of this run (mktemp -d: mode 0700), never to a fixed path that
# another user could have planted a link at.
work=$(mktemp -d /tmp/cdc-es-demo.XXXXXX)
if [ "$endpoint" = local ]; then
  python3 tests/es_endpoint.py --port-file "$work/port" >"$work/endpoint.log" 2>&1 &
  pid=$!
  trap 'kill $pid 2>/dev/null || true; wait $pid 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
  url="http://127.0.0.1:$(cat "$work/port")"
  params=examples/param-local.json
  echo "== local es endpoint at $url =="
else
  trap 'bash scripts/engine.sh stop --port-file "$work/engine.port" >/dev/null 2>&1 || true' EXIT
  bash scripts/engine.sh start opensearch --port-file "$work/engine.port"
  url=$(head -1 "$work/engine.port")
  params=examples/param-opensearch.json  # es_version v7: OpenSearch speaks the 7 API
  echo "== OpenSearch $(curl -s "$url" | python3 -c 'import json,sys; print(json.load(sys.stdin)["version"]["number"])') at $url =="
fi

build/release/cdc-es-replay --param-file "$params" --es-url "$url" --log-path "$work/log" \
  --workers 2 --batch-size 64 --chunk-size 256 examples/orders.ndjson

curl -s -XPOST "$url/orders/_refresh" >/dev/null
echo "== documents in index orders: $(curl -s "$url/orders/_count" | python3 -c 'import json,sys; print(json.load(sys.stdin)["count"])') =="
if [ "$endpoint" = local ]; then
  echo "== a few of them =="
  curl -s "$url/orders/_search?size=3" | python3 -c '
import json, sys
for hit in json.load(sys.stdin)["hits"]["hits"]:
    print(json.dumps(hit["_source"]))'
else
  echo "== the three largest orders of customer barbara, and the five customers who ordered most =="
  curl -s -XPOST "$url/orders/_search" -H 'Content-Type: application/json' -d '{
      "size": 3, "post_filter": {"term": {"customer.keyword": "barbara"}}, "sort": [{"amount": "desc"}],
      "aggs": {"customers": {"terms": {"field": "customer.keyword", "size": 5},
                             "aggs": {"total": {"sum": {"field": "amount"}}}}}}' | python3 -c '
import json, sys
r = json.load(sys.stdin)
print("barbara has %d orders; the largest:" % r["hits"]["total"]["value"])
for hit in r["hits"]["hits"]:
    print("  " + json.dumps(hit["_source"]))
for b in r["aggregations"]["customers"]["buckets"]:
    print("  %-10s %3d orders, %9.2f in all" % (b["key"], b["doc_count"], b["total"]["value"]))'
fi
echo "== plug-in log: $(ls "$work"/log/replay-event_es-1.*.log.* | tail -1) =="
