#!/usr/bin/env python3
"""Runs cdc-es-replay as a user would, against the local test endpoint."""
import json
import os
import sys
import tempfile
import unittest

from helpers import Endpoint, SOURCE, forwarded_docs, param, run_tool, run_unittests

TOOL = None


def run(*args, stdin=None, preexec_fn=None, env=None):
    return run_tool(TOOL, *args, stdin=stdin, preexec_fn=preexec_fn, env=env, timeout=300)


class WithEndpoint(unittest.TestCase):
    """A local endpoint, a temporary directory and a log directory in it, per test."""

    def setUp(self):
        self.es = Endpoint()
        self.tmp = tempfile.mkdtemp()
        self.log = os.path.join(self.tmp, "log")

    def tearDown(self):
        self.es.stop()


class ReplayToolTest(WithEndpoint):
    def test_example_replay_arrives_in_full(self):
        example = os.path.join(SOURCE, "examples", "orders.ndjson")
        code, err = run("--param-file", os.path.join(SOURCE, "examples", "param-local.json"), "--es-url", self.es.url,
                        "--log-path", self.log, "--workers", "3", "--batch-size", "40", "--chunk-size", "64", example)
        self.assertEqual(0, code, err)
        want = forwarded_docs(example)
        self.assertGreater(want, 100)
        self.assertEqual(want, self.es.get("/orders/_count")["count"])
        self.assertIn("cdc-es-replay: done: events 331", err)
        self.assertTrue(any(n.startswith("replay-event_es-1.") for n in os.listdir(self.log)), "--log-path is used")

    def test_examples_never_log_into_a_shared_fixed_path(self):
        # A fixed path in a world-writable directory lets another user plant a link there.
        with open(os.path.join(SOURCE, "examples", "param-local.json")) as f:
            log_path = json.load(f)["log_path"]
        self.assertFalse(os.path.isabs(log_path), log_path)
        with open(os.path.join(SOURCE, "scripts", "demo.sh")) as f:
            demo = f.read()
        self.assertNotIn("/tmp/cdc-es-replay/", demo)
        self.assertIn('--log-path "$work/log"', demo)

    def test_generated_rows_and_repeat(self):
        code, err = run("--param", param(self.log, url=self.es.url), "--generate", "500", "--repeat", "3",
                        "--doc-size", "300", "--quiet")
        self.assertEqual(0, code, err)
        self.assertEqual(1500, self.es.get("/orders/_count")["count"])
        self.assertIn("documents 1500", err)

    def test_many_small_batches_arrive_in_input_order(self):
        # Consecutive batches go through different decoders; the documents must still arrive in order.
        code, err = run("--param", param(self.log, url=self.es.url), "--generate", "700", "--batch-size", "25",
                        "--workers", "2", "--chunk-size", "64", "--doc-size", "60", "--quiet")
        self.assertEqual(0, code, err)
        docs = self.es.get("/orders/_raw")["docs"]
        self.assertEqual(list(range(700)), [json.loads(d)["id"] for d in docs])

    def test_unreadable_input_file_stops_the_replay_after_the_files_before_it(self):
        path = os.path.join(self.tmp, "good.ndjson")
        with open(path, "w") as f:
            f.write('{"type":"INSERT","columns":["optype","doc"],"rows":[["\'insert\'","\'{}\'"]]}\n' * 4)
        code, err = run("--param", param(self.log, url=self.es.url), "--batch-size", "2", path,
                        os.path.join(self.tmp, "missing.ndjson"))
        self.assertEqual(3, code, err)
        self.assertIn("cannot read " + os.path.join(self.tmp, "missing.ndjson"), err)
        self.assertEqual(4, self.es.get("/orders/_count")["count"])

    def test_bad_input_line_is_reported_and_its_batch_not_sent(self):
        path = os.path.join(self.tmp, "bad.ndjson")
        good = '{"type":"INSERT","columns":["optype","doc"],"rows":[["\'insert\'","\'{}\'"]]}\n'
        with open(path, "w") as f:
            f.write(good * 3)
            f.write('{"type":"INSERT","columns":["optype","doc"],"rows":[["\'insert\'"]]}\n')
            f.write('{"type":"INSERT", oops}\n')
        code, err = run("--param", param(self.log, url=self.es.url), "--batch-size", "2", path)
        self.assertEqual(3, code, err)
        bad = '{"type":"INSERT","columns":["optype","doc"],"rows":[["\'insert\'"]]}'
        self.assertIn(path + ":4:%d: \"rows\" row 0 has 1 values for 2 columns" % (bad.index('"rows":') + 8), err)
        self.assertIn("nothing of that batch was sent", err)
        self.assertEqual(2, self.es.get("/orders/_count")["count"])  # the first batch only
        with open(path, "w") as f:
            f.write('{"type":"INSERT", oops}\n')
        code, err = run("--param", param(self.log, url=self.es.url), path)
        self.assertEqual(3, code, err)
        self.assertIn(":1:19: Missing a name for object member.", err)
        with open(path, "w") as f:
            f.write('{"type":"MERGE"}\n')
        code, err = run("--param", param(self.log, url=self.es.url), path)
        self.assertEqual(3, code, err)
        self.assertIn('unknown event type "MERGE"', err)

    def test_missing_plugin(self):
        code, err = run("--plugin", "/no/such/libevent_es.so", "--param", param(self.log), "--generate", "1")
        self.assertEqual(4, code)
        self.assertIn("cannot load the plug-in /no/such/libevent_es.so", err)

    def test_bad_parameters_and_versions(self):
        code, err = run("--param", "{not json", "--generate", "1")
        self.assertEqual(4, code)
        self.assertIn("Init failed: parse param {not json failed: ", err)
        self.assertIn("the parameter text is not valid JSON: Missing a name for object member. (column 2)", err)
        code, err = run("--param", param(self.log, version="v9", url=self.es.url), "--generate", "1")
        self.assertEqual(4, code)
        self.assertIn("Init failed: es version: v9 is not support, please check", err)

    def test_wrong_address_fails_with_the_writers_text(self):
        code, err = run("--param", param(self.log, url="http://127.0.0.1:1"), "--generate", "1")
        self.assertEqual(4, code)
        self.assertIn("Init failed: initialize es writer failed node http://127.0.0.1:1: cannot connect", err)

    def test_usage_errors(self):
        for args in (["--generate", "1"], ["--param", "{}"], ["--param", "{}", "--workers", "0", "--generate", "1"],
                     ["--param", "{}", "--bogus"], ["--param", "{}", "--generate", "1", "file.ndjson"]):
            code, err = run(*args)
            self.assertEqual(2, code, args)
            self.assertIn("usage:", err)

    def test_failed_batch_is_sent_again(self):
        self.es.fault({"fail_next": 1, "fail_status": 400})
        code, err = run("--param", param(self.log, url=self.es.url), "--generate", "120", "--batch-size", "60",
                        "--retry-backoff-ms", "10")
        self.assertEqual(0, code, err)
        self.assertIn("batch 1 failed (attempt 1 of 6): commit msg failed: bulk request to node", err)
        self.assertGreaterEqual(self.es.get("/orders/_count")["count"], 120)



