#!/usr/bin/env python3
"""A local es-compatible endpoint for tests, benchmarks and the demo (loopback only).

Faithful on what the writer relies on: the root endpoint with a 7.x or 8.x version (and the
X-Elastic-Product header), _bulk with NDJSON parsing that requires the body's final newline, per-item
results in request order (a payload that is not a JSON object is refused per item with the engine's
error type), _refresh, _count and a simple _search. Faults are injected through POST /_fault.

Usage: es_endpoint.py [--port N] [--port-file F] [--version 8.12.1] [--distribution opensearch]
                      [--user name:password] [--tls-cert CERT --tls-key KEY] [--root served|absent|forbidden]
                      [--sigv4 REGION:SERVICE:KEY:SECRET[:TOKEN] [--clock-skew-s S]]
"""
import argparse
import base64
import calendar
import gzip
import json
import os
import random
import re
import socket
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit, parse_qs, unquote

STATE_LOCK = threading.Lock()
INDICES = {}  # index -> list of (id, source text, time first stored)
IDS = {}      # index -> {id: position in INDICES[index]}
PIPELINES = set()  # the ingest pipelines registered
FAULTS = {
    "fail_next": 0, "fail_status": 503,   # whole requests answered with a status
    "fail_reason": "injected failure",    # ... and this reason
    "reject_items": 0,                    # next N items answered 429
    "delay_next": 0, "delay_ms": 0,       # next N bulk requests delayed
    "drop_next": 0,                       # next N bulk requests: connection closed, no answer
    "transient_rate": 0.0,                # chance per bulk request of a random transient fault
    "item_reject_rate": 0.0,              # chance per item of a 429
    "drop_stored_rate": 0.0,              # chance per bulk: stored, then the connection closed unanswered
    "max_body_bytes": 0,                  # 413 above this size (0: no limit)
    "down_until": 0.0,                    # every request dropped until this time
    "slow_ms": 400,                       # delay of a random "slow" fault
    "nested_reply": 0,                    # root and bulk answered 200 with this many '[' (a hostile node)
    "huge_reply_mb": 0,                   # root and bulk answered 200 with this many MB of white space
}
STATS = {"requests": 0, "bulk_requests": 0, "items": 0, "docs": 0, "injected": {}, "pipelines": [],
         "replaced": 0, "conflicts": 0, "media_types": [], "sigv4_verified": 0, "sigv4_refused": 0}
CONFIG = {"version": "8.12.1", "distribution": "elasticsearch", "user": None, "root": "served", "sigv4": None,
          "clock_skew_s": 0}


def count_injected(kind):
    STATS["injected"][kind] = STATS["injected"].get(kind, 0) + 1


def error_body(status, etype, reason):
    return {"error": {"root_cause": [{"type": etype, "reason": reason}], "type": etype, "reason": reason},
            "status": status}


def filtered(reply, filter_path):
    """The reply as the engine's filter_path leaves it, for the paths "top" and "items.*.member"."""
    paths = filter_path.split(",")
    out = {k: v for k, v in reply.items() if k in paths}
    members = [p[len("items.*."):] for p in paths if p.startswith("items.*.")]
    if members:
        out["items"] = [{op: {m: meta[m] for m in members if m in meta}} for it in reply["items"]
                        for op, meta in it.items()]
    return out


