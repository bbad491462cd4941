#!/usr/bin/env python3
"""Starts and stops real search engines on loopback for tests, benchmarks and the demo.

    engine.py start KIND [--nodes N] [--port-file FILE] [--setting key=value ...] [--config-file PATH ...]
                         [--heap SIZE] [--user NAME:PASSWORD:ROLES ...] [--cpus LIST]
    engine.py stop [--port-file FILE]
    engine.py node-kill [--port-file FILE] [--signal NAME] INDEX    (SIGKILL by default: a crash)
    engine.py node-start [--port-file FILE] INDEX                   (the same node again, same data)
    engine.py node-signal [--port-file FILE] INDEX SIGNAL            (e.g. STOP to freeze a node, CONT to thaw it)
    engine.py fetch KIND                                            (download only, e.g. before going offline)

KIND is opensearch (a node in a plain JVM, from the engine's jars on Maven Central), es7, es8 or es9 (the
engine's own packaged server, bin/elasticsearch, from Maven Central). Everything is fetched with Maven into
its local repository, so a second start is offline. Each node is a process of its own (kill one, the
others go on), on free loopback ports; start returns once the cluster is green with N nodes.

The port file gets one line per node, "http://127.0.0.1:PORT" (https with TLS settings); on es8 and es9,
which run with security on, the first line goes on with the administrator's user name and password:
"http://127.0.0.1:PORT USER PASSWORD". Next to it, FILE.state holds what stop and node-* need: stop ends
exactly the processes that start started, and removes their data.

A --config-file is copied into every node's configuration directory; settings name it by its file name
(the engines read TLS files only from there), and a roles.yml replaces the engine's. A --user (es8, es9)
is added to every node's file realm with the given roles. Elasticsearch refuses to run as root: as root the nodes run
as the system user cdc-engine, made when missing.
"""
import argparse
import json
import os
import pwd
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
import base64
import ssl
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("BUILD_ROOT", os.path.join(ROOT, "build"))
HOME = os.path.join(BUILD, "engines")
DEFAULT_PORT_FILE = os.path.join(HOME, "engine.port")
RUN_AS = "cdc-engine"

JDK17 = "/usr/lib/jvm/java-17-openjdk-amd64"


def newest_jdk():
    """The newest JDK on the machine (Elasticsearch 9 needs 21 or later)."""
    jvm = "/usr/lib/jvm"
    best, best_v = None, 0
    for name in os.listdir(jvm) if os.path.isdir(jvm) else []:
        digits = "".join(c if c.isdigit() else " " for c in name).split()
        if digits and os.path.exists(os.path.join(jvm, name, "bin", "java")) and int(digits[0]) > best_v:
            best, best_v = os.path.join(jvm, name), int(digits[0])
    return best


KINDS = {
    "opensearch": {"version": "2.19.6", "how": "jvm", "security": False, "java": JDK17},
    "es7": {"version": "7.17.29", "how": "zip", "security": False, "java": JDK17},
    "es8": {"version": "8.19.21", "how": "zip", "security": True, "java": JDK17},
    "es9": {"version": "9.2.4", "how": "zip", "security": True, "java": None},  # newest JDK
}


def log(text):
    print("engine: " + text, file=sys.stderr, flush=True)


def mvn(*args, java=None):
    """Maven offline first (a second start needs no network), then online."""
    base = ["mvn", "-q", "-B"]
    env = dict(os.environ, JAVA_HOME=java) if java else None
    for offline in (["-o"], []):
        p = subprocess.run(base + offline + list(args), capture_output=True, text=True, env=env)
        if p.returncode == 0:
            return
    raise SystemExit("engine: maven failed: mvn %s\n%s" % (" ".join(args), (p.stdout + p.stderr)[-3000:]))


