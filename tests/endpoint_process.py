"""Starts an endpoint process (the Python test endpoint or the native benchmark one) that writes the port
it listens on into a file, and waits for that file: one helper for the tests, the soak and the benchmarks."""
import os
import subprocess
import tempfile
import time


def start_endpoint(cmd, timeout_s=10.0):
    """Runs cmd + ["--port-file", FILE]; returns (process, "http://127.0.0.1:PORT") once FILE names the
    port. Raises RuntimeError (with the process stopped) when it does not within timeout_s."""
    port_file = os.path.join(tempfile.mkdtemp(prefix="endpoint_"), "port")
    proc = subprocess.Popen(list(cmd) + ["--port-file", port_file], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.time() + timeout_s
    while time.time() < deadline:
        if os.path.exists(port_file):
            with open(port_file) as f:
                port = f.read().strip()
            if port:
                return proc, "http://127.0.0.1:" + port
        if proc.poll() is not None:
            break
        time.sleep(0.05)
    proc.terminate()
    proc.wait()
    raise RuntimeError("the endpoint %s did not start" % cmd[-1])
