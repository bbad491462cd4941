#!/usr/bin/env python3
"""The writer library and the whole replay path into the native bulk endpoint (bench/bulk_endpoint.cpp),
each against curl posting the very bulk bodies the writer sends, in the same round.

The endpoint runs on one core and the client on the other (taskset). Every run is checked: the index
must hold exactly the documents sent, else the run is invalid and the benchmark stops. Rounds
interleave every client with the curl baseline; rates and CPU figures are medians over the rounds,
each ratio the median of the rounds' ratios against the mean of the curl runs that open and close its
round. CPU per document: user + system time of the client's process (the writer driver counts from
after initialize; curl and the replay tool their whole run) and of the endpoint since the first bulk.
The rows with items rejected for now (429) need fault injection and go to the Python test endpoint
(--py-url), which is itself the bottleneck there: they show that retries do not stall, not speed."""
import argparse
import json
import os
import socket
import subprocess
import tempfile
import threading
import time
import urllib.request

from bench_common import children_cpu, doc, median, write_inputs

BULK = 1000
SIZES = {256: 1000000, 1024: 400000}  # document bytes: documents per run
ROUNDS = 3
ENDPOINT_CPU, CLIENT_CPU = "0", "1"


def http(url, method="GET", data=None):
    req = urllib.request.Request(url, method=method, data=data)
    with urllib.request.urlopen(req, timeout=60) as r:
        return json.load(r)


