#!/usr/bin/env bash
# Real search engines on loopback: OpenSearch, Elasticsearch 7, 8 and 9, fetched from Maven Central and
# started as real nodes. See tests/engines/engine.py for the commands, or run it with --help.
#   bash scripts/engine.sh start opensearch --port-file /tmp/os.port
#   bash scripts/engine.sh stop --port-file /tmp/os.port
set -euo pipefail
exec python3 "$(dirname "$0")/../tests/engines/engine.py" "$@"
