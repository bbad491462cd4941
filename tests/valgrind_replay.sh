#!/usr/bin/env bash
# A short replay of the example data under valgrind's memcheck: no invalid access, no leak.
set -euo pipefail
tool=$1
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/valgrind_replay.XXXXXX)
python3 "$src/tests/es_endpoint.py" --port-file "$work/port" >/dev/null 2>&1 &
endpoint=$!
trap 'kill $endpoint 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")"
param="{\"log_path\":\"$work/log\",\"es_url\":\"$url\",\"es_version\":\"v8\",\"es_index\":\"orders\",\"es_bulknum\":\"50\"}"
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --show-leak-kinds=definite,indirect --quiet \
  "$tool" --param "$param" --workers 2 --batch-size 50 --chunk-size 128 --quiet "$src/examples/orders.ndjson"
count=$(curl -s "$url/orders/_count" | python3 -c 'import json,sys; print(json.load(sys.stdin)["count"])')
echo "valgrind replay clean, $count documents arrived"
[ "$count" -gt 0 ]
