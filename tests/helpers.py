"""What the Python tests (and the benchmarks) share: starting an endpoint process and talking to the
local test endpoint, the sink's rule for which documents an NDJSON event file forwards, event files made
from documents, the plug-in parameters, and running the replay tool."""
import base64
import json
import os
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENGINE_SH = os.path.join(SOURCE, "scripts", "engine.sh")


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


class Engine:
    """A real engine started by scripts/engine.sh: its nodes' URLs, the administrator's credentials (es8,
    es9), how to read it back, and its nodes, one by one. cafile: the CA to trust when it serves HTTPS."""

    def __init__(self, kind, port_file, args=(), cafile=None):
        self.kind, self.port_file = kind, port_file
        started = time.time()
        p = subprocess.run(["bash", ENGINE_SH, "start", kind, "--port-file", port_file] + list(args),
                           capture_output=True, text=True)
        self.start_s = time.time() - started
        if p.returncode != 0:
            raise RuntimeError("%s did not start: %s" % (kind, p.stderr[-3000:]))
        with open(port_file) as f:
            lines = [line.split() for line in f if line.strip()]
        self.urls = [line[0] for line in lines]
        self.url = self.urls[0]
        self.user, self.password = (lines[0][1], lines[0][2]) if len(lines[0]) == 3 else (None, None)
        self.cafile = cafile
        self.context = ssl.create_default_context(cafile=cafile) if self.url.startswith("https") else None
        self.version = self.get("/_nodes/_local?filter_path=nodes.*.version")["nodes"].popitem()[1]["version"]

    def stop(self):
        subprocess.run(["bash", ENGINE_SH, "stop", "--port-file", self.port_file], capture_output=True)

    def node_kill(self, i, signal="KILL"):
        subprocess.run(["bash", ENGINE_SH, "node-kill", "--port-file", self.port_file, "--signal", signal, str(i)],
                       check=True, capture_output=True)

    def node_signal(self, i, signal):
        subprocess.run(["bash", ENGINE_SH, "node-signal", "--port-file", self.port_file, str(i), signal], check=True,
                       capture_output=True)

    def node_start(self, i):
        subprocess.run(["bash", ENGINE_SH, "node-start", "--port-file", self.port_file, str(i)], check=True,
                       capture_output=True)

    def call(self, method, path, body=None, ndjson=False, auth=True, node=0, timeout=120):
        data = None
        if body is not None:
            data = body.encode() if isinstance(body, str) else json.dumps(body).encode()
        req = urllib.request.Request(self.urls[node] + path, data=data, method=method)
        if data is not None:
            req.add_header("Content-Type", "application/x-ndjson" if ndjson else "application/json")
        if auth and self.user:
            req.add_header("Authorization", "Basic " + base64.b64encode(
                ("%s:%s" % (self.user, self.password)).encode()).decode())
        try:
            with urllib.request.urlopen(req, timeout=timeout, context=self.context) as r:
                return r.status, json.load(r)
        except urllib.error.HTTPError as e:
            return e.code, json.load(e)

    def get(self, path, node=0):
        status, body = self.call("GET", path, node=node)
        assert status == 200, (path, status, body)
        return body

    def put(self, path, body):
        status, reply = self.call("PUT", path, body)
        assert status == 200, (path, status, reply)

    def count(self, index):
        self.call("POST", "/%s/_refresh" % index)
        return self.get("/%s/_count" % index)["count"]

    def sources(self, index, node=0):
        """Every stored document of index: {_id: _source}; a second copy under one _id fails."""
        self.call("POST", "/%s/_refresh" % index, node=node)
        out = {}
        status, page = self.call("POST", "/%s/_search?scroll=1m" % index, {"size": 10000, "sort": ["_doc"]}, node=node)
        assert status == 200, page
        while page["hits"]["hits"]:
            for hit in page["hits"]["hits"]:
                assert hit["_id"] not in out, "a document stored twice under one _id"
                out[hit["_id"]] = hit["_source"]
            status, page = self.call("POST", "/_search/scroll", {"scroll": "1m", "scroll_id": page["_scroll_id"]},
                                     node=node)
            assert status == 200, page
        return out

    def es_url(self, options="", user=None, password=None, all_nodes=False):
        """es_url for the writer: the first node (or every node) with credentials (the administrator's by
        default) and options, trusting cafile over HTTPS."""
        user = user if user is not None else self.user
        password = password if password is not None else self.password
        bases = []
        for url in self.urls if all_nodes else self.urls[:1]:
            if user:
                scheme, rest = url.split("://", 1)
                url = "%s://%s:%s@%s" % (scheme, user, password, rest)
            bases.append(url)
        query = options
        if self.context is not None:
            query = "ca_file=" + self.cafile + ("&" + query if query else "")
        return ",".join(bases) + ("?" + query if query else "")

    def flag(self):
        return "v7" if self.kind in ("opensearch", "es7") else "v8"
