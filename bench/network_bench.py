#!/usr/bin/env python3
"""Documents/s into the test endpoint: the writer library and the whole replay path, each against
curl --data-binary posting bulk bodies with the very same documents over one kept-alive connection."""
import argparse
import json
import os
import subprocess
import socket
import tempfile
import threading
import time
import urllib.request

DOCS = 50000
DOCS_1K = 20000
DOC_SIZE = 200
BULK = 500


def delete(url, index):
    req = urllib.request.Request(url + "/" + index, method="DELETE")
    urllib.request.urlopen(req).read()


def count(url, index):
    with urllib.request.urlopen(url + "/" + index + "/_count") as r:
        return json.load(r)["count"]


def doc(i):
    head = '{"id":%d,"payload":"' % i
    return head + "x" * (DOC_SIZE - len(head) - 2) + '"}'


def curl_rate(url, index, tmp, connections=1):
    """Posts the bulk bodies with `connections` curl processes at once (one connection each, bodies
    dealt out in turn) and returns documents/s."""
    configs = [open(os.path.join(tmp, "curl%d.cfg" % c), "w") for c in range(connections)]
    for b in range(DOCS // BULK):
        body = os.path.join(tmp, "bulk%d.ndjson" % b)
        with open(body, "w") as f:
            for i in range(b * BULK, (b + 1) * BULK):
                f.write('{"index":{"_index":"%s"}}\n%s\n' % (index, doc(i)))
        cfg = configs[b % connections]
        if b >= connections:
            cfg.write("next\n")
        cfg.write('url = "%s/_bulk"\ndata-binary = "@%s"\nheader = "Content-Type: application/x-ndjson"\n'
                  'silent\noutput = "/dev/null"\n' % (url, body))
    for cfg in configs:
        cfg.close()
    delete(url, index)
    start = time.time()
    procs = [subprocess.Popen(["curl", "-K", cfg.name]) for cfg in configs]
    for p in procs:
        if p.wait() != 0:
            raise RuntimeError("curl failed")
    secs = time.time() - start
    assert count(url, index) == DOCS
    return DOCS / secs


ROUNDS = 3
# (label key, bulks in flight, events per batch, plug-in variant)
WHOLE_PATH = [
    ("inflight2_batch5000", 2, 5000, "libevent_es.so"),
    ("inflight1_batch1000", 1, 1000, "libevent_es.so"),
    ("inflight1_batch5000", 1, 5000, "libevent_es.so"),
    ("inflight1_batch50000", 1, DOCS, "libevent_es.so"),
    ("inflight1_batch1000_poll1ms", 1, 1000, "poll1ms/libevent_es.so"),
    ("inflight1_batch5000_poll1ms", 1, 5000, "poll1ms/libevent_es.so"),
]


def replay_rate(a, tmp, inflight, batch, plugin):
    delete(a.url, "orders")
    url = a.url if inflight == 2 else a.url + "?inflight=1"
    param = json.dumps({"log_path": os.path.join(tmp, "log"), "es_url": url, "es_version": "v8",
                        "es_index": "orders", "es_bulknum": str(BULK)})
    start = time.time()
    subprocess.run([os.path.join(a.build, "cdc-es-replay"), "--plugin", os.path.join(a.build, plugin),
                    "--param", param, "--generate", str(DOCS), "--doc-size", str(DOC_SIZE),
                    "--batch-size", str(batch), "--workers", "2", "--quiet"], check=True, capture_output=True)
    secs = time.time() - start
    assert count(a.url, "orders") == DOCS
    return DOCS / secs


class Scraper(threading.Thread):
    """GETs a metrics URL every 100 ms (ten times a usual scrape interval) until stopped."""

    def __init__(self, url):
        super().__init__(daemon=True)
        self.url, self.scrapes, self.done = url, 0, threading.Event()

    def run(self):
        while not self.done.wait(0.1):
            try:
                with urllib.request.urlopen(self.url, timeout=5) as r:
                    r.read()
                self.scrapes += 1
            except OSError:
                pass  # not serving yet

    def stop(self):
        self.done.set()
        self.join()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fault(url, obj):
    req = urllib.request.Request(url + "/_fault", data=json.dumps(obj).encode(), method="POST")
    urllib.request.urlopen(req).read()


def median(values):
    v = sorted(values)
    return v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--url", required=True)
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--only", default="writer,items429,doc_id,metrics,replay",
                    help="comma-separated groups to run beside the curl baseline")
    ap.add_argument("--rounds", type=int, default=ROUNDS)
    a = ap.parse_args()
    want = set(a.only.split(","))
    tmp = tempfile.mkdtemp()
    docs_file = os.path.join(tmp, "docs.ndjson")
    with open(docs_file, "w") as f:
        for i in range(DOCS):
            f.write(doc(i) + "\n")

    # Rounds interleave every path with the curl baseline, so a slow spell of the machine hits all of
    # them. Each rate is the median of its rounds; each ratio is the median of the rounds' ratios, each
    # against the mean of the curl runs that open and close its round.
    docs_1k = os.path.join(tmp, "docs1k.ndjson")
    with open(docs_1k, "w") as f:
        for i in range(DOCS_1K):
            head = '{"id":%d,"payload":"' % i
            f.write(head + "x" * (1024 - len(head) - 2) + '"}\n')
    runs = {}
    ratios = {}
    cpu_us = {}
    for _ in range(a.rounds):
        this = {}
        curl_first = curl_rate(a.url, "bench", tmp)
        this["curl_two_connections"] = curl_rate(a.url, "bench", tmp, connections=2)
        for inflight in (1, 2) if "writer" in want else ():
            delete(a.url, "bench")
            out = subprocess.run([os.path.join(a.build, "bench", "writer_driver"), a.url + "?inflight=%d" % inflight,
                                  docs_file, str(BULK), "5000"], check=True, capture_output=True, text=True).stdout
            assert count(a.url, "bench") == DOCS
            this["writer_inflight%d" % inflight] = DOCS / float(out.split()[0])
        # The writer with 10 % of the items rejected for now (429), commits of 1,000 documents, against the
        # same run without rejections: retried items must not stall the stream.
        for key, rate in (("writer_commit1000", 0.0), ("writer_commit1000_items429", 0.1)) if "items429" in want else ():
            delete(a.url, "bench")
            fault(a.url, {"reset": True, "item_reject_rate": rate})
            out = subprocess.run([os.path.join(a.build, "bench", "writer_driver"), a.url, docs_file, str(BULK), "1000"],
                                 check=True, capture_output=True, text=True).stdout
            fault(a.url, {"reset": True})
            assert count(a.url, "bench") == DOCS
            this[key] = DOCS / float(out.split()[0])
        # The writer's CPU per 1 KB document with a document id from a pointer or a hash, against none.
        for key, option in ((("doc_id_none", ""), ("doc_id_pointer", "?doc_id=/id"), ("doc_id_hash", "?doc_id=hash"))
                            if "doc_id" in want else ()):
            delete(a.url, "bench")
            out = subprocess.run([os.path.join(a.build, "bench", "writer_driver"), a.url + option, docs_1k, str(BULK),
                                  "5000"], check=True, capture_output=True, text=True).stdout
            assert count(a.url, "bench") == DOCS_1K
            cpu_us.setdefault(key, []).append(float(out.split()[1]) * 1e6 / DOCS_1K)
        # The writer with metrics served (scraped every 100 ms) and written to a file, against the same
        # run without: documents/s and CPU per document of the writer's process.
        metrics_round = {}
        for key in ("metrics_off", "metrics_on") if "metrics" in want else ():
            delete(a.url, "bench")
            option, scraper = "", None
            if key == "metrics_on":
                port = free_port()
                option = "?metrics_listen=127.0.0.1:%d&metrics_file=%s" % (port, os.path.join(tmp, "es_writer.prom"))
                scraper = Scraper("http://127.0.0.1:%d/metrics" % port)
                scraper.start()
            out = subprocess.run([os.path.join(a.build, "bench", "writer_driver"), a.url + option, docs_file, str(BULK),
                                  "5000"], check=True, capture_output=True, text=True).stdout
            if scraper:
                scraper.stop()
                assert scraper.scrapes > 0, "the metrics endpoint was never scraped"
            assert count(a.url, "bench") == DOCS
            wall, cpu = (float(x) for x in out.split()[:2])
            metrics_round[key] = DOCS / wall
            runs.setdefault(key, []).append(DOCS / wall)
            cpu_us.setdefault(key, []).append(cpu * 1e6 / DOCS)
        if metrics_round:
            ratios.setdefault("metrics_on_vs_off", []).append(metrics_round["metrics_on"] / metrics_round["metrics_off"])
        for key, inflight, batch, plugin in WHOLE_PATH if "replay" in want else ():
            this["replay_" + key] = replay_rate(a, tmp, inflight, batch, plugin)
        curl_last = curl_rate(a.url, "bench", tmp)
        runs.setdefault("curl", []).extend([curl_first, curl_last])
        curl_round = (curl_first + curl_last) / 2
        for k, v in this.items():
            runs.setdefault(k, []).append(v)
            ratios.setdefault(k, []).append(v / curl_round)
            if "inflight2" in k:
                ratios.setdefault(k + "_two_connections", []).append(v / this["curl_two_connections"])
    results = {k + "_docs_per_sec": median(v) for k, v in runs.items()}
    results.update({k + "_ratio": median(v) for k, v in ratios.items()})
    results["metrics_on_vs_off_ratios"] = ratios.get("metrics_on_vs_off", [])
    for k, v in cpu_us.items():
        results[k + "_cpu_us_per_doc"] = median(v)
    results["docs"] = DOCS
    results["doc_size"] = DOC_SIZE
    results["rounds"] = a.rounds
    with open(a.out, "w") as f:
        json.dump(results, f)


if __name__ == "__main__":
    main()
