"""Starts the native bulk endpoint (bench/bulk_endpoint) for a benchmark script and stops it after."""
import contextlib
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
from helpers import start_endpoint  # noqa: E402


@contextlib.contextmanager
def native_endpoint(binary, cpu=None):
    """Yields the endpoint's base URL; cpu pins it to that core (taskset)."""
    ep, url = start_endpoint(([] if cpu is None else ["taskset", "-c", str(cpu)]) + [binary])
    try:
        yield url
    finally:
        ep.terminate()
        ep.wait()
