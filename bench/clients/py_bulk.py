#!/usr/bin/env python3
"""The official Python client's bulk helpers (opensearch-py) into an index, for bench/engine_bench.py.

    py_bulk.py URL INDEX DOCS_FILE streaming|parallel [CHUNK_SIZE [THREADS]]   (helpers' defaults otherwise)

Documents go in as the JSON text they are (the client sends a text as it is), the cheapest form for it.
Prints the wall seconds and this process's CPU seconds from the first document to the last reply."""
import os
import sys
import time

from opensearchpy import OpenSearch, helpers


def main():
    url, index, path, mode = sys.argv[1:5]
    kwargs = {}
    if len(sys.argv) > 5:
        kwargs["chunk_size"] = int(sys.argv[5])
    if len(sys.argv) > 6:
        kwargs["thread_count"] = int(sys.argv[6])
    with open(path) as f:
        docs = f.read().splitlines()
    client = OpenSearch([url], timeout=120)
    actions = ({"_index": index, "_source": d} for d in docs)
    t0, c0 = time.time(), os.times()
    if mode == "streaming":
        results = helpers.streaming_bulk(client, actions, **kwargs)
    else:
        results = helpers.parallel_bulk(client, actions, **kwargs)
    failed = sum(1 for ok, _ in results if not ok)
    c1 = os.times()
    if failed:
        sys.exit("%d documents failed" % failed)
    print("%.6f %.6f" % (time.time() - t0, (c1.user + c1.system) - (c0.user + c0.system)))


if __name__ == "__main__":
    main()
