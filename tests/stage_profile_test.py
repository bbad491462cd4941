#!/usr/bin/env python3
"""The whole-path stage profile gives each perf sample to exactly one stage: the innermost stage entry
on its stack. Polling sleeps inside a stage's loop are idle polls, the writer's calls inside Execute
are the writer's, and a sample under a call that no stage claims counts only in the total."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import stage_profile  # noqa: E402
from helpers import run_unittests  # noqa: E402


def sample(*frames):
    return " 4242 \n" + "".join("\t%x %s\n" % (0x1000 + i, f) for i, f in enumerate(frames))


DECODE = "ostrel::ParseEvent::parseWholeFields"
WORKER = ["ostrel::ParserEvWork::work", "ostrel::ParserEvWork::run", "start_thread", "clone3"]
EXECUTE = ["ostrel::CEventEs::executeBatch", "ostrel::CEventEs::Execute", "replay::Pipeline::Deliver", "main"]
SLEEP = ["do_nanosleep", "__GI___nanosleep", "usleep"]


class InnermostStageTest(unittest.TestCase):
    def test_each_sample_counts_once_for_its_innermost_stage(self):
        cases = [
            (sample(DECODE, *WORKER), "decoding (workers)"),
            (sample(*SLEEP, "ostrel::ParserEvWork::run", "start_thread"), "idle polls"),
            (sample(*SLEEP, "ostrel::CEventEs::Execute", "main"), "idle polls"),
            (sample(*SLEEP, "nanolog::NanoLogger::pop", "start_thread"), "idle polls"),
            (sample("ostrel::CEventEs::packBatchMsg", "ostrel::CEventEs::writeEvent", *EXECUTE), "forwarding"),
            (sample("__memcpy_avx512_unaligned_erms (inlined)", "eswriter::Bulk::Add", "write_msg", *EXECUTE),
             "writer: body building"),
            (sample("ostrel::CEventEs::Execute (inlined)", "main"), "forwarding"),
            (sample("eswriter::ClassifyReply", "eswriter::HttpClient::Perform", "start_thread"), "writer: reply"),
            (sample("tcp_sendmsg", "eswriter::HttpClient::Perform", "start_thread"), "writer: sending"),
            (sample("pthread_cond_wait", "need_commit", *EXECUTE), None),
            (sample("_dl_relocate_object", "_dl_start"), None),
        ]
        for text, stage in cases:
            with self.subTest(stage=stage, leaf=text.splitlines()[1]):
                counts, total = stage_profile.attribute(text)
                self.assertEqual(total, 1)
                hit = [label for label, n in counts.items() if n]
                if stage is None:
                    self.assertEqual(hit, [])
                else:
                    self.assertEqual(len(hit), 1, hit)
                    self.assertTrue(hit[0].startswith(stage), hit)

    def test_a_run_of_samples_adds_up(self):
        text = "\n".join([sample(DECODE, *WORKER)] * 3 + [sample(*SLEEP, "ostrel::ParserEvWork::run")] * 2 +
                         [" 4242 \n"])
        counts, total = stage_profile.attribute(text)
        self.assertEqual(total, 6)
        self.assertEqual(counts["decoding (workers)"], 3)
        self.assertEqual(sum(counts.values()), 5)


if __name__ == "__main__":
    run_unittests()
