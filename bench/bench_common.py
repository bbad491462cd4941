"""What the network and engine benchmarks share: the generated documents, the input files made from them
(the documents one per line, and the bulk bodies the writer would send), the clients' CPU time and the
median the reports take."""
import os


def doc(i, size):
    """Document i, exactly size bytes."""
    head = '{"id":%d,"payload":"' % i
    return head + "x" * (size - len(head) - 2) + '"}'


def write_inputs(tmp, size, n, bulk):
    """Writes n documents of size bytes to an NDJSON file, and the same documents as bulk bodies of `bulk`
    documents each (the writer's action line, then the document). Returns (docs file, [body files])."""
    docs_file = os.path.join(tmp, "docs%d.ndjson" % size)
    with open(docs_file, "w") as f:
        for i in range(n):
            f.write(doc(i, size) + "\n")
    bodies = []
    for b in range(n // bulk):
        path = os.path.join(tmp, "bulk%d_%d.ndjson" % (size, b))
        with open(path, "w") as f:
            for i in range(b * bulk, (b + 1) * bulk):
                f.write('{"index":{"_index":"bench"}}\n%s\n' % doc(i, size))
        bodies.append(path)
    return docs_file, bodies


def children_cpu():
    """CPU seconds of the finished child processes so far."""
    t = os.times()
    return t.children_user + t.children_system


def median(values):
    v = sorted(values)
    return v[len(v) // 2] if len(v) % 2 else (v[len(v) // 2 - 1] + v[len(v) // 2]) / 2
