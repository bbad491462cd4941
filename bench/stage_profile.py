#!/usr/bin/env python3
"""A profile of the whole path by stage: cdc-es-replay --generate into the native bulk endpoint, by the
inclusive cost of the function that is each stage's entry point, less what it calls that belongs to
another stage. Two measures of the same stages:
- instructions per document, under callgrind: repeatable whatever else the machine does, but blind to
  cache misses and to the kernel;
- CPU time per document, from perf's cpu-clock samples with DWARF call stacks (the tool on one core,
  the endpoint on the other): each stage's share of the samples times the process's CPU time per
  document measured without perf in the same script. A sample belongs to the innermost stage entry
  on its stack, so the kernel's sleeps inside a polling loop count as idle polls. Cache misses show
  here and not in the instruction counts.
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
    ("idle polls: decoder workers, Execute, the logger's thread", ["usleep"], []),
    ("logger thread, less its idle polls", ["nanolog::NanoLogger::pop()"], []),
]


def replay_command(build, url, tmp, docs, size):
    param = json.dumps({"log_path": os.path.join(tmp, "log"), "es_url": url, "es_version": "v8",
                        "es_index": "orders", "es_bulknum": "1000"})
    return [os.path.join(build, "cdc-es-replay"), "--param", param, "--generate", str(docs), "--doc-size", str(size),
            "--batch-size", "5000", "--workers", "2", "--quiet"]


def stage_costs(inclusive):
    """Each stage's inclusive cost under callgrind, less what it calls that another stage counts."""
    def cost(prefix):
        return sum(v for k, v in inclusive.items() if k.startswith(prefix) or k.split("'")[0] == prefix)

    # What a stage calls that another stage counts: the writer's calls inside Execute (the replay tool
    # calls them from nowhere else).
    return [(label, sum(cost(e) for e in entries) - sum(cost(m) for m in minus)) for label, entries, minus in STAGES]


def perf_profile(build, docs, size):
    """CPU us per document by stage: shares of perf samples times the process's CPU per document."""
    tmp = tempfile.mkdtemp()
    with native_endpoint(os.path.join(build, "bench", "bulk_endpoint"), cpu=0) as url:
        cmd = replay_command(build, url, tmp, docs, size)
        # The process's own CPU time, without the sampling's overhead: the median of three runs.
        cpu = []
        for _ in range(3):
            before = os.times()
            subprocess.run(["taskset", "-c", "1"] + cmd, check=True, capture_output=True)
            after = os.times()
            cpu.append((after.children_user - before.children_user) + (after.children_system - before.children_system))
        cpu_us_per_doc = sorted(cpu)[1] * 1e6 / docs
        # Three sampled runs, each stage's median share. At 1,000 samples a second into a 4 MiB buffer
        # no sample is lost; at higher rates perf drops some and the stacks it keeps under-count whole
        # stages (seen: 12 % of the samples for the plug-in's own work in one run, 23 % in the next).
        runs = []
        for _ in range(3):
            data = os.path.join(tmp, "perf.data")
            subprocess.run(["taskset", "-c", "1", "perf", "record", "-q", "-e", "cpu-clock", "-F", "1000", "-m", "1024",
                            "--call-graph", "dwarf,16384", "-o", data] + cmd, check=True, capture_output=True)
            runs.append(perf_shares(data))
    lost = sum(r[0] for r in runs)
    if lost:
        print("(perf lost %d samples; the shares below may under-count some stages)" % lost)
    shares = [(label, sorted(r[1][i][1] for r in runs)[1]) for i, (label, _, _) in enumerate(STAGES)]
    return cpu_us_per_doc, shares


def perf_shares(data):
    """(samples perf lost, [(stage, share of the samples in %)]) of one perf.data file.

    Each sample goes to the innermost stage entry point on its stack, so that no sample counts twice:
    the idle polls inside a worker's loop, inside Execute or in the logger's thread are idle polls
    and not decoding, forwarding or logging; reply parsing inside a send is parsing. A frame of a call
    that a stage leaves to another (the writer's commit inside Execute) gives the sample to no stage."""
    stats = subprocess.run(["perf", "report", "-i", data, "--stats"], capture_output=True, text=True).stdout
    lost = max([int(n) for n in re.findall(r"LOST_SAMPLES events:\s+(\d+)", stats)] or [0])
    script = subprocess.run(["perf", "script", "-i", data, "-F", "tid,ip,sym"], check=True, capture_output=True,
                            text=True).stdout
    counts, total = attribute(script)
    return lost, [(label, 100.0 * counts[label] / total if total else 0.0) for label, _, _ in STAGES]


def attribute(script):
    """Samples per stage, and all samples, of `perf script -F tid,ip,sym` output: a sample is a header
    line and its frames, leaf first, with a blank line between samples."""
    owner = {}
    for label, entries, minus in STAGES:
        for e in entries:
            owner[e.split("(")[0]] = label
        for m in minus:
            owner.setdefault(m.split("(")[0], None)
    counts = {label: 0 for label, _, _ in STAGES}
    total = 0
    for sample in script.split("\n\n"):
        lines = sample.strip("\n").splitlines()
        if not lines:
            continue
        total += 1  # a sample whose stack names no stage still took the CPU
        frames = [line.split(None, 1)[1] for line in lines[1:] if len(line.split(None, 1)) == 2]
        for frame in frames:
            name = re.sub(r"\s+\(inlined\)$", "", frame).split("(")[0].strip()
            if name in owner:
                if owner[name] is not None:
                    counts[owner[name]] += 1
                break
    return counts, total


def main(build, docs=200000, size=1024):
    tmp = tempfile.mkdtemp()
    with native_endpoint(os.path.join(build, "bench", "bulk_endpoint")) as url:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] +
                       replay_command(build, url, tmp, docs, size), check=True, capture_output=True)
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

    print("Instructions per document by stage (callgrind, %d documents of %d B, batches of 5000, 2 workers):\n" % (
        docs, size))
    print("| stage | instructions per document | share |")
    print("|---|---|---|")
    for label, c in stage_costs(inclusive):
        print("| %s | %.0f | %.1f %% |" % (label, c / docs, 100.0 * c / total if total else 0))
    print("| everything (the process) | %.0f | 100 %% |" % (total / docs))

    try:
        cpu_us, shares = perf_profile(build, 2 * docs, size)
    except (OSError, subprocess.CalledProcessError) as exc:
        print("\n(no CPU time profile: perf is not usable here: %s)" % exc)
        return
    print("\nCPU time per document by stage (perf cpu-clock samples with call stacks, %d documents of %d B; "
          "the process took %.2f us of CPU per document without perf):\n" % (2 * docs, size, cpu_us))
    print("| stage | CPU us per document | share of the samples |")
    print("|---|---|---|")
    by_label = dict(shares)
    for label, pct in shares:
        print("| %s | %.3f | %.1f %% |" % (label, cpu_us * pct / 100.0, pct))
    own = by_label["decoding (workers)"] + by_label["forwarding (Execute, less the writer)"]
    print("| the plug-in's own work: decoding + forwarding | %.3f | %.1f %% |" % (cpu_us * own / 100.0, own))


if __name__ == "__main__":
    args = sys.argv[1:]
    main(args[0], *(int(a) for a in args[1:]))
