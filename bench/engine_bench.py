#!/usr/bin/env python3
"""The whole path against the official clients, into the same real engine: one OpenSearch node pinned to
core 0 (scripts/engine.sh), every client on core 1, 256 B and 1 KB documents, rounds interleaved in a
random order after two uncounted warm-up runs of each size, medians.

Rows: the engine's ceiling (curl posting prebuilt bulk bodies of 1,000 documents over 1 and 2
connections, with the writer's filter_path), the writer alone (bench/writer_driver, 1,000 documents a
bulk; once more with audit_rate=0.01) and cdc-es-replay --generate end to end; the official clients' bulk helpers at their defaults and
tuned to our bulk size of 1,000 documents: Python (opensearch-py streaming_bulk and parallel_bulk), Java
(opensearch-java BulkIngester) and Node.js (@opensearch-project/opensearch helpers.bulk).

For each row: documents/s, its ratio to the engine's ceiling in the same round (the faster curl), the
client's CPU µs per document and the engine's CPU µs per document. Client CPU: the writer driver and the
clients count from their first document to their last reply (their start-up is left out, the JVM's
above all); curl and cdc-es-replay count their whole process. Every run starts with an empty index (one
shard, no replica, a refresh every 30 s, the same for all) and must leave exactly the documents it sent.

Usage: engine_bench.py BUILD_DIR [--rounds N] [--docs-256 N] [--docs-1k N] [--out FILE.json]
(BUILD_DIR: a release build with the benchmarks, e.g. build/bench). The clients are installed under
build/engines/clients on first use (PyPI, npm, Maven Central).
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
from helpers import SOURCE, Engine  # noqa: E402
from bench_common import children_cpu, median, write_inputs  # noqa: E402

ENGINE_CPU, CLIENT_CPU = "0", "1"
BULK = 1000
CLIENTS = os.path.join(SOURCE, "build", "engines", "clients")
FILTER = "filter_path=errors,items.*.status,items.*.result,items.*.error"


def install_clients():
    """The official clients, once: a Python virtual environment, a Node.js package, a Java build."""
    py = os.path.join(CLIENTS, "py")
    if not os.path.exists(os.path.join(py, "bin", "python")):
        subprocess.run([sys.executable, "-m", "venv", py], check=True)
        subprocess.run([os.path.join(py, "bin", "pip"), "install", "-q", "opensearch-py==3.2.0"], check=True)
    node = os.path.join(CLIENTS, "node")
    if not os.path.exists(os.path.join(node, "node_modules", "@opensearch-project", "opensearch")):
        os.makedirs(node, exist_ok=True)
        subprocess.run(["npm", "install", "--silent", "--no-audit", "--no-fund", "--prefix", node,
                        "@opensearch-project/opensearch@3.9.0"], check=True)
    java = os.path.join(CLIENTS, "java")
    if not os.path.exists(os.path.join(java, "classpath.txt")):
        subprocess.run(["mvn", "-q", "-B", "-f", os.path.join(SOURCE, "bench", "clients", "java", "pom.xml"),
                        "-Dbench.build.dir=" + java, "compile"], check=True)
    with open(os.path.join(java, "classpath.txt")) as f:
        return {"py": os.path.join(py, "bin", "python"), "node": node,
                "java_cp": os.path.join(java, "classes") + ":" + f.read().strip()}


def proc_cpu(pid):
    """CPU seconds of a process (all its threads)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Bench:
    def __init__(self, es, build, tmp, clients, sizes):
        self.es, self.build, self.tmp, self.clients, self.sizes = es, build, tmp, clients, sizes
        with open(es.port_file + ".state") as f:
            self.engine_pid = json.load(f)["nodes"][0]["pid"]
        self.files = {size: write_inputs(tmp, size, n, BULK) for size, n in sizes.items()}


    def run(self, row, size):
        """One run of a row: (documents/s, client CPU µs/doc, engine CPU µs/doc)."""
        n = self.sizes[size]
        self.es.call("DELETE", "/bench")
        status, reply = self.es.call("PUT", "/bench", {"settings": {"number_of_shards": 1, "number_of_replicas": 0,
                                                                    "refresh_interval": "30s"}})
        assert status == 200, reply
        engine0, cpu0, t0 = proc_cpu(self.engine_pid), children_cpu(), time.time()
        out = getattr(self, row.split(":")[0])(size, n, *row.split(":")[1:])
        wall, client = time.time() - t0, children_cpu() - cpu0
        engine = proc_cpu(self.engine_pid) - engine0
        if out is not None:  # the client measured itself, from its first document to its last reply
            wall, client = out
        got = self.es.count("bench")
        if got != n:
            raise RuntimeError("invalid run of %s: %d documents in the index for %d sent" % (row, got, n))
        return n / wall, client * 1e6 / n, engine * 1e6 / n

    def client(self, argv):
        p = subprocess.run(["taskset", "-c", CLIENT_CPU] + argv, capture_output=True, text=True)
        if p.returncode != 0:
            raise RuntimeError("%s failed: %s" % (argv[0], (p.stdout + p.stderr)[-1500:]))
        return p.stdout

    def curl(self, size, n, connections):
        connections = int(connections)
        procs = []
        for c in range(connections):
            cfg = os.path.join(self.tmp, "curl%d_%d.cfg" % (size, c))
            with open(cfg, "w") as f:
                for k, body in enumerate(self.files[size][1][c::connections]):
                    f.write(("next\n" if k else "") + 'url = "%s/_bulk?%s"\ndata-binary = "@%s"\n'
                            'header = "Content-Type: application/x-ndjson"\nheader = "Expect:"\nsilent\n'
                            'output = "/dev/null"\n' % (self.es.url, FILTER, body))
            procs.append(subprocess.Popen(["taskset", "-c", CLIENT_CPU, "curl", "-K", cfg]))
        if any(p.wait() != 0 for p in procs):
            raise RuntimeError("curl failed")
        return None

    def writer(self, size, n, audit_rate=None):
        url = self.es.url + ("?audit_rate=" + audit_rate if audit_rate else "")
        out = self.client([os.path.join(self.build, "bench", "writer_driver"), url, self.files[size][0],
                           str(BULK), "10000", "v7"])
        return tuple(float(x) for x in out.split()[:2])

    def replay(self, size, n, batch="5000"):
        param = json.dumps({"log_path": os.path.join(self.tmp, "log"), "es_url": self.es.url, "es_version": "v7",
                            "es_index": "bench", "es_bulknum": str(BULK)})
        self.client([os.path.join(self.build, "cdc-es-replay"), "--param", param, "--generate", str(n), "--doc-size",
                     str(size), "--batch-size", batch, "--workers", "2", "--quiet"])
        return None

    def python(self, size, n, mode, *tuned):
        out = self.client([self.clients["py"], os.path.join(SOURCE, "bench", "clients", "py_bulk.py"), self.es.url,
                           "bench", self.files[size][0], mode] + list(tuned))
        return tuple(float(x) for x in out.split()[:2])

    def java(self, size, n, *tuned):
        out = self.client(["java", "-cp", self.clients["java_cp"], "bench.BulkBench", self.es.url, "bench",
                           self.files[size][0]] + list(tuned))
        return tuple(float(x) for x in out.split()[:2])

    def node(self, size, n, *tuned):
        env_path = os.path.join(self.clients["node"], "node_modules")
        argv = ["env", "NODE_PATH=" + env_path, "node", os.path.join(SOURCE, "bench", "clients", "node_bulk.js"),
                self.es.url, "bench", self.files[size][0]] + list(tuned)
        out = self.client(argv)
        return tuple(float(x) for x in out.split()[:2])