def fetch(kind):
    """Everything kind needs, cached under build/engines: (java home, how to start a node)."""
    k = KINDS[kind]
    java = k["java"] or newest_jdk()
    if not java or not os.path.exists(os.path.join(java, "bin", "java")):
        raise SystemExit("engine: no JDK for %s (looked in /usr/lib/jvm)" % kind)
    if k["how"] == "jvm":
        out = os.path.join(HOME, "opensearch-%s" % k["version"])
        cp_file = os.path.join(out, "classpath.txt")
        sources = [os.path.join(HERE, "pom.xml"), os.path.join(HERE, "src", "main", "java", "engines", "EmbeddedNode.java")]
        if not os.path.exists(cp_file) or any(os.path.getmtime(s) > os.path.getmtime(cp_file) for s in sources):
            log("fetching OpenSearch %s with Maven" % k["version"])
            mvn("-f", os.path.join(HERE, "pom.xml"), "-Dengines.build.dir=" + out,
                "-Dopensearch.version=" + k["version"], "compile", java=java)
        with open(cp_file) as f:
            classpath = os.path.join(out, "classes") + ":" + f.read().strip()
        return java, {"classpath": classpath}
    dist = os.path.join(HOME, "dist")
    home = os.path.join(dist, "elasticsearch-%s" % k["version"])
    if not os.path.exists(os.path.join(home, "bin", "elasticsearch")):
        log("fetching Elasticsearch %s with Maven" % k["version"])
        os.makedirs(dist, exist_ok=True)
        mvn("dependency:copy", "-Dartifact=org.elasticsearch.distribution.integ-test-zip:elasticsearch:%s:zip" % k["version"],
            "-DoutputDirectory=" + dist, "-Dmdep.overWriteReleases=true")
        archive = os.path.join(dist, "elasticsearch-%s.zip" % k["version"])
        with zipfile.ZipFile(archive) as z:
            for info in z.infolist():
                z.extract(info, dist)
                mode = (info.external_attr >> 16) & 0o777
                if mode:
                    os.chmod(os.path.join(dist, info.filename), mode)
        os.remove(archive)
    return java, {"home": home}


def free_ports(n):
    socks, ports = [], []
    for _ in range(n):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        socks.append(s)
        ports.append(s.getsockname()[1])
    for s in socks:
        s.close()
    return ports


def run_as_user():
    """The user the nodes run as: cdc-engine when we are root (Elasticsearch refuses root)."""
    if os.geteuid() != 0:
        return None
    try:
        pwd.getpwnam(RUN_AS)
    except KeyError:
        subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", RUN_AS], check=True)
    return RUN_AS


def chown_tree(path, user):
    if user is None:
        return
    pw = pwd.getpwnam(user)
    for d, dirs, files in os.walk(path):
        os.chown(d, pw.pw_uid, pw.pw_gid)
        for f in files:
            os.chown(os.path.join(d, f), pw.pw_uid, pw.pw_gid)


