"""What the Python tests share: the sink's rule for which documents an NDJSON event file forwards, event
files made from documents, the plug-in parameters, and running the replay tool."""
import json
import os
import subprocess

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


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
