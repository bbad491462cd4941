#!/usr/bin/env python3
"""The writer's metrics as Prometheus sees them: a real server scrapes cdc-es-replay during a replay,
and the example alert rules pass promtool's checks and unit tests."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from helpers import Endpoint, param, run_unittests  # noqa: E402

TOOL = None
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RULES = os.path.join(SOURCE, "examples", "prometheus", "es_writer_alerts.yml")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.status, r.headers.get("Content-Type"), r.read().decode()


class AlertRules(unittest.TestCase):
    def test_rules_pass_promtool(self):
        p = subprocess.run(["promtool", "check", "rules", RULES], capture_output=True, text=True)
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)
        self.assertIn("2 rules found", p.stdout)

    def test_rules_fire_when_they_should(self):
        p = subprocess.run(["promtool", "test", "rules", os.path.join(SOURCE, "tests", "es_writer_alerts_test.yml")],
                           capture_output=True, text=True)
        self.assertEqual(0, p.returncode, p.stdout + p.stderr)


class ScrapedByPrometheus(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.es = Endpoint()
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.es.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start_replay(self, docs, listen):
        # Each bulk waits 100 ms at the endpoint, so that scrapes come while documents go out; the tool
        # keeps serving for a last scrape once they are all in.
        self.es.fault({"delay_next": 1000, "delay_ms": 100})
        p = subprocess.Popen([TOOL, "--param", param(os.path.join(self.tmp, "log"), url=self.es.url),
                              "--generate", str(docs), "--batch-size", "500", "--quiet",
                              "--metrics-listen", listen, "--metrics-hold-ms", "60000"],
                             stderr=subprocess.PIPE, text=True)
        self.procs.append(p)
        line = p.stderr.readline()
        self.assertEqual("cdc-es-replay: metrics at http://%s/metrics\n" % listen, line)
        return p, line.split("metrics at ")[1].strip()

    def start_prometheus(self, target):
        port = free_port()
        config = os.path.join(self.tmp, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "rule_files:\n  - %s\n"
                    "scrape_configs:\n  - job_name: cdc\n    static_configs:\n      - targets: ['%s']\n"
                    % (RULES, target))
        log = open(os.path.join(self.tmp, "prometheus.log"), "w")
        self.addCleanup(log.close)
        p = subprocess.Popen(["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.tmp, "data"),
                              "--web.listen-address=127.0.0.1:%d" % port], stdout=log, stderr=log)
        self.procs.append(p)
        base = "http://127.0.0.1:%d" % port
        deadline = time.time() + 30
        while time.time() < deadline:
            if p.poll() is not None:
                with open(log.name) as f:
                    self.fail("prometheus ended: " + f.read()[-2000:])
            try:
                # Ready, and its first scrape of the target is done (Prometheus takes its targets a few
                # seconds after it starts): from now on it scrapes every second.
                _, _, body = get(base + "/api/v1/targets")
                targets = json.loads(body)["data"]["activeTargets"]
                if targets and targets[0]["health"] != "unknown":
                    return base
            except OSError:
                pass
            time.sleep(0.2)
        self.fail("prometheus did not start scraping")

    def query(self, base, expr):
        _, _, body = get(base + "/api/v1/query?" + urllib.parse.urlencode({"query": expr}))
        data = json.loads(body)
        self.assertEqual("success", data["status"], body)
        return {json.dumps(r["metric"], sort_keys=True): float(r["value"][1]) for r in data["data"]["result"]}

    def test_prometheus_finds_the_replayed_documents(self):
        # Prometheus first, on the port the replay will serve on, so that it scrapes from the start.
        docs = 5000
        listen = "127.0.0.1:%d" % free_port()
        base = self.start_prometheus(listen)
        replay, url = self.start_replay(docs, listen)
        status, ctype, text = get(url)
        self.assertEqual(200, status)
        self.assertEqual("text/plain; version=0.0.4", ctype)

        created, seen_during, started = 0, set(), time.time()
        deadline = time.time() + 60
        while time.time() < deadline and created != docs:
            r = self.query(base, 'es_writer_documents_total{result="created"}')
            if r:
                (created,) = r.values()
                seen_during.add(created)
            time.sleep(0.5)
        self.assertEqual(docs, created, "Prometheus never saw every document")
        self.assertGreater(len(seen_during), 1, "no scrape came while documents were going out: %s in %.1f s" %
                           (sorted(seen_during), time.time() - started))

        up = self.query(base, 'up{job="cdc"}')
        self.assertEqual([1.0], list(up.values()))
        commits = self.query(base, 'es_writer_commits_total{result="ok"}')
        self.assertEqual([docs / 500], list(commits.values()))
        stored = self.es.get("/orders/_count")["count"]
        self.assertEqual(docs, stored)
        info = self.query(base, "es_writer_info")
        (labels,) = info.keys()
        self.assertEqual("orders", json.loads(labels)["index"])
        # The rules load, and the stall alert is quiet while commits succeed.
        _, _, body = get(base + "/api/v1/rules")
        names = [r["name"] for g in json.loads(body)["data"]["groups"] for r in g["rules"]]
        self.assertIn("EsWriterNoSuccessfulCommit", names)
        self.assertEqual({}, self.query(base, 'ALERTS{alertname="EsWriterNoSuccessfulCommit"}'))

        replay.send_signal(signal.SIGTERM)
        replay.wait(10)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    run_unittests()
