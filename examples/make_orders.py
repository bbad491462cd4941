#!/usr/bin/env python3
"""Writes examples/orders.ndjson: a few hundred change events of an orders table (inserts, updates,
deletes, DDL and GTID sets) in the replay tool's input format. Deterministic."""
import json
import random
import sys

random.seed(7)
UUID = "3e11fa47-71ca-11e1-9e33-c80aa9429562"
COLUMNS = ["id", "customer", "amount", "status", "optype", "doc"]
STATES = [3, 253, 246, 253, 253, 245]  # INT, VARCHAR, NEWDECIMAL, VARCHAR, VARCHAR, JSON
events = []
gtid = 0
ts = 1733650000000000
orders = {}


def sql_str(s):
    return "'" + s.replace("\\", "\\\\").replace("'", "\\'") + "'"


def row(order, optype):
    doc = json.dumps(order, separators=(",", ":"))
    return [str(order["id"]), sql_str(order["customer"]), "%.2f" % order["amount"], sql_str(order["status"]),
            sql_str(optype), sql_str(doc)]


def base(kind, sql=""):
    global gtid, ts
    gtid += 1
    ts += random.randint(1000, 900000)
    return {"type": kind, "db": "shop", "table": "orders", "gtid": "%s:%d" % (UUID, gtid), "sql": sql,
            "xid": str(1000 + gtid), "original_commit_ts": ts, "immediate_commit_ts": ts + 120,
            "original_server_version": 80036, "immediate_server_version": 80036}


events.append(base("CREATE_TABLE", "CREATE TABLE orders (id INT PRIMARY KEY, customer VARCHAR(64), "
                                   "amount DECIMAL(10,2), status VARCHAR(16), optype VARCHAR(8), doc JSON)"))
for n in range(1, 331):
    r = random.random()
    if r < 0.62 or not orders:
        oid = len(orders) + 1 + n * 10
        order = {"id": oid, "customer": random.choice(["ada", "grace", "linus", "barbara", "ken", "edsger"]),
                 "amount": round(random.uniform(3, 900), 2), "status": "new",
                 "items": [{"sku": "SKU-%03d" % random.randint(1, 200), "qty": random.randint(1, 5)}
                           for _ in range(random.randint(1, 3))]}
        orders[oid] = order
        e = base("INSERT")
        rows = [row(order, "insert")]
        if random.random() < 0.1:  # a multi-row insert
            extra = dict(order, id=oid + 1, customer="bulk")
            orders[oid + 1] = extra
            rows.append(row(extra, "insert"))
        e.update(columns=COLUMNS, column_states=STATES, rows=rows)
    elif r < 0.82:
        oid = random.choice(list(orders))
        old = dict(orders[oid])
        new = dict(old, status=random.choice(["paid", "shipped", "cancelled"]))
        orders[oid] = new
        e = base("UPDATE")
        e.update(columns=COLUMNS, column_states=STATES, olds=[row(old, "update")], rows=[row(new, "update")])
    elif r < 0.90:
        oid = random.choice(list(orders))
        e = base("DELETE")
        e.update(columns=COLUMNS, column_states=STATES, rows=[row(orders.pop(oid), "delete")])
    elif r < 0.95:
        e = base("GTIDSET")
        e.update(db="", table="", sql="", gtid="%s:1-%d" % (UUID, gtid))
    else:
        e = base("ALTER_TABLE", "ALTER TABLE orders ADD COLUMN note%d VARCHAR(32)" % n)
    events.append(e)

out = sys.argv[1] if len(sys.argv) > 1 else "examples/orders.ndjson"
with open(out, "w") as f:
    f.write("# Change events of shop.orders for cdc-es-replay (one JSON object per line).\n")
    for e in events:
        f.write(json.dumps(e, separators=(",", ":")) + "\n")
