#!/usr/bin/env python3
"""Cluster soak: generated documents stream through cdc-es-replay (the plug-in and the writer, given every
node, doc_id=/id) into a real 3-node cluster, an index of 3 shards with one replica each, while nodes
fail: a node the writer talks to is killed (SIGKILL) and started again, later the elected cluster manager
is killed and started again, and at the end every node is restarted, one at a time.

Checks, by reading the cluster back: every document is there exactly once with its content; nothing is
lost, nothing is duplicated. Reports, per fault, how long delivery stalled (the longest wait between two
batches the tool acknowledged while the fault and its recovery lasted) and what the writer's metrics
said meanwhile (retries by reason, the nodes it saw down, documents failed and sent again).

Usage: cluster_soak.py TOOL [--kind opensearch|es8] [--docs N] [--faults one|all|freeze]
(the test command runs 50,000 documents and one kill on OpenSearch; the full soak is 1,000,000, all faults)
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import helpers

TMP = None


def metrics_of(path):
    values = {}
    try:
        with open(path) as f:
            for line in f:
                if line.strip() and not line.startswith("#"):
                    key, value = line.rsplit(" ", 1)
                    values[key] = float(value)
    except (OSError, ValueError):
        pass
    return values


def acks(path):
    """(time, events acknowledged so far) per batch the tool reported done."""
    out = []
    try:
        with open(path) as f:
            for line in f:
                a = json.loads(line)
                out.append((a["time"], a["last_event"] + 1))
    except (OSError, ValueError):
        pass
    return out


class Soak:
    def __init__(self, es, args):
        self.es, self.args = es, args
        self.ack_log = os.path.join(TMP, "ack.ndjson")
        self.metrics_file = os.path.join(TMP, "soak.prom")
        self.faults = []  # (name, started, ended, metrics before, metrics after)
        self.err_file = tempfile.TemporaryFile()  # the tool's standard error (a pipe could fill and stop it)

    def nodes_in_cluster(self, via):
        status, health = self.es.call("GET", "/_cluster/health", node=via, timeout=10)
        return health.get("number_of_nodes", 0) if status == 200 else 0

    def wait_nodes(self, want, via, timeout_s=240):
        deadline = time.time() + timeout_s
        while time.time() < deadline:
            try:
                if self.nodes_in_cluster(via) == want:
                    return
            except OSError:
                pass
            time.sleep(0.5)
        raise RuntimeError("the cluster did not have %d nodes within %d s" % (want, timeout_s))

    def manager(self):
        """The index of the elected cluster manager among the nodes."""
        path = "/_cat/cluster_manager?format=json" if self.es.kind == "opensearch" else "/_cat/master?format=json"
        status, rows = self.es.call("GET", path)
        name = rows[0]["node"]
        return int(name.rsplit("-", 1)[1])

    def wait_progress(self, share):
        want = int(self.args.docs * share)
        while True:
            done = acks(self.ack_log)
            if done and done[-1][1] >= want:
                return
            if self.tool.poll() is not None:
                raise RuntimeError("the replay ended before %d events" % want)
            time.sleep(0.2)

    def fault(self, name, action):
        before = metrics_of(self.metrics_file)
        started = time.time()
        action()
        self.faults.append((name, started, time.time(), before, None))

    def kill_and_restart(self, i, down_s=10):
        self.es.node_kill(i)
        time.sleep(down_s)
        self.es.node_start(i)
        self.wait_nodes(3, via=(i + 1) % 3)

    def freeze(self, i, frozen_s=20):
        """A node that hangs (a long pause): its sockets still take connections, nothing answers."""
        self.es.node_signal(i, "STOP")
        time.sleep(frozen_s)
        self.es.node_signal(i, "CONT")
        self.wait_nodes(3, via=(i + 1) % 3)

    def rolling_restart(self):
        for i in range(3):
            self.es.node_kill(i, "TERM")
            self.wait_nodes(2, via=(i + 1) % 3)
            self.es.node_start(i)
            self.wait_nodes(3, via=(i + 1) % 3)

    def run(self):
        status, reply = self.es.call("PUT", "/soak", {"settings": {"number_of_shards": 3, "number_of_replicas": 1}})
        assert status == 200, reply
        options = ("doc_id=/id&retry_deadline_ms=120000&backoff_ms=100&backoff_max_ms=2000&request_timeout_ms=30000"
                   "&metrics_file=" + self.metrics_file)
        param = helpers.param(os.path.join(TMP, "log"), self.es.flag(), self.es.es_url(options, all_nodes=True), "soak",
                              "500")
        self.tool = subprocess.Popen([self.args.tool, "--param", param, "--generate", str(self.args.docs), "--batch-size",
                                      "2000", "--doc-size", "256", "--ack-log", self.ack_log, "--retries", "20",
                                      "--retry-backoff-ms", "500", "--quiet"], stderr=self.err_file)
        plan = [(0.3, "kill -9 node 0, the first node the writer talks to", lambda: self.kill_and_restart(0))]
        if self.args.faults == "freeze":
            plan = [(0.3, "node 0 frozen for 20 s (SIGSTOP, then SIGCONT)", lambda: self.freeze(0))]
        if self.args.faults == "all":
            plan = [(0.2, plan[0][1], plan[0][2]),
                    (0.45, "kill -9 the elected cluster manager", lambda: self.kill_and_restart(self.manager())),
                    (0.7, "rolling restart of every node", self.rolling_restart)]
        for share, name, action in plan:
            self.wait_progress(share)
            self.fault(name, action)
        self.tool.wait(timeout=3600)
        self.err_file.seek(0)
        err = self.err_file.read().decode(errors="replace")
        assert self.tool.returncode == 0, "the replay failed (exit %d): %s" % (self.tool.returncode, err[-3000:])
        return err

    def report(self):
        done = acks(self.ack_log)
        after_all = metrics_of(self.metrics_file)
        for k, (name, started, ended, before, _) in enumerate(self.faults):
            # Until the next fault (or the end): the longest wait between two acknowledged batches from the
            # fault until 60 s after its recovery, and what the metrics counted meanwhile.
            upto = self.faults[k + 1][1] if k + 1 < len(self.faults) else float("inf")
            after = self.faults[k + 1][3] if k + 1 < len(self.faults) else after_all
            times = [t for t, _ in done if started - 5 <= t <= min(ended + 60, upto)]
            stall = max((b - a for a, b in zip(times, times[1:])), default=0.0)
            delta = {key: after.get(key, 0) - before.get(key, 0) for key in after
                     if key.startswith("es_writer_retries_total") or key.startswith('es_writer_documents_total{result="failed"')}
            said = ", ".join("%s +%d" % (key.split("{", 1)[1].rstrip("}"), v) for key, v in sorted(delta.items()) if v)
            print("fault: %s (%.1f s to recover); longest wait between acknowledged batches %.1f s; metrics since: %s"
                  % (name, ended - started, stall, said or "nothing"), flush=True)

    def check(self):
        self.wait_nodes(3, via=0)
        stored = self.es.sources("soak")
        missing = [i for i in range(self.args.docs) if str(i) not in stored]
        wrong = [k for k, d in stored.items() if d.get("id") != int(k) or len(d.get("payload", "")) != 256 - len(
            '{"id":%s,"payload":""}' % k)]
        extra = len(stored) - (self.args.docs - len(missing))
        print("read back: %d documents, %d missing, %d extra, %d with other content" % (
            len(stored), len(missing), extra, len(wrong)), flush=True)
        assert not missing and not extra and not wrong, (missing[:10], wrong[:10])


def main():
    global TMP
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("tool")
    ap.add_argument("--kind", default="opensearch", choices=["opensearch", "es8", "es9"])
    ap.add_argument("--docs", type=int, default=50000)
    ap.add_argument("--faults", default="one", choices=["one", "all", "freeze"])
    args = ap.parse_args()
    args.tool = os.path.abspath(args.tool)
    TMP = tempfile.mkdtemp(prefix="cluster_soak_")
    os.chmod(TMP, 0o755)
    es = helpers.Engine(args.kind, os.path.join(TMP, "engine.port"), ["--nodes", "3"])
    print("== %s %s, 3 nodes, started in %.1f s; %d documents ==" % (args.kind, es.version, es.start_s, args.docs),
          flush=True)
    soak = Soak(es, args)
    started = time.time()
    try:
        err = soak.run()
        print(err.strip().splitlines()[-1] if err.strip() else "", flush=True)
        soak.report()
        soak.check()
    finally:
        if getattr(soak, "tool", None) is not None and soak.tool.poll() is None:
            soak.tool.kill()
        es.stop()
    print("passed in %.0f s" % (time.time() - started))
    shutil.rmtree(TMP, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
