"""What the Python tests (and the benchmarks) share: starting an endpoint process and talking to the
local test endpoint, the sink's rule for which documents an NDJSON event file forwards, event files made
from documents, the plug-in parameters, and running the replay tool."""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def start_endpoint(cmd, timeout_s=10.0):
    """Runs cmd + ["--port-file", FILE]; returns (process, "http://127.0.0.1:PORT") once FILE names the
    port. Raises RuntimeError (with the process stopped) when it does not within timeout_s."""
    port_file = os.path.join(tempfile.mkdtemp(prefix="endpoint_"), "port")
    proc = subprocess.Popen(list(cmd) + ["--port-file", port_file], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.time() + timeout_s
    while time.time() < deadline:
        if os.path.exists(port_file):
            with open(port_file) as f:
                port = f.read().strip()
            if port:
                return proc, "http://127.0.0.1:" + port
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    proc.terminate()
    proc.wait()
    raise RuntimeError("the endpoint %s did not start" % cmd[-1])


class Endpoint:
    """The local es-compatible test endpoint (tests/es_endpoint.py) in a process of its own."""

    def __init__(self, *args):
        self.proc, self.url = start_endpoint([sys.executable, os.path.join(SOURCE, "tests", "es_endpoint.py")] +
                                             list(args))

    def get(self, path):
        with urllib.request.urlopen(self.url + path) as r:
            return json.load(r)

    def fault(self, obj):
        req = urllib.request.Request(self.url + "/_fault", data=json.dumps(obj).encode(), method="POST")
        urllib.request.urlopen(req).read()

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def forwarded_doc_texts(path):
    """The documents the sink forwards for the events of an NDJSON file, in order (the sink's rule: every
    "doc" value of at least two bytes of a row whose last recognised "optype" is 'insert', without its
    first and last byte)."""
    docs = []
    with open(path) as f:
        for line in f:
            if not line.strip() or line.startswith("#"):
                continue
            e = json.loads(line)
            if e["type"] not in ("INSERT", "UPDATE", "DELETE"):
                continue
            cols = e.get("columns", [])
            for row in e.get("rows", []):
                code = 0
                for name, value in zip(cols, row):
                    if name == "optype":
                        code = {"'insert'": 1, "'delete'": 2, "'update'": 3}.get(value, code)
                if code == 1:
                    docs += [value[1:-1] for name, value in zip(cols, row) if name == "doc" and len(value) >= 2]
    return docs


def forwarded_docs(path):
    """How many documents the sink forwards for the events of an NDJSON file."""
    return len(forwarded_doc_texts(path))


def write_events(path, docs, table="orders"):
    """An NDJSON event file with one insert row per document text."""
    with open(path, "w") as f:
        for i, doc in enumerate(docs):
            f.write(json.dumps({"type": "INSERT", "db": "shop", "table": table, "columns": ["id", "optype", "doc"],
                                "column_states": [8, 253, 245], "rows": [[str(i), "'insert'", "'" + doc + "'"]]}) + "\n")
    return path


def param(log_dir, version="v8", url="http://127.0.0.1:9200", index="orders", bulknum="50"):
    return json.dumps({"log_path": log_dir, "es_url": url, "es_version": version, "es_index": index,
                       "es_bulknum": bulknum})


def run_tool(tool, *args, stdin=None, preexec_fn=None, env=None, timeout=600):
    """Runs the replay tool; returns (exit code, standard error)."""
    p = subprocess.run([tool] + list(args), capture_output=True, text=True, timeout=timeout, input=stdin,
                       preexec_fn=preexec_fn, env=env)
    return p.returncode, p.stderr


def run_unittests(**kwargs):
    """unittest.main for a test file, except that a run in which no test ran fails (a filter that matches
    nothing, a file whose tests were all lost, is never a pass)."""
    program = unittest.main(exit=False, **kwargs)
    result = program.result
    if result.testsRun == 0:
        print("no test ran", file=sys.stderr)
        sys.exit(1)
    sys.exit(0 if result.wasSuccessful() else 1)
