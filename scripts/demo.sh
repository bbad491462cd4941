#!/usr/bin/env bash
# The main job on a fresh machine: set up, build the plug-in and show the interface the host loads.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)"
echo "== entry points of build/release/libevent_es.so =="
nm -D --defined-only build/release/libevent_es.so | grep -E ' T (Create|Destroy)$'
echo "== libraries it needs =="
readelf -d build/release/libevent_es.so | grep NEEDED
