#!/usr/bin/env python3
"""A profile of the whole path by stage: cdc-es-replay --generate under callgrind into the native bulk
endpoint, instructions per document of each stage (inclusive cost of the function that is the stage's
entry point, less what it calls that belongs to another stage). Instructions, not seconds: repeatable
whatever else the machine does.
  stage_profile.py BUILD_DIR [DOCS] [DOC_SIZE]"""
import json
import os
import re
import subprocess
import sys
import tempfile

from native_endpoint import native_endpoint

# stage: (functions whose inclusive cost it is, functions inside them that belong to other stages)
STAGES = [
    ("replay tool: generating and encoding events", ["replay::Pipeline::Prepare()"], []),
    ("decoding (workers)", ["ostrel::ParserEvWork::run()"], []),
    ("forwarding (Execute, less the writer)", ["ostrel::CEventEs::Execute("], ["write_msg", "need_commit"]),
    ("writer: body building (write_msg)", ["write_msg"], []),
    ("writer: sending (libcurl, kernel calls)", ["eswriter::HttpClient::Perform("], []),
    ("writer: reply parsing", ["eswriter::ClassifyReply("], []),
    ("idle polls: decoder workers and Execute", ["usleep"], []),
    ("logger thread", ["nanolog::NanoLogger::pop()"], []),
]


def main(build, docs=200000, size=1024):
    tmp = tempfile.mkdtemp()
    with native_endpoint(os.path.join(build, "bench", "bulk_endpoint")) as url:
        param = json.dumps({"log_path": os.path.join(tmp, "log"), "es_url": url, "es_version": "v8",
                            "es_index": "orders", "es_bulknum": "1000"})
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        os.path.join(build, "cdc-es-replay"), "--param", param, "--generate", str(docs),
                        "--doc-size", str(size), "--batch-size", "5000", "--workers", "2", "--quiet"],
                       check=True, capture_output=True)
        ann = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                             check=True, capture_output=True, text=True).stdout
        if os.environ.get("STAGE_PROFILE_DUMP"):
            open(os.environ["STAGE_PROFILE_DUMP"], "w").write(ann)
    inclusive = {}
    total = 0
    for line in ann.splitlines():
        m = re.match(r"\s*([\d,]+) \([ \d.]+%\)\s+(.*?)(?: \[.*\])?$", line)
        if m:
            cost = int(m.group(1).replace(",", ""))
            name = m.group(2)
            name = name[4:] if name.startswith("???:") else re.sub(r"^\S+?\.\w+:(?!:)", "", name)
            inclusive[name] = max(inclusive.get(name, 0), cost)
        m = re.match(r"\s*([\d,]+) \([ \d.]+%\)\s+PROGRAM TOTALS", line)
        if m:
            total = int(m.group(1).replace(",", ""))

    def cost(prefix):
        return sum(v for k, v in inclusive.items() if k.startswith(prefix) or k.split("'")[0] == prefix)

    print("Instructions per document by stage (callgrind, %d documents of %d B, batches of 5000, 2 workers):\n" % (
        docs, size))
    print("| stage | instructions per document | share |")
    print("|---|---|---|")
    for label, entries, minus in STAGES:
        c = sum(cost(e) for e in entries)
        # What the stage calls that another stage counts: the writer's calls inside Execute (the replay
        # tool calls them from nowhere else).
        c -= sum(cost(m) for m in minus)
        print("| %s | %.0f | %.1f %% |" % (label, c / docs, 100.0 * c / total if total else 0))
    print("| everything (the process) | %.0f | 100 %% |" % (total / docs))


if __name__ == "__main__":
    args = sys.argv[1:]
    main(args[0], *(int(a) for a in args[1:]))