ROWS = [
    ("curl:1", "curl, 1 connection (the engine's ceiling)"),
    ("curl:2", "curl, 2 connections (the engine's ceiling)"),
    ("writer", "our writer alone (writer_driver, 1,000 a bulk, 2 in flight)"),
    ("writer:0.01", "our writer alone, auditing 1 % of the documents (audit_rate=0.01)"),
    ("replay", "cdc-es-replay --generate (the whole path), batches of 5,000 events"),
    ("replay:20000", "cdc-es-replay --generate (the whole path), batches of 20,000 events"),
    ("python:streaming", "opensearch-py streaming_bulk, defaults (500 a bulk)"),
    ("python:streaming:1000", "opensearch-py streaming_bulk, 1,000 a bulk"),
    ("python:parallel", "opensearch-py parallel_bulk, defaults (500 a bulk, 4 threads)"),
    ("python:parallel:1000:2", "opensearch-py parallel_bulk, 1,000 a bulk, 2 threads"),
    ("java", "opensearch-java BulkIngester, defaults (1,000 a bulk, 1 in flight)"),
    ("java:1000:2", "opensearch-java BulkIngester, 1,000 a bulk, 2 in flight"),
    ("node", "Node.js client helpers.bulk, defaults (5 MB a bulk, 5 in flight)"),
    ("node:%d:2", "Node.js client helpers.bulk, 1,000 documents a bulk, 2 in flight"),
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("build")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--docs-256", type=int, default=200000)
    ap.add_argument("--docs-1k", type=int, default=100000)
    ap.add_argument("--only", help="rows to run, separated by ';' (e.g. 'curl:2;replay')")
    ap.add_argument("--out")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    clients = install_clients()
    tmp = tempfile.mkdtemp(prefix="engine_bench_")
    os.chmod(tmp, 0o755)
    es = Engine("opensearch", os.path.join(tmp, "engine.port"), ["--cpus", ENGINE_CPU, "--heap", "2g"])
    rows = [r for r in ROWS if not a.only or r[0] in a.only.split(";")]
    sizes = {256: a.docs_256, 1024: a.docs_1k}
    results = {}
    try:
        bench = Bench(es, build, tmp, clients, sizes)
        # The engine's JIT and caches warm up on runs that are not counted.
        for size in sizes:
            for _ in range(2):
                bench.run("curl:2", size)
        for rnd in range(a.rounds):
            for size in sizes:
                order = list(rows)
                random.shuffle(order)
                ceiling = 0.0
                got = {}
                for row, _ in order:
                    name = row % (1100 * size) if "%d" in row else row  # the Node helper flushes by bytes
                    got[row] = bench.run(name, size)
                    if row.startswith("curl"):
                        ceiling = max(ceiling, got[row][0])
                    print("round %d, %d B: %-24s %9.0f docs/s, client %.2f us/doc, engine %.2f us/doc" % (
                        rnd + 1, size, name, *got[row]), flush=True)
                for row, (rate, client, engine) in got.items():
                    results.setdefault((row, size), []).append((rate, rate / ceiling if ceiling else 0, client, engine))
    finally:
        es.stop()
    table = []
    print("\n| client | size | docs/s | against the ceiling | client CPU µs/doc | engine CPU µs/doc |")
    print("|---|---|---|---|---|---|")
    for row, label in rows:
        for size in sizes:
            v = results[(row, size)]
            line = (label, size, median(x[0] for x in v), median(x[1] for x in v), median(x[2] for x in v),
                    median(x[3] for x in v))
            table.append(line)
            print("| %s | %d B | %.0f | %.2f | %.2f | %.2f |" % line)
    if a.out:
        with open(a.out, "w") as f:
            json.dump({"rows": table, "engine": es.version, "rounds": a.rounds, "sizes": sizes}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