class Drop(Exception):
    """Close the connection without an answer."""


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "es-endpoint"

    def log_message(self, fmt, *args):  # quiet
        pass

    def setup(self):
        super().setup()
        # Answers go out at once: without this, a small answer waits for the client's delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def is_bulk(self):
        return self.command == "POST" and "_bulk" in urlsplit(self.path).path

    def send_json(self, status, obj):
        data = json.dumps(obj).encode()
        if self.is_bulk():  # bulk answers by status, e.g. STATS["bulk_status_429"]
            with STATE_LOCK:
                key = "bulk_status_%d" % status
                STATS[key] = STATS.get(key, 0) + 1
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if CONFIG["distribution"] != "opensearch":
            self.send_header("X-Elastic-Product", "Elasticsearch")
        # Headers and body in one write (end_headers, with the body behind the blank line).
        self._headers_buffer.append(b"\r\n")
        self._headers_buffer.append(data)
        self.flush_headers()

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            return None
        length = int(self.headers.get("Content-Length", "0") or 0)
        data = self.rfile.read(length) if length else b""
        self.raw_body = data  # as sent: what a signature covers
        if self.headers.get("Content-Encoding", "").lower() == "gzip":
            data = gzip.decompress(data)
        return data

    def sigv4_problem(self):
        """None when the request carries a valid AWS Signature Version 4 (checked with the AWS SDK's own
        signer, botocore), else the reason in the words of the service."""
        from botocore.auth import SigV4Auth
        from botocore.awsrequest import AWSRequest
        from botocore.credentials import Credentials
        region, service, key, secret, token = CONFIG["sigv4"]
        m = re.match(r"AWS4-HMAC-SHA256 Credential=([^/]+)/(\d{8})/([^/]+)/([^/]+)/aws4_request, ?"
                     r"SignedHeaders=([^,]+), ?Signature=([0-9a-f]{64})$", self.headers.get("Authorization", ""))
        if not m:
            return "Authorization header requires a valid AWS Signature Version 4"
        access_key, _, their_region, their_service, signed, signature = m.groups()
        if access_key != key or their_region != region or their_service != service:
            return "The security token included in the request is invalid."
        if token and self.headers.get("X-Amz-Security-Token") != token:
            return "The security token included in the request is invalid."
        stamp = self.headers.get("X-Amz-Date", "")
        try:
            when = calendar.timegm(time.strptime(stamp, "%Y%m%dT%H%M%SZ"))
        except ValueError:
            return "X-Amz-Date is missing or malformed"
        if abs(time.time() + CONFIG["clock_skew_s"] - when) > 300:
            return "Signature expired: %s is now earlier or later than the server's time by more than 5 minutes" % stamp
        names = signed.split(";")
        if "host" not in names or "x-amz-date" not in names:
            return "SignedHeaders must include host and x-amz-date"
        headers = {n: self.headers.get(n, "") for n in names}
        request = AWSRequest(method=self.command, url="http://%s%s" % (self.headers.get("Host"), self.path),
                             data=getattr(self, "raw_body", b""), headers=headers)
        request.context["timestamp"] = stamp
        auth = SigV4Auth(Credentials(key, secret, token or None), service, region)
        canonical = auth.canonical_request(request)
        if auth.signature(auth.string_to_sign(request, canonical), request) != signature:
            return "The request signature we calculated does not match the signature you provided."
        return None

    def authorised(self):
        if not CONFIG["user"]:
            return True
        want = "Basic " + base64.b64encode(CONFIG["user"].encode()).decode()
        return self.headers.get("Authorization", "") == want

    def handle_any(self, method):
        with STATE_LOCK:
            STATS["requests"] += 1
            down = time.time() < FAULTS["down_until"]
        body = self.read_body() if method in ("POST", "PUT") else b""
        if down:
            with STATE_LOCK:
                count_injected("down")
            raise Drop()
        url = urlsplit(self.path)
        parts = [p for p in url.path.split("/") if p]
        query = parse_qs(url.query)
        if parts[:1] == ["_fault"]:
            return self.fault(method, parts, body)
        if not self.authorised():
            return self.send_json(401, error_body(401, "security_exception", "missing authentication credentials"))
        if CONFIG["sigv4"] and parts[-1:] not in (["_count"], ["_raw"]):  # the tests' own reads go unsigned
            problem = self.sigv4_problem()
            with STATE_LOCK:
                STATS["sigv4_refused" if problem else "sigv4_verified"] += 1
            if problem:
                return self.send_json(403, {"message": problem})
        if (not parts and method in ("GET", "HEAD")) or (parts and parts[-1] == "_bulk"):
            with STATE_LOCK:
                nested, huge_mb = FAULTS["nested_reply"], FAULTS["huge_reply_mb"]
            if nested or huge_mb:
                return self.hostile(nested, huge_mb)
        if (not parts or parts[:2] == ["_nodes", "_local"]) and method in ("GET", "HEAD"):
            # Like the packaged server without its root endpoint (405, the node's info still answers), or
            # a user without the monitor privilege (403 for both).
            if CONFIG["root"] == "forbidden":
                return self.send_json(403, error_body(403, "security_exception", "action [cluster:monitor/main] is unauthorized"))
            if not parts and CONFIG["root"] == "absent":
                return self.send_json(405, {"error": "Incorrect HTTP method for uri [/] and method [GET], allowed: [DELETE]",
                                            "status": 405})
            return self.root() if not parts else self.send_json(200, {"nodes": {"n0": {"version": CONFIG["version"]}}})
        if body is None:
            return self.send_json(400, error_body(400, "illegal_argument_exception", "chunked bodies are not accepted"))
        if parts and parts[-1] == "_bulk" and method in ("POST", "PUT"):
            with STATE_LOCK:
                media = "%s | %s" % (self.headers.get("Content-Type"), self.headers.get("Accept"))
                if media not in STATS["media_types"]:
                    STATS["media_types"].append(media)
            if "pipeline" in query:
                with STATE_LOCK:
                    STATS["pipelines"].append(query["pipeline"][0])
            return self.bulk(parts[0] if len(parts) == 2 else None, body, query.get("filter_path", [None])[0])
        if parts[:2] == ["_ingest", "pipeline"] and len(parts) == 3:
            # Pipelines are only names here: registered by PUT (or POST), looked up by GET.
            name = unquote(parts[2])
            with STATE_LOCK:
                if method in ("PUT", "POST"):
                    PIPELINES.add(name)
                known = name in PIPELINES
            if method in ("PUT", "POST"):
                return self.send_json(200, {"acknowledged": True})
            return self.send_json(200 if known else 404, {name: {"processors": []}} if known else {})
        if len(parts) == 2 and parts[1] == "_refresh":
            return self.send_json(200, {"_shards": {"total": 2, "successful": 1, "failed": 0}})
        if len(parts) == 2 and parts[1] == "_count":
            with STATE_LOCK:
                n = len(INDICES.get(parts[0], []))
            return self.send_json(200, {"count": n, "_shards": {"total": 1, "successful": 1, "skipped": 0, "failed": 0}})
        if len(parts) == 2 and parts[1] == "_raw":
            # Test helper: the sources exactly as stored, from position `from` on.
            start = int(query.get("from", ["0"])[0])
            with STATE_LOCK:
                stored = list(INDICES.get(parts[0], []))
            reply = {"total": len(stored), "docs": [e[1] for e in stored[start:]],
                     "ids": [e[0] for e in stored[start:]]}
            if query.get("with_time", ["0"])[0] == "1":
                reply["times"] = [e[2] for e in stored[start:]]
            return self.send_json(200, reply)
        if len(parts) == 2 and parts[1] == "_search":
            size = int(query.get("size", ["10"])[0])
            with STATE_LOCK:
                docs = list(INDICES.get(parts[0], []))
            hits = [{"_index": parts[0], "_id": e[0], "_score": 1.0, "_source": json.loads(e[1])} for e in docs[:size]]
            return self.send_json(200, {"took": 1, "timed_out": False,
                                        "hits": {"total": {"value": len(docs), "relation": "eq"}, "hits": hits}})
        if len(parts) == 1 and method == "DELETE":
            with STATE_LOCK:
                INDICES.pop(parts[0], None)
                IDS.pop(parts[0], None)
            return self.send_json(200, {"acknowledged": True})
        if len(parts) == 1 and method in ("PUT", "HEAD", "GET"):
            with STATE_LOCK:
                exists = parts[0] in INDICES
                if method == "PUT":
                    INDICES.setdefault(parts[0], [])
            return self.send_json(200 if exists or method == "PUT" else 404, {"acknowledged": True})
        return self.send_json(404, error_body(404, "not_found", "no route for " + method + " " + url.path))

    def hostile(self, nested, huge_mb):
        with STATE_LOCK:
            count_injected("hostile")
        size = nested if nested else huge_mb << 20
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(size))
        self.send_header("X-Elastic-Product", "Elasticsearch")
        self.end_headers()
        chunk = (b"[" if nested else b" ") * (1 << 16)
        left = size
        while left > 0:
            self.wfile.write(chunk[:min(left, len(chunk))])
            left -= min(left, len(chunk))

    def root(self):
        version = {"number": CONFIG["version"], "build_flavor": "default", "build_type": "tar",
                   "build_hash": "0" * 40, "build_date": "2024-02-01T13:07:13.727175297Z", "build_snapshot": False,
                   "lucene_version": "9.9.2", "minimum_wire_compatibility_version": "7.17.0",
                   "minimum_index_compatibility_version": "7.0.0"}
        if CONFIG["distribution"] == "opensearch":
            version["distribution"] = "opensearch"
            del version["build_flavor"]
        self.send_json(200, {"name": "local", "cluster_name": "test", "cluster_uuid": "local-uuid",
                             "version": version, "tagline": "You Know, for Search"})

    def fault(self, method, parts, body):
        if method == "GET":
            with STATE_LOCK:
                return self.send_json(200, {"stats": STATS, "faults": FAULTS})
        req = json.loads(body or b"{}")
        with STATE_LOCK:
            if req.pop("reset", False):
                FAULTS.update({"fail_next": 0, "reject_items": 0, "delay_next": 0, "drop_next": 0,
                               "transient_rate": 0.0, "item_reject_rate": 0.0, "drop_stored_rate": 0.0, "max_body_bytes": 0,
                               "down_until": 0.0, "nested_reply": 0, "huge_reply_mb": 0,
                               "fail_reason": "injected failure"})
            if "down_ms" in req:
                FAULTS["down_until"] = time.time() + req.pop("down_ms") / 1000.0
            FAULTS.update(req)
        return self.send_json(200, {"acknowledged": True})

    def bulk(self, path_index, body, filter_path=None):
        with STATE_LOCK:
            STATS["bulk_requests"] += 1
            fault = None
            if FAULTS["drop_next"] > 0:
                FAULTS["drop_next"] -= 1
                fault = "drop"
            elif FAULTS["fail_next"] > 0:
                FAULTS["fail_next"] -= 1
                fault = "fail"
            elif FAULTS["delay_next"] > 0:
                FAULTS["delay_next"] -= 1
                fault = "delay"
            elif FAULTS["transient_rate"] > 0 and random.random() < FAULTS["transient_rate"]:
                fault = random.choice(["429", "503", "drop", "slow"])
            if fault:
                count_injected(fault)
            fail_status = FAULTS["fail_status"]
            fail_reason = FAULTS["fail_reason"]
            delay_ms = FAULTS["delay_ms"] if fault == "delay" else FAULTS["slow_ms"]
            max_body = FAULTS["max_body_bytes"]
        if fault == "drop":
            raise Drop()
        if fault in ("delay", "slow"):
            time.sleep(delay_ms / 1000.0)
        if fault == "fail":
            return self.send_json(fail_status, error_body(fail_status, "injected_fault", fail_reason))
        if fault in ("429", "503"):
            status = int(fault)
            etype = "es_rejected_execution_exception" if status == 429 else "unavailable_shards_exception"
            return self.send_json(status, error_body(status, etype, "injected " + fault))
        if max_body and len(body) > max_body:
            return self.send_json(413, error_body(413, "content_too_long", "body larger than max_body_bytes"))
        if not body.endswith(b"\n"):
            return self.send_json(400, error_body(400, "illegal_argument_exception",
                                                  "The bulk request must be terminated by a newline [\\n]"))
        lines = body.split(b"\n")[:-1]
        items, stored = [], []
        v8 = CONFIG["distribution"] != "opensearch" and int(CONFIG["version"].split(".")[0]) >= 8
        parse_error = "document_parsing_exception" if v8 else "mapper_parsing_exception"
        i = 0
        while i < len(lines):
            raw = lines[i]
            i += 1
            if not raw.strip():
                continue
            try:
                action = json.loads(raw)
                (op, meta), = action.items()
            except Exception:
                return self.send_json(400, error_body(400, "illegal_argument_exception",
                                                      "Malformed action/metadata line [%d]" % i))
            if v8 and "_type" in meta:
                return self.send_json(400, error_body(400, "illegal_argument_exception",
                                                      "Action/metadata line [%d] contains an unknown parameter [_type]" % i))
            index = meta.get("_index", path_index)
            given_id = meta.get("_id")
            doc_id = given_id or uuid.uuid4().hex[:20]
            if op == "delete":
                items.append({op: {"_index": index, "_id": doc_id, "status": 404, "result": "not_found"}})
                continue
            if i >= len(lines) + 1:
                break
            payload = lines[i] if i < len(lines) else b""
            i += 1
            with STATE_LOCK:
                reject = FAULTS["reject_items"] > 0 or (FAULTS["item_reject_rate"] > 0 and
                                                        random.random() < FAULTS["item_reject_rate"])
                if FAULTS["reject_items"] > 0:
                    FAULTS["reject_items"] -= 1
                if reject:
                    count_injected("item_429")
            if reject:
                items.append({op: {"_index": index, "_id": doc_id, "status": 429, "error": {
                    "type": "es_rejected_execution_exception", "reason": "rejected execution (injected)"}}})
                continue
            try:
                source = json.loads(payload)
                if not isinstance(source, dict):
                    raise ValueError("not an object")
            except Exception as exc:
                items.append({op: {"_index": index, "_id": doc_id, "status": 400, "error": {
                    "type": parse_error, "reason": "failed to parse: %s" % str(exc)[:100]}}})
                continue
            with STATE_LOCK:
                exists = given_id is not None and (given_id in IDS.get(index, {}) or
                                                   any(e[0] == index and e[1] == given_id for e in stored))
            if exists and op == "create":
                with STATE_LOCK:
                    STATS["conflicts"] += 1
                items.append({op: {"_index": index, "_id": doc_id, "status": 409, "error": {
                    "type": "version_conflict_engine_exception",
                    "reason": "[%s]: version conflict, document already exists (current version [1])" % doc_id}}})
                continue
            stored.append((index, doc_id, payload.decode("utf-8", "replace")))
            item = {"_index": index, "_id": doc_id, "_version": 2 if exists else 1,
                    "result": "updated" if exists else "created",
                    "_shards": {"total": 2, "successful": 1, "failed": 0}, "status": 200 if exists else 201,
                    "_seq_no": 0, "_primary_term": 1}
            if not v8:
                item["_type"] = "_doc"
            items.append({op: item})
        with STATE_LOCK:
            now = time.time()
            for index, doc_id, src in stored:
                docs = INDICES.setdefault(index, [])
                ids = IDS.setdefault(index, {})
                if doc_id in ids:  # the same _id: replaced in place, first time kept
                    at = ids[doc_id]
                    docs[at] = (doc_id, src, docs[at][2])
                    STATS["replaced"] += 1
                else:
                    ids[doc_id] = len(docs)
                    docs.append((doc_id, src, now))
            STATS["items"] += len(items)
            STATS["docs"] += len(stored)
            drop_stored = FAULTS["drop_stored_rate"] > 0 and random.random() < FAULTS["drop_stored_rate"]
            if drop_stored:
                count_injected("drop_after_store")
        if drop_stored:  # the engine kept the bulk, but the answer never arrives: the client sends it again
            raise Drop()
        errors = any("error" in list(it.values())[0] for it in items)
        reply = {"took": 1, "errors": errors, "items": items}
        if filter_path:
            reply = filtered(reply, filter_path)
        return self.send_json(200, reply)

    def dispatch(self, method):
        try:
            self.handle_any(method)
        except Drop:
            if self.is_bulk():
                with STATE_LOCK:
                    STATS["bulk_dropped"] = STATS.get("bulk_dropped", 0) + 1
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def do_GET(self):
        self.dispatch("GET")

    def do_POST(self):
        self.dispatch("POST")

    def do_PUT(self):
        self.dispatch("PUT")

    def do_DELETE(self):
        self.dispatch("DELETE")

    def do_HEAD(self):
        self.dispatch("HEAD")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--version", default="8.12.1")
    ap.add_argument("--distribution", default="elasticsearch")
    ap.add_argument("--user")
    ap.add_argument("--root", choices=["served", "absent", "forbidden"], default="served")
    ap.add_argument("--sigv4", help="REGION:SERVICE:KEY:SECRET[:TOKEN]: every request must carry a valid AWS "
                                    "Signature Version 4 (checked with botocore)")
    ap.add_argument("--clock-skew-s", type=float, default=0, help="the endpoint's clock runs this far ahead")
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    args = ap.parse_args()
    if args.sigv4:
        try:
            import botocore  # noqa: F401
        except ImportError:  # the AWS SDK comes from Debian's python3-botocore
            if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
                os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
            raise
        parts = args.sigv4.split(":")
        CONFIG["sigv4"] = (parts[0], parts[1], parts[2], parts[3], parts[4] if len(parts) > 4 else "")
        CONFIG["clock_skew_s"] = args.clock_skew_s
    CONFIG.update(version=args.version, distribution=args.distribution, user=args.user, root=args.root)
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    if args.tls_cert:
        import ssl
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(port))
        os.replace(args.port_file + ".tmp", args.port_file)
    print("es endpoint listening on 127.0.0.1:%d" % port, flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