def node_setup(kind, java, how, work, i, names, http_ports, transport_ports, settings, config_files, heap, user):
    """Directories, settings and the command of node i; returns the node's record for the state file."""
    k = KINDS[kind]
    node_dir = os.path.join(work, "node%d" % i)
    for sub in ("data", "logs"):
        os.makedirs(os.path.join(node_dir, sub), exist_ok=True)
    common = {
        "cluster.name": "cdc-es-" + kind,
        "node.name": names[i],
        "network.host": "127.0.0.1",
        "http.port": str(http_ports[i]),
        "transport.port": str(transport_ports[i]),
        "path.data": os.path.join(node_dir, "data"),
        "path.logs": os.path.join(node_dir, "logs"),
        "cluster.routing.allocation.disk.threshold_enabled": "false",
    }
    if len(names) == 1:
        common["discovery.type"] = "single-node"
    else:
        common["discovery.seed_hosts"] = ",".join("127.0.0.1:%d" % p for p in transport_ports)
        key = "cluster.initial_cluster_manager_nodes" if kind == "opensearch" else "cluster.initial_master_nodes"
        common[key] = ",".join(names)
    if kind != "opensearch":
        common["xpack.security.enabled"] = "true" if k["security"] else "false"
    common.update(settings)
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    if how.get("classpath"):
        home = os.path.join(node_dir, "home")
        os.makedirs(os.path.join(home, "config"), exist_ok=True)
        for path in config_files:
            shutil.copy(path, os.path.join(home, "config"))
        common["path.home"] = home
        argv = [os.path.join(java, "bin", "java"), "-Xms" + heap, "-Xmx" + heap, "-XX:+UseG1GC",
                "-Dopensearch.set.netty.runtime.available.processors=false", "-Djava.awt.headless=true",
                "-cp", how["classpath"], "engines.EmbeddedNode"] + ["%s=%s" % kv for kv in common.items()]
        cwd = node_dir
    else:
        conf = os.path.join(node_dir, "config")
        shutil.copytree(os.path.join(how["home"], "config"), conf)
        with open(os.path.join(conf, "elasticsearch.yml"), "a") as f:
            f.write("\n" + "".join("%s: %s\n" % (key, json.dumps(v)) for key, v in common.items()))
        # The packaged options write the GC log under the server's home, which is not the node's.
        jvm_options = os.path.join(conf, "jvm.options")
        with open(jvm_options) as f:
            text = f.read()
        with open(jvm_options, "w") as f:
            f.write(text.replace("file=logs/", "file=" + os.path.join(node_dir, "logs") + "/")
                    .replace("ErrorFile=logs/", "ErrorFile=" + os.path.join(node_dir, "logs") + "/")
                    .replace("-Xloggc:logs/", "-Xloggc:" + os.path.join(node_dir, "logs") + "/"))
        for path in config_files:
            shutil.copy(path, conf)
        env.update(ES_PATH_CONF=conf, ES_JAVA_HOME=java, ES_JAVA_OPTS="-Xms%s -Xmx%s" % (heap, heap),
                   ES_TMPDIR=os.path.join(node_dir, "tmp"))
        os.makedirs(os.path.join(node_dir, "tmp"), exist_ok=True)
        argv = [os.path.join(how["home"], "bin", "elasticsearch")]
        if user:
            argv = ["runuser", "-u", user, "--"] + argv
        cwd = node_dir
    return {"argv": argv, "env": {k2: v for k2, v in env.items() if k2.startswith("ES_")}, "cwd": cwd,
            "log": os.path.join(node_dir, "node.log"), "name": names[i], "http": http_ports[i], "pid": None}


def spawn(node):
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    env.update(node["env"])
    out = open(node["log"], "ab")
    p = subprocess.Popen(node["argv"], cwd=node["cwd"], env=env, stdout=out, stderr=subprocess.STDOUT,
                         stdin=subprocess.DEVNULL, start_new_session=True)
    node["pid"] = p.pid
    return p


def request(url, auth=None, method="GET", body=None, timeout=5, context=None):
    req = urllib.request.Request(url, data=body, method=method)
    if auth:
        req.add_header("Authorization", "Basic " + base64.b64encode(("%s:%s" % auth).encode()).decode())
    if body is not None:
        req.add_header("Content-Type", "application/json")
    with urllib.request.urlopen(req, timeout=timeout, context=context) as r:
        return json.load(r)


