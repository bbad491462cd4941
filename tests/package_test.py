#!/usr/bin/env python3
"""The packages as a user gets them: the .deb and the tarball of scripts/package.sh, extracted into a
temporary root (never installed on the machine), checked file by file and run against the local
test endpoint. Usage: package_test.py BUILD_DIR (the build directory of scripts/package.sh)."""
import glob
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from helpers import Endpoint, forwarded_docs, run_unittests  # noqa: E402

BUILD = None
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGIN_DIR = "usr/lib/libevent_es"
DOC_DIR = "usr/share/doc/libevent-es"
FILES = {
    "usr/bin/cdc-es-replay",
    PLUGIN_DIR + "/libevent_es.so",
    PLUGIN_DIR + "/libes_writer.so",
    "usr/include/libevent_es/block_util.h",
    "usr/include/libevent_es/block_format.h",
    "usr/include/libevent_es/json_event_type.h",
    "usr/include/libevent_es/cdc_error.h",
    "usr/include/libevent_es/libes_writer.h",
    "usr/include/libevent_es/common/dynamic_str.h",
    "usr/include/libevent_es/plugin/common/dispatch_event.h",
    DOC_DIR + "/README.md",
    DOC_DIR + "/param-local.json",
    DOC_DIR + "/orders.ndjson",
    DOC_DIR + "/event-block-format.md",
    DOC_DIR + "/es_writer_alerts.yml",
    DOC_DIR + "/copyright",
    DOC_DIR + "/changelog.gz",
    "usr/share/man/man1/cdc-es-replay.1.gz",
}


def files_under(root):
    out = set()
    for d, _, names in os.walk(root):
        for n in names:
            out.add(os.path.relpath(os.path.join(d, n), root))
    return out


def dynamic(path):
    return subprocess.run(["readelf", "-d", path], check=True, capture_output=True, text=True).stdout


def lines_with(text, tag):
    return [line.split("[", 1)[1].rstrip("]") for line in text.splitlines() if "(%s)" % tag in line]


class PackageChecks:
    """Checks of one extracted install tree (self.root), shared by the two package kinds."""

    def test_file_list(self):
        self.assertEqual(FILES, files_under(self.root))

    def test_libraries_find_each_other_and_hold_no_build_paths(self):
        plugin = dynamic(os.path.join(self.root, PLUGIN_DIR, "libevent_es.so"))
        writer = dynamic(os.path.join(self.root, PLUGIN_DIR, "libes_writer.so"))
        tool = dynamic(os.path.join(self.root, "usr/bin/cdc-es-replay"))
        self.assertEqual(["$ORIGIN"], lines_with(plugin, "RUNPATH"))
        self.assertIn("libes_writer.so", lines_with(plugin, "NEEDED"))
        self.assertEqual(["libes_writer.so"], lines_with(writer, "SONAME"))
        self.assertEqual([], lines_with(writer, "RUNPATH") + lines_with(writer, "RPATH"))
        self.assertEqual(["$ORIGIN/../lib/libevent_es"], lines_with(tool, "RUNPATH"))
        for path in FILES:
            with open(os.path.join(self.root, path), "rb") as f:
                self.assertNotIn(SOURCE.encode(), f.read(), path)

    def test_the_pair_moves_together_into_any_plug_in_directory(self):
        moved = tempfile.mkdtemp()
        for name in ("libevent_es.so", "libes_writer.so"):
            shutil.copy(os.path.join(self.root, PLUGIN_DIR, name), moved)
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        # What the dynamic loader would resolve for a host that loads the plug-in from there.
        out = subprocess.run(["ldd", os.path.join(moved, "libevent_es.so")], capture_output=True, text=True,
                             env=env, timeout=60)
        self.assertIn("libes_writer.so => %s" % os.path.join(moved, "libes_writer.so"), out.stdout)

    def test_the_tool_loads_the_plug_in_beside_it_and_the_example_data_arrives(self):
        env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
        tool = os.path.join(self.root, "usr/bin/cdc-es-replay")
        out = subprocess.run([tool, "--version"], capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(0, out.returncode, out.stdout + out.stderr)
        self.assertIn("plug-in %s: libevent_es 1.0.0" % os.path.join(self.root, "usr/bin/../lib/libevent_es/libevent_es.so"),
                      out.stdout)
        self.assertIn("writer %s: libes_writer 1.0.0" % os.path.join(self.root, "usr/bin/../lib/libevent_es/libes_writer.so"),
                      out.stdout)
        es = Endpoint()
        try:
            log = tempfile.mkdtemp()
            data = os.path.join(self.root, DOC_DIR, "orders.ndjson")
            run = subprocess.run([tool, "--param-file", os.path.join(self.root, DOC_DIR, "param-local.json"),
                                  "--es-url", es.url, "--log-path", log, "--quiet", data],
                                 capture_output=True, text=True, env=env, timeout=300)
            self.assertEqual(0, run.returncode, run.stderr)
            self.assertEqual(forwarded_docs(data), es.get("/orders/_count")["count"])
        finally:
            es.stop()


class DebianPackage(PackageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        (cls.deb,) = glob.glob(os.path.join(BUILD, "libevent-es_*.deb"))
        cls.root = tempfile.mkdtemp()
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    def test_lintian_finds_no_errors(self):
        out = subprocess.run(["lintian", "--tag-display-limit", "0", self.deb], capture_output=True, text=True)
        errors = [line for line in out.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual([], errors, out.stdout)

    def test_dependencies_name_the_runtime_packages(self):
        depends = subprocess.run(["dpkg-deb", "-f", self.deb, "Depends"], check=True, capture_output=True,
                                 text=True).stdout
        for package in ("libc6", "libcurl4", "zlib1g", "libstdc++6", "libmicrohttpd12"):
            self.assertIn(package, depends)


class Tarball(PackageChecks, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        (tgz,) = glob.glob(os.path.join(BUILD, "libevent-es-*.tar.gz"))
        top = tempfile.mkdtemp()
        with tarfile.open(tgz) as t:
            t.extractall(top)
        (inner,) = os.listdir(top)
        cls.root = os.path.join(top, inner)


if __name__ == "__main__":
    BUILD = sys.argv.pop(1)
    run_unittests(verbosity=2)
