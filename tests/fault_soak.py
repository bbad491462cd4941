#!/usr/bin/env python3
"""Fault soak: the replay tool sends generated documents through the plug-in and the real writer while
the test endpoint injects transient failures (429, 503, connections dropped before or after the bulk
was stored, slow answers, rejected items) and, once, goes down for a few seconds. The tool re-sends a batch whenever Execute fails.

Checks: every document is in the index at least once, and every batch that Execute reported done had
all its documents stored before Execute returned. With --doc-id, the documents carry their _id from
their "id" member (doc_id=/id): then the index must hold exactly one document per generated id,
nothing missing and nothing extra, whatever was re-sent.

Usage: fault_soak.py TOOL [--docs N] [--doc-id] (the test command runs 50,000 in both modes; the full
soak is 1,000,000)
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from helpers import start_endpoint

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def call(url, path, body=None):
    req = urllib.request.Request(url + path, data=None if body is None else json.dumps(body).encode(),
                                 method="GET" if body is None else "POST")
    with urllib.request.urlopen(req, timeout=600) as r:
        return json.load(r)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tool")
    ap.add_argument("--docs", type=int, default=50000)
    ap.add_argument("--batch-size", type=int, default=2000)
    ap.add_argument("--down-ms", type=int, default=4000)
    ap.add_argument("--doc-id", action="store_true", help="documents carry their _id (doc_id=/id)")
    args = ap.parse_args()

    tmp = tempfile.mkdtemp(prefix="fault_soak_")
    endpoint, url = start_endpoint([sys.executable, os.path.join(SOURCE, "tests", "es_endpoint.py")])
    try:
        call(url, "/_fault", {"transient_rate": 0.15, "item_reject_rate": 0.005, "drop_stored_rate": 0.02,
                              "slow_ms": 150})

        es_url = url + "?backoff_ms=20&backoff_max_ms=500&retry_deadline_ms=3000&request_timeout_ms=5000"
        if args.doc_id:
            es_url += "&doc_id=/id"
        param = {"log_path": os.path.join(tmp, "log"), "es_url": es_url, "es_version": "v8", "es_index": "soak",
                 "es_bulknum": "500"}
        ack_log = os.path.join(tmp, "ack.ndjson")
        started = time.time()
        tool = subprocess.Popen([args.tool, "--param", json.dumps(param), "--generate", str(args.docs),
                                 "--batch-size", str(args.batch_size), "--doc-size", "200", "--workers", "2",
                                 "--retries", "1000", "--retry-backoff-ms", "200", "--ack-log", ack_log, "--quiet"],
                                stderr=subprocess.PIPE, text=True)

        def outage():
            # Once about a third of the batches are acknowledged, the endpoint stops answering.
            want = max(1, args.docs // args.batch_size // 3)
            while tool.poll() is None:
                if os.path.exists(ack_log) and sum(1 for _ in open(ack_log)) >= want:
                    call(url, "/_fault", {"down_ms": args.down_ms})
                    return
                time.sleep(0.05)

        threading.Thread(target=outage, daemon=True).start()
        _, err = tool.communicate(timeout=3600)
        elapsed = time.time() - started
        if tool.returncode != 0:
            print(err[-3000:])
            print("FAIL: the replay tool exited with %d" % tool.returncode)
            return 1

        raw = call(url, "/soak/_raw?with_time=1")
        first_stored = {}
        pattern = re.compile(r'"id":(\d+)')
        for doc, t in zip(raw["docs"], raw["times"]):
            m = pattern.search(doc)
            if m:
                i = int(m.group(1))
                first_stored[i] = min(t, first_stored.get(i, t))
        missing = [i for i in range(args.docs) if i not in first_stored]
        late = 0
        batches = 0
        with open(ack_log) as f:
            for line in f:
                ack = json.loads(line)
                batches += 1
                for i in range(ack["first_event"], ack["last_event"] + 1):
                    if i in first_stored and first_stored[i] > ack["time"]:
                        late += 1
        stats = call(url, "/_fault")["stats"]
        resends = err.count("failed (attempt")
        print("documents %d, stored %d (duplicates %d), batches acknowledged %d, re-sent batches %d, "
              "injected %s, lost %d, stored after their batch was acknowledged %d, %.1f s" %
              (args.docs, len(raw["docs"]), len(raw["docs"]) - len(first_stored), batches, resends,
               json.dumps(stats["injected"], sort_keys=True), len(missing), late, elapsed))
        if missing or late or batches * args.batch_size < args.docs or stats["injected"].get("down", 0) == 0:
            print("FAIL")
            return 1
        if args.doc_id:
            ids = call(url, "/soak/_raw")["ids"]
            want = set(str(i) for i in range(args.docs))
            print("doc_id=/id: %d stored, %d distinct ids, %d replaced, %d missing, %d extra" %
                  (len(ids), len(set(ids)), stats["replaced"], len(want - set(ids)), len(set(ids) - want)))
            if len(ids) != args.docs or set(ids) != want:
                print("FAIL: not exactly one document per generated id")
                return 1
        print("fault soak passed")
        return 0
    finally:
        endpoint.terminate()
        endpoint.wait()


if __name__ == "__main__":
    sys.exit(main())