def wait_green(state, procs, deadline_s=240):
    n = len(state["nodes"])
    auth = (state["user"], state["password"]) if state.get("user") else None
    context = ssl._create_unverified_context() if state["scheme"] == "https" else None  # readiness only
    url = "%s://127.0.0.1:%d/_cluster/health?wait_for_status=green&wait_for_nodes=%d&timeout=2s" % (
        state["scheme"], state["nodes"][0]["http"], n)
    deadline = time.time() + deadline_s
    last = ""
    while time.time() < deadline:
        for node, p in zip(state["nodes"], procs):
            if p is not None and p.poll() is not None:
                with open(node["log"], errors="replace") as f:
                    tail = f.read()[-4000:]
                raise SystemExit("engine: node %s ended while starting (exit %s); its log ends:\n%s" % (
                    node["name"], p.returncode, tail))
        try:
            health = request(url, auth, timeout=10, context=context)
            if health.get("status") == "green" and health.get("number_of_nodes") == n:
                return
            last = json.dumps(health)
        except (urllib.error.URLError, OSError, ValueError) as e:
            last = str(e)
        time.sleep(0.5)
    raise SystemExit("engine: the cluster is not green with %d nodes after %d s: %s" % (n, deadline_s, last))


def state_path(port_file):
    return port_file + ".state"


def load_state(port_file):
    try:
        with open(state_path(port_file)) as f:
            return json.load(f)
    except OSError:
        raise SystemExit("engine: nothing was started for %s" % port_file)


def save_state(port_file, state):
    with open(state_path(port_file), "w") as f:
        json.dump(state, f, indent=1)


def end(pid, sig=signal.SIGTERM, wait_s=30):
    """Ends the process group of a node; SIGKILL after wait_s."""
    try:
        os.killpg(pid, sig)
    except ProcessLookupError:
        return
    deadline = time.time() + wait_s
    while time.time() < deadline:
        try:
            os.killpg(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.2)
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def cmd_start(a):
    if a.kind not in KINDS:
        raise SystemExit("engine: KIND must be one of %s" % ", ".join(KINDS))
    port_file = os.path.abspath(a.port_file)
    if os.path.exists(state_path(port_file)):
        raise SystemExit("engine: %s is in use: stop what it started first" % port_file)
    started = time.time()
    java, how = fetch(a.kind)
    user = run_as_user() if KINDS[a.kind]["how"] == "zip" else None
    os.makedirs(os.path.join(HOME, "run"), exist_ok=True)
    work = os.path.join(HOME, "run", "%s-%d" % (a.kind, os.getpid()))
    os.makedirs(work)
    settings = {}
    for s in a.setting:
        key, eq, value = s.partition("=")
        if not eq:
            raise SystemExit("engine: --setting must be key=value, not %s" % s)
        settings[key] = value
    names = ["node-%d" % i for i in range(a.nodes)]
    ports = free_ports(2 * a.nodes)
    http_ports, transport_ports = ports[:a.nodes], ports[a.nodes:]
    nodes = [node_setup(a.kind, java, how, work, i, names, http_ports, transport_ports, settings, a.config_file,
                        a.heap, user) for i in range(a.nodes)]
    if a.cpus:
        for node in nodes:
            node["argv"] = ["taskset", "-c", a.cpus] + node["argv"]
    state = {"kind": a.kind, "version": KINDS[a.kind]["version"], "work": work, "nodes": nodes,
             "scheme": "https" if any(k.endswith("http.ssl.enabled") and v == "true" for k, v in settings.items())
             else "http"}
    if KINDS[a.kind]["security"]:
        state["user"], state["password"] = "cdc-admin", secrets.token_urlsafe(18)
        users = [(state["user"], state["password"], "superuser")] + [tuple(u.split(":", 2)) for u in a.user]
        for node in nodes:
            env = dict(os.environ, **node["env"])
            for name, password, roles in users:
                p = subprocess.run([os.path.join(how["home"], "bin", "elasticsearch-users"), "useradd", name, "-p",
                                    password, "-r", roles], env=env, capture_output=True, text=True)
                if p.returncode != 0:
                    raise SystemExit("engine: cannot add user %s: %s" % (name, (p.stdout + p.stderr)[-500:]))
    elif a.user:
        raise SystemExit("engine: %s runs without security: it has no users" % a.kind)
    chown_tree(work, user)
    save_state(port_file, state)
    procs = [spawn(node) for node in nodes]
    save_state(port_file, state)
    try:
        wait_green(state, procs)
    except SystemExit:
        for node in nodes:
            end(node["pid"], signal.SIGKILL, 5)
        os.remove(state_path(port_file))
        raise
    write_port_file(port_file, state)
    log("%s %s: %d node(s) green in %.1f s, ports in %s" % (a.kind, state["version"], a.nodes, time.time() - started,
                                                            port_file))


