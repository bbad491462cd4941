"""Starts the native bulk endpoint (bench/bulk_endpoint) for a benchmark script and stops it after."""
import contextlib
import os
import subprocess
import tempfile
import time


@contextlib.contextmanager
def native_endpoint(binary, cpu=None):
    """Yields the endpoint's base URL; cpu pins it to that core (taskset)."""
    tmp = tempfile.mkdtemp()
    port_file = os.path.join(tmp, "port")
    cmd = ([] if cpu is None else ["taskset", "-c", str(cpu)]) + [binary, "--port-file", port_file]
    ep = subprocess.Popen(cmd, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        with open(port_file) as f:
            yield "http://127.0.0.1:" + f.read().strip()
    finally:
        ep.terminate()
        ep.wait()
