#!/usr/bin/env python3
"""The writer's promises against real engines: OpenSearch, Elasticsearch 7, 8 and 9, each started from
Maven Central by scripts/engine.sh, one after another. Every case drives the whole path (the replay tool,
the plug-in, the writer) and checks by reading the engine back (_count, _mget, _search).

Each engine is started twice: once as it comes, and once under pressure (requests above 1 MB refused
with 413, a write queue of one that rejects items with 429) and, where the engine has security, with TLS
from a CA made here. An engine that does not start is a failure, never skipped.

Usage: real_engine_test.py TOOL [KIND ...]    (KIND: opensearch es7 es8 es9; all by default)
       CASES=audit,preflight real_engine_test.py TOOL es8    (only the cases whose names hold one of the words)
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback

import helpers

KINDS = ["opensearch", "es7", "es8", "es9"]
SECURED = ("es8", "es9")
TOOL = None
TMP = None


class Engine(helpers.Engine):
    """An engine of this suite: started into TMP, trusting the CA made here when it serves HTTPS."""

    def __init__(self, kind, name, args=()):
        super().__init__(kind, os.path.join(TMP, "%s-%s.port" % (kind, name)), args, os.path.join(TMP, "ca.crt"))
        self.name = name


def replay(engine, index, options="", *args, version=None, url=None, bulknum="500", log=None):
    """The replay tool into the engine; returns (exit code, standard error, log directory)."""
    log = log or tempfile.mkdtemp(prefix="log_", dir=TMP)
    p = helpers.param(log, version or engine.flag(), url or engine.es_url(options), index, bulknum)
    code, err = helpers.run_tool(TOOL, "--param", p, "--quiet", "--retries", "0", *args)
    return code, err, log


def events(name, docs):
    return helpers.write_events(os.path.join(TMP, name + ".ndjson"), docs)


def metrics_of(path):
    values = {}
    with open(path) as f:
        for line in f:
            if line and not line.startswith("#"):
                key, value = line.rsplit(" ", 1)
                values[key] = float(value)
    return values


# ---------------------------------------------------------------------------------------------------
# The cases. Each takes the engine; an AssertionError is a failure.

def case_example_data_arrives_exactly(es):
    example = os.path.join(helpers.SOURCE, "examples", "orders.ndjson")
    code, err, _ = replay(es, "orders", "", "--batch-size", "64", "--audit", example)  # ids the engine made
    assert code == 0, err
    assert "audit: 236 documents read back, 0 missing, 0 changed" in err, err
    want = sorted(json.dumps(json.loads(d), sort_keys=True) for d in helpers.forwarded_doc_texts(example))
    got = sorted(json.dumps(s, sort_keys=True) for s in es.sources("orders").values())
    assert got == want, "the stored documents differ from the forwarded ones"


def case_a_hundred_thousand_documents_arrive_once_each(es):
    code, err, _ = replay(es, "generated", "doc_id=/id", "--generate", "100000", "--batch-size", "5000",
                          "--doc-size", "256", "--audit", bulknum="1000")
    assert code == 0, err
    assert "audit: 100000 documents read back, 0 missing, 0 changed" in err, err
    stored = es.sources("generated")
    assert len(stored) == 100000, len(stored)
    for i in range(100000):
        doc = stored.get(str(i))
        assert doc is not None, "document %d is missing" % i
        assert doc["id"] == i and len(doc["payload"]) == 256 - len('{"id":%d,"payload":""}' % i), doc


def writer_log(log):
    return "".join(open(os.path.join(log, n)).read() for n in os.listdir(log) if n.startswith("cdc_es_write"))


def case_the_version_flag_must_fit(es):
    for flag in ("v7", "v8"):
        code, err, log = replay(es, "probe", "", "--generate", "3", version=flag)
        if flag == es.flag():
            assert code == 0, (flag, err)
            # Elasticsearch 9 is served under v8 through its REST compatibility with 8.
            assert ("REST compatibility with 8" in writer_log(log)) == (es.kind == "es9"), writer_log(log)
            continue
        assert code == 4, (flag, err)
        if es.kind == "opensearch":
            want = "runs OpenSearch %s, which speaks the 7 API: use es_version v7" % es.version
        else:
            want = "reports version %s, but es_version is %s" % (es.version, flag)
        assert want in err, (want, err)
    assert es.count("probe") == 3


def case_ids_store_each_document_once(es):
    docs = ['{"id":"a\\"quote","n":1}', '{"id":"caf\\u00e9 \\u20ac","n":2}', '{"id":42,"n":3}',
            '{"id":"slash/and space","n":4}']
    path = events("ids", docs)
    code, err, _ = replay(es, "ids", "doc_id=/id", "--repeat", "2", path)  # every document sent twice
    assert code == 0, err
    stored = es.sources("ids")
    want = {str(json.loads(d)["id"]): json.loads(d) for d in docs}
    assert stored == want, stored
    # hash: byte for byte the same document is one document, one byte more is another
    path = events("hash", ['{"n":1}', '{"n":1}', '{"n":1 }'])
    code, err, _ = replay(es, "hashed", "doc_id=hash", "--repeat", "2", path)
    assert code == 0, err
    assert es.count("hashed") == 2


def case_create_counts_a_conflict_as_delivered(es):
    path = events("create", ['{"id":%d}' % i for i in range(50)])
    for run in range(2):
        mf = os.path.join(TMP, "create%d.prom" % run)
        code, err, _ = replay(es, "created", "doc_id=/id&op_type=create&metrics_file=" + mf, path)
        assert code == 0, (run, err)
        m = metrics_of(mf)
        present = m.get('es_writer_documents_total{result="already_present"}', 0)
        assert present == (50 if run else 0), (run, present)
    assert es.count("created") == 50


def case_a_data_stream_takes_create(es):
    es.put("/_index_template/cdc-stream", {"index_patterns": ["logs-cdc*"], "data_stream": {},
                                           "template": {"settings": {"number_of_replicas": 0}}})
    path = events("stream", ['{"@timestamp":"2026-12-01T00:00:%02dZ","n":%d}' % (i, i) for i in range(30)])
    code, err, _ = replay(es, "logs-cdc", "op_type=create", path)
    assert code == 0, err
    assert es.count("logs-cdc") == 30
    # index is refused for every document: the settings are at fault, nothing is set aside
    code, err, log = replay(es, "logs-cdc", "op_type=index&on_malformed=deadletter", path)
    assert code == 4 and "only write ops with an op_type of create are allowed in data streams" in err, err
    assert not [n for n in os.listdir(log) if "deadletter" in n], "documents were set aside for a settings error"


def case_a_pipeline_changes_the_stored_document(es):
    es.put("/_ingest/pipeline/cdc-enrich", {"processors": [{"set": {"field": "enriched", "value": True}},
                                                           {"script": {"source": "ctx.n2 = ctx.n * 2"}}]})
    path = events("piped", ['{"id":%d,"n":%d}' % (i, i) for i in range(20)])
    code, err, _ = replay(es, "piped", "doc_id=/id&pipeline=cdc-enrich", path)
    assert code == 0, err
    stored = es.sources("piped")
    assert len(stored) == 20 and all(d["enriched"] is True and d["n2"] == 2 * d["n"] for d in stored.values()), stored


def case_the_preflight_refuses_what_would_fail(es):
    """A missing pipeline and a write block refuse the start; without the preflight the engine's item errors
    fail the commit and never set a document aside."""
    path = events("nopipe", ['{"n":%d}' % i for i in range(5)])
    code, err, _ = replay(es, "nopipe", "pipeline=no-such-pipeline", path)
    assert code == 4 and "ingest pipeline no-such-pipeline does not exist" in err, err
    code, err, log = replay(es, "nopipe", "pipeline=no-such-pipeline&on_malformed=deadletter&preflight=off", path)
    assert code == 4 and "pipeline with id [no-such-pipeline] does not exist" in err, err
    assert not [n for n in os.listdir(log) if "deadletter" in n], "documents were set aside for a settings error"
    es.put("/blocked", {"settings": {"number_of_replicas": 0}})
    es.put("/blocked/_settings", {"index.blocks.write": True})
    code, err, _ = replay(es, "blocked", "", path)
    assert code == 4 and "index blocked is write-blocked (index.blocks.write=true)" in err, err
    assert es.count("blocked") == 0


def case_the_audit_finds_what_is_missing_or_changed(es):
    """Documents deleted or overwritten behind the writer's back, after their acknowledgement and before the
    audit reads them, are reported: one missing, one changed, and the replay exits 6."""
    path = events("audited", ['{"id":%d,"n":%d}' % (i, i) for i in range(200)])
    done = threading.Event()

    def tamper():  # once the last document is there (a bulk is written item by item), so is the whole bulk
        while not done.is_set():
            status, _ = es.call("GET", "/audited/_doc/199")
            if status == 200:
                break
            time.sleep(0.02)
        es.call("DELETE", "/audited/_doc/5")
        es.put("/audited/_doc/7", {"id": 7, "n": 700})

    t = threading.Thread(target=tamper)
    t.start()
    try:
        code, err, log = replay(es, "audited", "doc_id=/id&audit_delay_ms=4000", "--audit", path)
    finally:
        done.set()
        t.join()
    assert code == 6 and "audit: 200 documents read back, 1 missing, 1 changed" in err, err
    said = writer_log(log)
    assert "audit: document 5 of index audited is missing" in said, said
    assert "audit: document 7 of index audited has changed since it was sent" in said, said


def case_a_strict_mapping_refuses_documents(es):
    es.put("/strict", {"mappings": {"dynamic": "strict", "properties": {"id": {"type": "long"}, "ok": {"type": "boolean"}}}})
    good = ['{"id":%d,"ok":true}' % i for i in range(10)]
    bad = ['{"id":%d,"unknown":"field"}' % i for i in range(10, 13)]
    path = events("strict", good[:5] + bad[:1] + good[5:] + bad[1:])
    code, err, _ = replay(es, "strict", "doc_id=/id", path)
    assert code == 4 and "3 of 13 documents refused" in err and "dynamic introduction of [unknown]" in err, err
    code, err, log = replay(es, "strict", "doc_id=/id&on_malformed=deadletter", path)
    assert code == 0, err
    dead = [json.loads(line) for n in os.listdir(log) if "deadletter" in n for line in open(os.path.join(log, n))]
    assert sorted(d["document"] for d in dead) == sorted(bad), dead
    assert sorted(es.sources("strict")) == sorted(str(i) for i in range(10))


def case_gzip_and_the_metrics_agree_with_the_engine(es):
    mf = os.path.join(TMP, "gzip.prom")
    code, err, _ = replay(es, "zipped", "gzip=1&metrics_file=" + mf, "--generate", "5000", "--batch-size", "1000")
    assert code == 0, err
    m = metrics_of(mf)
    created = m['es_writer_documents_total{result="created"}']
    assert created == es.count("zipped") == 5000, created
    assert m['es_writer_bulk_bytes_total{stage="sent"}'] < m['es_writer_bulk_bytes_total{stage="body"}'] / 3, m


def case_wrong_password_and_missing_rights_are_clear(es):
    code, err, _ = replay(es, "auth", "", "--generate", "3", url=es.es_url(password="Wrong/Password"))
    assert code == 4 and "authentication failed (HTTP 401)" in err, err
    assert "Wrong" not in err, err
    reader = es.es_url(user="reader", password="Reader/Pass")
    code, err, _ = replay(es, "auth", "", "--generate", "3", url=reader)
    assert code == 4 and "the user reader has no index right on index auth" in err, err
    code, err, _ = replay(es, "auth", "", "--generate", "3",
                          url=es.es_url("preflight=off", user="reader", password="Reader/Pass"))
    assert code == 4 and "security_exception" in err and "unauthorized" in err, err
    assert "Reader/Pass" not in err and "Pass" not in err.replace("Passing", ""), err
    # A user who may write and read nothing else: what it may not read is not checked, and the start goes on.
    code, err, log = replay(es, "auth", "", "--generate", "3", url=es.es_url(user="writer", password="Writer/Pass"))
    assert code == 0 and es.count("auth") == 3, err
    said = writer_log(log)
    assert "preflight: not checked: the write block of index auth (HTTP 403)" in said, said


# Cases under pressure (and TLS where the engine has security).

def case_too_large_requests_are_split(es):
    code, err, log = replay(es, "split", "doc_id=/id", "--generate", "20000", "--batch-size", "5000",
                            "--doc-size", "1024", bulknum="5000")
    assert code == 0, err
    assert es.count("split") == 20000
    assert "HTTP 413 (request too large)" in writer_log(log), "no request was too large: the case tested nothing"


def case_rejected_items_arrive_once(es):
    es.put("/pressed", {"settings": {"number_of_shards": 8, "number_of_replicas": 0}})
    mf = os.path.join(TMP, "pressed.prom")
    code, err, _ = replay(es, "pressed", "doc_id=/id&inflight=4&bulk_bytes=500000&backoff_ms=50&metrics_file=" + mf,
                          "--generate", "40000", "--batch-size", "10000", bulknum="2000")
    assert code == 0, err
    stored = es.sources("pressed")
    assert sorted(int(k) for k in stored) == list(range(40000))
    assert metrics_of(mf).get('es_writer_retries_total{reason="items_429"}', 0) > 0, "no item was rejected"


def case_a_wrong_certificate_authority_is_refused(es):
    other = os.path.join(TMP, "other-ca.crt")
    url = es.es_url().replace("ca_file=" + os.path.join(TMP, "ca.crt"), "ca_file=" + other)
    code, err, _ = replay(es, "tls", "", "--generate", "3", url=url)
    assert code == 4 and "cannot connect" in err and "certificate" in err.lower(), err
    assert es.password not in err


MAIN_CASES = [
    (case_example_data_arrives_exactly, KINDS),
    (case_a_hundred_thousand_documents_arrive_once_each, KINDS),
    (case_the_version_flag_must_fit, KINDS),
    (case_ids_store_each_document_once, KINDS),
    (case_create_counts_a_conflict_as_delivered, KINDS),
    (case_a_data_stream_takes_create, SECURED),
    (case_a_pipeline_changes_the_stored_document, ["opensearch"]),
    (case_the_preflight_refuses_what_would_fail, KINDS),
    (case_the_audit_finds_what_is_missing_or_changed, KINDS),
    (case_a_strict_mapping_refuses_documents, KINDS),
    (case_gzip_and_the_metrics_agree_with_the_engine, KINDS),
    (case_wrong_password_and_missing_rights_are_clear, SECURED),
]
PRESSED_CASES = [
    (case_too_large_requests_are_split, KINDS),
    (case_rejected_items_arrive_once, KINDS),
    (case_a_wrong_certificate_authority_is_refused, SECURED),
]


def make_certificates():
    """A CA of this run, the node's certificate for 127.0.0.1 signed by it, and an unrelated CA."""
    def ssl_cmd(*args):
        subprocess.run(["openssl"] + list(args), cwd=TMP, check=True, capture_output=True)
    ssl_cmd("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
            "-subj", "/CN=cdc test CA")
    ssl_cmd("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "other-ca.key", "-out", "other-ca.crt",
            "-days", "2", "-subj", "/CN=cdc other CA")
    ssl_cmd("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "node.key", "-out", "node.csr", "-subj", "/CN=127.0.0.1")
    with open(os.path.join(TMP, "node.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n")
    ssl_cmd("x509", "-req", "-in", "node.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial", "-out",
            "node.crt", "-days", "2", "-extfile", "node.ext")
    # A role that may look at the cluster and read, never write: the user "reader" has it.
    with open(os.path.join(TMP, "roles.yml"), "w") as f:
        f.write("cdc_reader:\n  cluster: [monitor]\n  indices:\n    - names: ['*']\n      privileges: [read]\n")
        # ... and one that may write, nothing more: the user "writer" has it.
        f.write("cdc_writer:\n  indices:\n    - names: ['*']\n      privileges: [write, create_index]\n")


def run_engine(kind, results):
    for name, cases, args in (
            ("main", MAIN_CASES, ["--config-file", os.path.join(TMP, "roles.yml"), "--user",
                                  "reader:Reader/Pass:cdc_reader",
                                  "--user", "writer:Writer/Pass:cdc_writer"] if kind in SECURED else []),
            ("pressed", PRESSED_CASES, ["--setting", "http.max_content_length=1mb", "--setting",
                                        "thread_pool.write.queue_size=1"] +
             (["--setting", "xpack.security.http.ssl.enabled=true", "--setting",
               "xpack.security.http.ssl.certificate=node.crt", "--setting", "xpack.security.http.ssl.key=node.key",
               "--config-file", os.path.join(TMP, "node.crt"), "--config-file", os.path.join(TMP, "node.key")]
              if kind in SECURED else []))):
        try:
            es = Engine(kind, name, args)
        except Exception as e:  # an engine that does not start is reported, and fails the suite
            results.append((kind, name, "-", 0, "engine did not start", str(e)))
            print("FAIL %s (%s): %s" % (kind, name, e), flush=True)
            continue
        print("== %s %s (%s): started in %.1f s" % (kind, es.version, name, es.start_s), flush=True)
        try:
            only = [w for w in os.environ.get("CASES", "").split(",") if w]
            for case, kinds in cases:
                if kind not in kinds or (only and not any(w in case.__name__ for w in only)):
                    continue
                started = time.time()
                try:
                    case(es)
                    verdict, detail = "ok", ""
                except Exception:
                    verdict, detail = "FAIL", traceback.format_exc()[-3000:]
                results.append((kind, es.version, case.__name__[5:], time.time() - started, verdict, detail))
                print("%-4s %s %s (%.1f s)%s" % (verdict, kind, case.__name__[5:], time.time() - started,
                                                 "\n" + detail if detail else ""), flush=True)
        finally:
            es.stop()


def main():
    global TOOL, TMP
    TOOL = os.path.abspath(sys.argv[1])
    kinds = sys.argv[2:] or KINDS
    TMP = tempfile.mkdtemp(prefix="real_engines_")
    os.chmod(TMP, 0o755)  # the nodes run as another user and read the files handed to them
    make_certificates()
    results = []
    for kind in kinds:
        run_engine(kind, results)
    failed = [r for r in results if r[4] != "ok"]
    print("\n%d cases passed, %d failed" % (len(results) - len(failed), len(failed)))
    shutil.rmtree(TMP, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