def write_port_file(port_file, state):
    lines = []
    for i, node in enumerate(state["nodes"]):
        line = "%s://127.0.0.1:%d" % (state["scheme"], node["http"])
        if i == 0 and state.get("user"):
            line += " %s %s" % (state["user"], state["password"])
        lines.append(line)
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.replace(tmp, port_file)


def cmd_stop(a):
    port_file = os.path.abspath(a.port_file)
    state = load_state(port_file)
    for node in state["nodes"]:
        if node.get("pid"):
            end(node["pid"])
    shutil.rmtree(state["work"], ignore_errors=True)
    for path in (state_path(port_file), port_file):
        if os.path.exists(path):
            os.remove(path)
    log("stopped %s" % state["kind"])


def cmd_node_kill(a):
    port_file = os.path.abspath(a.port_file)
    state = load_state(port_file)
    node = state["nodes"][a.index]
    end(node["pid"], getattr(signal, "SIG" + a.signal.upper().replace("SIG", "")), 30)
    node["pid"] = None
    save_state(port_file, state)


def cmd_node_signal(a):
    """Sends a signal to a node's processes and returns at once (STOP freezes it, CONT thaws it)."""
    state = load_state(os.path.abspath(a.port_file))
    os.killpg(state["nodes"][a.index]["pid"], getattr(signal, "SIG" + a.signal.upper().replace("SIG", "")))


def cmd_node_start(a):
    port_file = os.path.abspath(a.port_file)
    state = load_state(port_file)
    node = state["nodes"][a.index]
    if node.get("pid"):
        try:
            os.killpg(node["pid"], 0)
            raise SystemExit("engine: node %d is running" % a.index)
        except ProcessLookupError:
            pass
    spawn(node)
    save_state(port_file, state)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="command", required=True)
    s = sub.add_parser("start")
    s.add_argument("kind")
    s.add_argument("--nodes", type=int, default=1)
    s.add_argument("--port-file", default=DEFAULT_PORT_FILE)
    s.add_argument("--setting", action="append", default=[])
    s.add_argument("--config-file", action="append", default=[])
    s.add_argument("--heap", default="1g")
    s.add_argument("--user", action="append", default=[], help="NAME:PASSWORD:ROLES, a further user (es8, es9)")
    s.add_argument("--cpus", help="run the nodes on these CPUs only (taskset list, e.g. 0), for benchmarks")
    s.set_defaults(run=cmd_start)
    s = sub.add_parser("stop")
    s.add_argument("--port-file", default=DEFAULT_PORT_FILE)
    s.set_defaults(run=cmd_stop)
    s = sub.add_parser("node-kill")
    s.add_argument("--port-file", default=DEFAULT_PORT_FILE)
    s.add_argument("--signal", default="KILL")
    s.add_argument("index", type=int)
    s.set_defaults(run=cmd_node_kill)
    s = sub.add_parser("node-signal")
    s.add_argument("--port-file", default=DEFAULT_PORT_FILE)
    s.add_argument("index", type=int)
    s.add_argument("signal")
    s.set_defaults(run=cmd_node_signal)
    s = sub.add_parser("node-start")
    s.add_argument("--port-file", default=DEFAULT_PORT_FILE)
    s.add_argument("index", type=int)
    s.set_defaults(run=cmd_node_start)
    s = sub.add_parser("fetch")
    s.add_argument("kind")
    s.set_defaults(run=lambda a: fetch(a.kind))
    a = ap.parse_args()
    os.makedirs(HOME, exist_ok=True)
    a.run(a)


if __name__ == "__main__":
    main()
