#!/usr/bin/env python3
"""Turns the benchmark outputs of scripts/bench.sh into one Markdown table set with ratios."""
import json
import os
import platform
import subprocess
import sys
import time

SHAPES = ["narrow insert (10 cols x 1 row)", "doc insert (4 KB doc)", "update (100 rows x 6 cols)", "DDL"]


def load(path):
    """Benchmarks by name; of a benchmark run in repetitions, the median."""
    with open(path) as f:
        benchmarks = json.load(f)["benchmarks"]
    out = {b["name"]: b for b in benchmarks if b.get("run_type") != "aggregate"}
    out.update({b["run_name"]: b for b in benchmarks if b.get("aggregate_name") == "median"})
    return out


def ns(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b["real_time"] * scale


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%s, %d cores, Linux %s, %s" % (model, os.cpu_count(), platform.release(),
                                          time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()))


def main(out):
    d = load(os.path.join(out, "decode.json"))
    p = load(os.path.join(out, "parallel.json"))
    f = load(os.path.join(out, "forward.json"))
    net = json.load(open(os.path.join(out, "network.json")))
    print("# Benchmark results\n")
    print("Machine: %s. Every figure is paired with a baseline measured in the same run.\n" % machine())

    print("## Decoding one block (GetEventFromBlock, one ParseEvent)\n")
    print("memcpy copies the event's field stream from where the decoder reads it (a single-chunk block) into a "
          "64-byte-aligned buffer; between two heap buffers its time swings by up to half with their alignment. "
          "Each figure is the median of 5 repetitions interleaved at random.\n")
    print("| event | chunk payload | ns/event | ns/field | events/s | stream MB/s | naive ns/event | memcpy ns/event | "
          "naive / ours | memcpy / ours |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for shape in range(4):
        mem = d["BM_Memcpy/%d/0" % shape]
        for chunk in (0, 4096, 64):
            o = d["BM_Decode/%d/%d" % (shape, chunk)]
            n = d["BM_NaiveDecode/%d/%d" % (shape, chunk)]
            print("| %s | %s | %.0f | %.2f | %.0f | %.0f | %.0f | %.1f | %.2f | %.3f |" % (
                SHAPES[shape], "single chunk" if chunk == 0 else "%d B" % chunk, ns(o), ns(o) / o["fields"],
                o["items_per_second"], o["bytes_per_second"] / 1e6, ns(n), ns(mem), ns(n) / ns(o), ns(mem) / ns(o)))
    print("\nColumn sweep (one row of 16-byte values, single chunk):\n")
    print("| columns | fields | ns/event | ns/field | memcpy ns | memcpy / ours |")
    print("|---|---|---|---|---|---|")
    c = 1
    while c <= 512:
        o = d["BM_DecodeColumns/%d" % c]
        m = d["BM_MemcpyColumns/%d" % c]
        print("| %d | %d | %.0f | %.2f | %.1f | %.3f |" % (c, o["fields"], ns(o), ns(o) / o["fields"], ns(m), ns(m) / ns(o)))
        c *= 2

    print("\n## Parallel decoding (medians of 3 repetitions)\n")
    print("| blocks | workers | wall ms (Parse to all ready) | busiest worker CPU ms | all workers CPU ms | "
          "all workers CPU us per block |")
    print("|---|---|---|---|---|---|")
    rows, docs = {}, {}
    for name, b in p.items():
        parts = name.split("/")
        (docs if parts[0] == "BM_ParallelDecodeDocs" else rows)[(int(parts[2]), int(parts[1]))] = b
    for label, table in (("narrow inserts, 4 KB chunks", rows), ("1 KB document inserts, one chunk", docs)):
        for (n, w), b in sorted(table.items(), key=lambda item: (-item[0][0], item[0][1])):
            print("| %d %s | %d | %.1f | %.1f | %.1f | %.3f |" % (
                n, label, w, b["wall_ms"], b["busiest_worker_cpu_ms"], b["all_workers_cpu_ms"],
                b["all_workers_cpu_ms"] * 1e3 / n))
    big1, big2 = rows[(100000, 1)], rows[(100000, 2)]
    print("\n2 workers against 1 on 100,000 blocks: %.2fx by the busiest worker's CPU time, %.2fx by wall time. "
          "A batch of 100 blocks takes %.1f ms of wall time: the workers poll for an assignment every 20 ms, "
          "which sets the floor for small batches." % (
              big1["busiest_worker_cpu_ms"] / big2["busiest_worker_cpu_ms"], big1["wall_ms"] / big2["wall_ms"],
              rows[(100, 2)]["wall_ms"]))

    print("\n## Forwarding (Execute, decoded batch, writer discarding documents)\n")
    print("Batches of up to 10,000 documents (16 MB at most) decoded by 2 workers. The again column forwards the same "
          "batch a second time right after the first: its records were last read by this CPU, not written on the "
          "other one, but the batch is still larger than the caches. The cached rows forward a batch of 64 "
          "documents (4 of 1 MB) again and again, so its records stay in this core's caches, against memcpy of as "
          "many documents, also again and again.\n")
    print("| doc size | docs/s | MB/s | memcpy docs/s | memcpy MB/s | ours / memcpy | again docs/s | cached docs/s "
          "| cached memcpy docs/s | cached / cached memcpy |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for size in (64, 256, 1024, 4096, 65536, 1048576):
        o = f["BM_Forward/%d/min_time:1.000/manual_time" % size]
        m = f["BM_MemcpyDocs/%d/min_time:1.000/manual_time" % size]
        a = f["BM_ForwardAgain/%d/min_time:1.000/manual_time" % size]
        c = f["BM_ForwardCached/%d/min_time:0.300" % size]
        cm = f["BM_MemcpyDocsCached/%d/min_time:0.300" % size]
        print("| %d B | %.0f | %.0f | %.0f | %.0f | %.3f | %.0f | %.0f | %.0f | %.3f |" % (
            size, o["items_per_second"], o["bytes_per_second"] / 1e6, m["items_per_second"],
            m["bytes_per_second"] / 1e6, o["items_per_second"] / m["items_per_second"], a["items_per_second"],
            c["items_per_second"],
            cm["items_per_second"], c["items_per_second"] / cm["items_per_second"]))
    print("\nReading a cache line right after another thread wrote it (100,000 lines, random order):\n")
    print("| writer | dependent reads ns/line | independent reads ns/line |")
    print("|---|---|---|")
    for core, label in ((0, "same CPU"), (1, "other CPU")):
        dep = f.get("BM_LineReadAfterWrite/%d/1/min_time:0.300/manual_time" % core)
        ind = f.get("BM_LineReadAfterWrite/%d/0/min_time:0.300/manual_time" % core)
        if dep and ind:
            print("| %s | %.1f | %.1f |" % (label, dep["ns_per_line"] * 1e9, ind["ns_per_line"] * 1e9))

    print("\n## Memory over 1,000,000 events after warm-up (Parse + Execute, batches of 10,000)\n")
    print("| mix | allocations per event | RSS after warm-up kB | RSS growth kB |")
    print("|---|---|---|---|")
    for arg, label in ((0, "inserts, doc inserts, updates"), (1, "the same with DDL events (one WARN line each)")):
        b = f["BM_SteadyStateMemory/%d/iterations:1" % arg]
        print("| %s | %.6f | %.0f | %.0f |" % (label, b["allocations_per_event"], b["rss_kb_after_warmup"],
                                              b["rss_kb_growth"]))

    print("\n## Logger against spdlog's asynchronous logger (per statement, on the logging thread)\n")
    print(open(os.path.join(out, "logger.md")).read())

    network(net)
    check = os.path.join(out, "endpoint.md")
    if os.path.exists(check):
        print("\n## The native endpoint with curl alone\n")
        print("curl posts one bulk body %s times (the endpoint on core 0, curl on core 1). The second GB/s column is "
              "the endpoint's capacity on one core: body bytes per second of its own CPU time.\n" % "400")
        print(open(check).read())
    stages = os.path.join(out, "stages.md")
    if os.path.exists(stages):
        print("\n## The whole path by stage\n")
        print("cdc-es-replay --generate into the native endpoint under callgrind: instructions (not seconds, so "
              "repeatable on a shared machine) per document, by the inclusive cost of each stage's entry point. Sending "
              "counts libcurl's work, not the kernel's; idle polls cost wake-ups more than instructions.\n")
        print(open(stages).read())


def network(net):
    rows = net["rows"]
    print("## Network: the writer and the whole path into the native bulk endpoint, against curl\n")
    print("The endpoint (bench/bulk_endpoint.cpp, one thread) runs on one core and the client on the other. Bulks of "
          "%d documents; %s. Every run was checked to leave exactly the documents sent in the index. Medians of %d "
          "rounds; each ratio is the median of the rounds' ratios against the curl runs (one connection, the very "
          "bodies the writer sends) that open and close the round. CPU is user + system time per document: of the "
          "client's process (the writer driver from after initialize, curl and the replay tool for their whole "
          "run) and of the endpoint from the first bulk on.\n" % (
              net["bulk"], ", ".join("%s documents of %s B" % (n, s) for s, n in net["sizes"].items()), net["rounds"]))
    labels = [("curl1", "curl, one connection (baseline)"), ("curl2", "curl, two connections"),
              ("writer1", "libes_writer.so, 1 bulk in flight"), ("writer2", "libes_writer.so, 2 bulks in flight"),
              ("replay", "cdc-es-replay --generate, 2 workers, batches of 5000"),
              ("doc_id_pointer", "libes_writer.so, 1 in flight, doc_id=/id"),
              ("doc_id_hash", "libes_writer.so, 1 in flight, doc_id=hash"),
              ("metrics_off", "libes_writer.so, 1 in flight, metrics off"),
              ("metrics_on", "libes_writer.so, 1 in flight, metrics served (scraped every 100 ms) and written to a file")]
    header = ("| client | doc size | docs/s | against curl | against curl over two connections | client CPU us/doc | "
              "client CPU / curl's | endpoint CPU us/doc |\n|---|---|---|---|---|---|---|---|")
    for size in net["sizes"]:
        print(header)
        base = rows.get("curl1_%s" % size)
        for key, label in labels:
            r = rows.get("%s_%s" % (key, size))
            if not r or "rate" not in r:
                continue
            two = r.get("ratio_to_curl2")
            print("| %s | %s B | %.0f | %.2f | %s | %.2f | %.2f | %.2f |" % (
                label, size, r["rate"], r.get("ratio", 1.0), "%.2f" % two if two else "", r["cpu"],
                r["cpu"] / base["cpu"], r["endpoint_cpu"]))
        m = rows.get("metrics_%s" % size)
        if m:
            print("\nMetrics on against off, %s B: median %.2f of the documents/s (rounds: %s)." % (
                size, m["on_vs_off"], ", ".join("%.2f" % x for x in m["all_on_vs_off"])))
        print()
    if "items429" in net:
        clean, rejected = net["items429"]["writer_commit1000"], net["items429"]["writer_commit1000_items429"]
        print("\nInto the Python test endpoint (it is the bottleneck here; the rows show that retried items do not "
              "stall the stream): commits of 1,000, no item rejected %.0f docs/s; 10 %% of the items rejected with "
              "429 %.0f docs/s (%.2f).\n" % (clean, rejected, rejected / clean))

if __name__ == "__main__":
    main(sys.argv[1])
