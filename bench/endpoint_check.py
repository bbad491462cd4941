#!/usr/bin/env python3
"""Shows that the native bulk endpoint is never what the network benchmarks measure: curl posts the same
bulk body again and again (one and two connections), and the table gives the body bytes per second of
wall time and per second of the endpoint's own CPU time (its capacity on one core).
  endpoint_check.py BULK_ENDPOINT"""
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

from native_endpoint import native_endpoint

POSTS = 400


def main(binary):
    tmp = tempfile.mkdtemp()
    with native_endpoint(binary, cpu=0) as url:
        print("| documents per bulk body | connections | body GB/s (wall) | body GB/s per endpoint CPU second | "
              "documents/s (wall) |")
        print("|---|---|---|---|---|")
        for size in (256, 1024):
            body = os.path.join(tmp, "body%d.ndjson" % size)
            with open(body, "w") as f:
                for i in range(1000):
                    head = '{"id":%d,"payload":"' % i
                    f.write('{"index":{"_index":"check"}}\n' + head + "x" * (size - len(head) - 2) + '"}\n')
            body_bytes = os.path.getsize(body)
            for connections in (1, 2):
                cfgs = []
                for c in range(connections):
                    cfg = os.path.join(tmp, "c%d.cfg" % c)
                    with open(cfg, "w") as f:
                        for k in range(POSTS // connections):
                            if k:
                                f.write("next\n")
                            f.write('url = "%s/_bulk"\ndata-binary = "@%s"\nheader = "Expect:"\nsilent\n'
                                    'output = "/dev/null"\n' % (url, body))
                    cfgs.append(cfg)
                urllib.request.urlopen(urllib.request.Request(url + "/_bench/reset", method="POST", data=b"")).read()
                start = time.time()
                procs = [subprocess.Popen(["taskset", "-c", "1", "curl", "-K", cfg]) for cfg in cfgs]
                for p in procs:
                    p.wait()
                secs = time.time() - start
                with urllib.request.urlopen(url + "/_bench/stats") as r:
                    stats = json.load(r)
                assert stats["items"] == 1000 * POSTS // connections * connections, stats
                total = stats["body_bytes"]
                assert total == body_bytes * (POSTS // connections) * connections
                print("| 1000 x %d B | %d | %.2f | %.2f | %.0f |" % (
                    size, connections, total / secs / 1e9, total / stats["cpu_s_since_first_bulk"] / 1e9,
                    stats["items"] / secs))


if __name__ == "__main__":
    main(sys.argv[1])