GOOD_LINE = '{"type":"INSERT","columns":["optype","doc"],"rows":[["\'insert\'","\'{}\'"]]}\n'


class ReplayToolMisuseTest(WithEndpoint):
    """What a careless operator or a broken machine can do to the tool: each a clear error and exit code."""

    def test_standard_input_is_read_for_a_dash(self):
        code, err = run("--param", param(self.log, url=self.es.url), "-", stdin=GOOD_LINE * 7)
        self.assertEqual(0, code, err)
        self.assertEqual(7, self.es.get("/orders/_count")["count"])

    def test_a_directory_as_input_is_an_error(self):
        code, err = run("--param", param(self.log, url=self.es.url), self.tmp)
        self.assertEqual(3, code, err)
        self.assertIn("cannot read " + self.tmp + ": is a directory", err)

    def test_a_read_error_is_not_the_end_of_the_input(self):
        # A line that cannot be read (here: a read error from /proc, as a failing disk or a line too large
        # for memory gives) stops the replay with its position instead of ending it quietly with 0.
        path = os.path.join(self.tmp, "lines.ndjson")
        with open(path, "w") as f:
            f.write(GOOD_LINE * 3)
        code, err = run("--param", param(self.log, url=self.es.url), "--batch-size", "3", path, "/proc/self/mem")
        self.assertEqual(3, code, err)
        self.assertIn("cannot read /proc/self/mem:1: cannot read the line", err)
        self.assertEqual(3, self.es.get("/orders/_count")["count"])

    def test_deeply_nested_parameter_file_is_refused_not_a_crash(self):
        path = os.path.join(self.tmp, "param.json")
        with open(path, "w") as f:
            f.write("[" * 300000)
        code, err = run("--param-file", path, "--generate", "1")
        self.assertEqual(4, code, err)
        self.assertIn("Init failed: parse param", err)

    def test_a_nul_byte_is_bad_input_not_the_end_of_the_line(self):
        path = os.path.join(self.tmp, "nul.ndjson")
        with open(path, "w") as f:
            f.write(GOOD_LINE * 2)
            f.write(GOOD_LINE[:-1] + "\0" + GOOD_LINE)  # a second event hidden behind the NUL
        code, err = run("--param", param(self.log, url=self.es.url), path)
        self.assertEqual(3, code, err)
        self.assertIn(path + ":3:%d: a NUL byte, which JSON does not allow" % len(GOOD_LINE), err)
        self.assertEqual(0, self.es.get("/orders/_count")["count"])

    @unittest.skipIf(os.environ.get("EVENT_ES_SANITIZE"), "a sanitizer's runtime cannot start under an address-space limit")
    def test_running_out_of_memory_on_a_long_line_is_the_tools_failure(self):
        import resource
        path = os.path.join(self.tmp, "long.ndjson")
        doc = "x" * (60 << 20)
        with open(path, "w") as f:
            f.write(GOOD_LINE)  # its own batch: the decoder has it while the long line is read
            f.write(GOOD_LINE.replace("{}", '{\\"a\\":\\"%s\\"}' % doc))
        for limit_mb in (300, 500):  # out of memory while reading the line, then while parsing it
            def limited():
                resource.setrlimit(resource.RLIMIT_AS, (limit_mb << 20, limit_mb << 20))
            code, err = run("--param", param(self.log, url=self.es.url), "--batch-size", "1", path, preexec_fn=limited)
            self.assertEqual(5, code, (limit_mb, err))
            self.assertIn("cdc-es-replay: out of memory", err)
        # Each run stops before its first batch is sent (the next one is read ahead of it).
        self.assertEqual(0, self.es.get("/orders/_count")["count"])

    def test_huge_sizes_are_usage_errors(self):
        for args in (["--doc-size", "99999999999"], ["--generate", "9000000000000000", "--repeat", "1000"]):
            code, err = run("--param", param(self.log, url=self.es.url), "--generate", "1", *args)
            self.assertEqual(2, code, (args, err))
            self.assertIn("is at most", err)

    def test_ack_log_that_cannot_be_written_fails_the_run(self):
        code, err = run("--param", param(self.log, url=self.es.url), "--generate", "10", "--ack-log", "/dev/full")
        self.assertEqual(5, code, err)
        self.assertIn("cannot write the ack log /dev/full (No space left on device)", err)

    def test_log_path_that_is_a_file_and_log_name_outside_it(self):
        path = os.path.join(self.tmp, "afile")
        with open(path, "w") as f:
            f.write("x")
        code, err = run("--param", param(path, url=self.es.url), "--generate", "1")
        self.assertEqual(2, code, err)
        self.assertIn('log_path "%s" is not a directory' % path, err)
        p = json.loads(param(self.log, url=self.es.url))
        p["log_name"] = "../escaped"
        code, err = run("--param", json.dumps(p), "--generate", "1")
        self.assertEqual(2, code, err)
        self.assertIn('log_name "../escaped" must be a file name inside log_path', err)
        self.assertFalse(os.path.exists(os.path.join(self.tmp, "escaped")))

    def test_out_of_file_descriptors_is_named_as_such(self):
        import resource

        def few_descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (6, 6))

        # The undefined-behaviour sanitizer checks that a vtable is readable through a pipe; with no
        # descriptor left that probe fails and it reports sound objects as having an invalid vptr. Here
        # such reports go on instead of ending the run, and any other report still fails the test. The
        # text of such a report is demangled into buffers the runtime never frees, so leaks are not
        # looked for in this one run.
        env = dict(os.environ)
        env["UBSAN_OPTIONS"] = env.get("UBSAN_OPTIONS", "") + ":halt_on_error=0"
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        code, err = run("--param", param(self.log, url=self.es.url), "--generate", "1", preexec_fn=few_descriptors,
                        env=env)
        reports = [line for line in err.splitlines() if "runtime error:" in line]
        # The note names what the failed probe saw: a whole object or a base class subobject.
        vptr_notes = (err.count("note: object has invalid vptr") + err.count("note: object is of type") +
                      err.count("note: object is base class subobject"))
        self.assertEqual(len(reports), vptr_notes, err)
        self.assertEqual(4, code, err)
        self.assertIn("out of file descriptors", err)
        self.assertNotIn("Couldn't connect to server", err)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    run_unittests()