def run_client(cmd):
    """Runs cmd on the client core; returns (wall seconds, CPU seconds of the process, stdout)."""
    start = time.time()
    p = subprocess.Popen(["taskset", "-c", CLIENT_CPU] + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate()
    secs = time.time() - start
    if p.returncode != 0:
        raise RuntimeError("%s failed: %s" % (cmd[0], err.decode()[-500:]))
    return secs, out.decode()


class Run:
    def __init__(self, url, index, docs):
        self.url, self.index, self.docs = url, index, docs

    def __enter__(self):
        urllib.request.urlopen(urllib.request.Request(self.url + "/" + self.index, method="DELETE")).read()
        http(self.url + "/_bench/reset", "POST", b"")
        return self

    def __exit__(self, *exc):
        if exc[0] is not None:
            return False
        got = http(self.url + "/" + self.index + "/_count")["count"]
        if got != self.docs:
            raise RuntimeError("invalid run: %d documents in the index for %d sent" % (got, self.docs))
        self.endpoint_cpu = http(self.url + "/_bench/stats")["cpu_s_since_first_bulk"]
        return False


class Bench:
    def __init__(self, a, tmp):
        self.a, self.tmp = a, tmp
        self.files = {}

    def prepare(self, size):
        self.files[size] = write_inputs(self.tmp, size, SIZES[size], BULK)

    def curl(self, size, connections):
        n = SIZES[size]
        _, bodies = self.files[size]
        configs = []
        for c in range(connections):
            cfg = os.path.join(self.tmp, "curl%d_%d.cfg" % (size, c))
            with open(cfg, "w") as f:
                for k, body in enumerate(bodies[c::connections]):
                    if k:
                        f.write("next\n")
                    f.write('url = "%s/_bulk"\ndata-binary = "@%s"\nheader = "Content-Type: application/x-ndjson"\n'
                            'header = "Expect:"\nsilent\noutput = "/dev/null"\n' % (self.a.url, body))
            configs.append(cfg)
        with Run(self.a.url, "bench", n) as run:
            cpu0 = children_cpu()
            start = time.time()
            procs = [subprocess.Popen(["taskset", "-c", CLIENT_CPU, "curl", "-K", cfg]) for cfg in configs]
            for p in procs:
                if p.wait() != 0:
                    raise RuntimeError("curl failed")
            secs = time.time() - start
            cpu = children_cpu() - cpu0
        return n / secs, cpu * 1e6 / n, run.endpoint_cpu * 1e6 / n

    def writer(self, size, option="?inflight=1", index="bench"):
        n = SIZES[size]
        docs_file, _ = self.files[size]
        with Run(self.a.url, index, n) as run:
            secs, out = run_client([os.path.join(self.a.build, "bench", "writer_driver"), self.a.url + option, docs_file,
                                    str(BULK), "5000"])
        wall, cpu = (float(x) for x in out.split()[:2])
        return n / wall, cpu * 1e6 / n, run.endpoint_cpu * 1e6 / n

    def replay(self, size):
        n = SIZES[size]
        param = json.dumps({"log_path": os.path.join(self.tmp, "log"), "es_url": self.a.url, "es_version": "v8",
                            "es_index": "orders", "es_bulknum": str(BULK)})
        with Run(self.a.url, "orders", n) as run:
            cpu0 = children_cpu()
            secs, _ = run_client([os.path.join(self.a.build, "cdc-es-replay"), "--param", param, "--generate", str(n),
                                  "--doc-size", str(size), "--batch-size", "5000", "--workers", "2", "--quiet"])
            cpu = children_cpu() - cpu0
        return n / secs, cpu * 1e6 / n, run.endpoint_cpu * 1e6 / n


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def items429(a, tmp):
    """Commits of 1,000 documents with 10 % of the items rejected for now, against none, into the Python
    endpoint."""
    docs_file = os.path.join(tmp, "docs_py.ndjson")
    n = 50000
    with open(docs_file, "w") as f:
        for i in range(n):
            f.write(doc(i, 200) + "\n")
    out = {}
    for key, rate in (("writer_commit1000", 0.0), ("writer_commit1000_items429", 0.1)):
        urllib.request.urlopen(urllib.request.Request(a.py_url + "/bench", method="DELETE")).read()
        http(a.py_url + "/_fault", "POST", json.dumps({"reset": True, "item_reject_rate": rate}).encode())
        o = subprocess.run([os.path.join(a.build, "bench", "writer_driver"), a.py_url, docs_file, "500", "1000"],
                           check=True, capture_output=True, text=True).stdout
        http(a.py_url + "/_fault", "POST", json.dumps({"reset": True}).encode())
        if http(a.py_url + "/bench/_count")["count"] != n:
            raise RuntimeError("invalid run: documents lost or doubled with rejections")
        out[key] = n / float(o.split()[0])
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--url", required=True, help="the native bulk endpoint")
    ap.add_argument("--py-url", help="the Python test endpoint, for the rows with rejected items")
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--only", default="curl2,writer,replay,doc_id,metrics")
    ap.add_argument("--rounds", type=int, default=ROUNDS)
    ap.add_argument("--sizes", default="256,1024")
    a = ap.parse_args()
    want = set(a.only.split(","))
    sizes = [int(s) for s in a.sizes.split(",")]
    tmp = tempfile.mkdtemp()
    b = Bench(a, tmp)
    for size in sizes:
        b.prepare(size)
    rows = {}  # key -> {"rate": [...], "ratio": [...], "cpu": [...], "endpoint_cpu": [...]}

    def add(key, result, baseline=None):
        r = rows.setdefault(key, {"rate": [], "ratio": [], "cpu": [], "endpoint_cpu": []})
        rate, cpu, ecpu = result
        r["rate"].append(rate)
        r["cpu"].append(cpu)
        r["endpoint_cpu"].append(ecpu)
        if baseline:
            r["ratio"].append(rate / baseline)

    for _ in range(a.rounds):
        for size in sizes:
            first = b.curl(size, 1)
            this = {}
            if "curl2" in want:
                this["curl2"] = b.curl(size, 2)
            if "writer" in want:
                this["writer1"] = b.writer(size, "?inflight=1")
                this["writer2"] = b.writer(size, "?inflight=2")
            if "replay" in want:
                this["replay"] = b.replay(size)
            if "doc_id" in want:
                this["doc_id_pointer"] = b.writer(size, "?inflight=1&doc_id=/id")
                this["doc_id_hash"] = b.writer(size, "?inflight=1&doc_id=hash")
            if "metrics" in want:
                this["metrics_off"] = b.writer(size, "?inflight=1")
                port = free_port()
                scraper = Scraper("http://127.0.0.1:%d/metrics" % port)
                scraper.start()
                this["metrics_on"] = b.writer(size, "?inflight=1&metrics_listen=127.0.0.1:%d&metrics_file=%s" % (
                    port, os.path.join(tmp, "es_writer.prom")))
                scraper.stop()
                if scraper.scrapes == 0:
                    raise RuntimeError("the metrics endpoint was never scraped")
            last = b.curl(size, 1)
            base = (first[0] + last[0]) / 2
            add("curl1_%d" % size, first, base)
            add("curl1_%d" % size, last, base)
            for k, v in this.items():
                add("%s_%d" % (k, size), v, base)
            if "curl2" in want:
                for k in ("writer2", "curl2"):
                    if k in this:
                        rows.setdefault("%s_%d" % (k, size), {}).setdefault("ratio_to_curl2", []).append(
                            this[k][0] / this["curl2"][0])
            if "metrics" in want:
                rows.setdefault("metrics_%d" % size, {}).setdefault("on_vs_off", []).append(
                    this["metrics_on"][0] / this["metrics_off"][0])

    results = {"rounds": a.rounds, "sizes": {str(s): SIZES[s] for s in sizes}, "bulk": BULK, "rows": {}}
    for k, r in rows.items():
        results["rows"][k] = {name: median(v) for name, v in r.items() if v}
        results["rows"][k]["all_" + ("ratio" if "ratio" in r else "on_vs_off")] = r.get("ratio", r.get("on_vs_off"))
    if a.py_url and "items429" in want:
        results["items429"] = items429(a, tmp)
    with open(a.out, "w") as f:
        json.dump(results, f)


if __name__ == "__main__":
    main()
