"""The party tools against the module on Python lists: wall time and peak memory.

Generates a bank table of --rows accounts (as CSV and as Parquet) and a
payments table of --payments payments, then measures

* a bank build: `ostrelline build-store` on the CSV table and on the Parquet
  table, against `build_okvs` on a list of row lists read from the same table;
* a payment run: every payment-side and bank-side step of the command
  (initiate, randomize twice, combine, decrypt twice, finish) on the Parquet
  payments table, against the same calls of the module on Python lists
  (one call per step over all payments, rows length-prefixed as the tools do,
  so that both runs use the same stores and must give the same match bits).

Every measured piece runs in a child process of its own; its peak resident
memory is the child's ru_maxrss from wait4 (which covers the process that
`build-store` forks for the build). Times are wall-clock seconds of the
child; "load" is the module run's reading of the table into lists.
Both runs' match bits are compared with each other and with the truth.

    PYTHONPATH=python python bench/tools_bench.py                      # 1,000,000 rows and payments
    PYTHONPATH=python python bench/tools_bench.py --rows 100000 --payments 100000

At the default sizes it takes an hour or more on a shared two-core machine
(each build of 1,000,000 rows some minutes, each payment run a quarter of an
hour or more); it is not part of the tests.
"""
import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.join(os.path.dirname(HERE), "python")


# --------------------------------------------------------------------------- data


def account(rng, country):
    return f"{country}{rng.randrange(10**12):012d}", f"{rng.randrange(10000):04d}"


def child_tables(rows, payments, match_share, seed):
    """Writes the tables and truth.bits (one byte a payment: both rows held) into the current folder."""
    import pyarrow as pa
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    rows, payments, match_share, seed = int(rows), int(payments), float(match_share), int(seed)
    rng = random.Random(seed)
    senders = list({account(rng, "DE") for _ in range(rows)})
    receivers = list({account(rng, "FR") for _ in range(rows)})
    held_s, held_r = set(senders), set(receivers)
    columns = {k: [] for k in ("id", "s_iban", "s_branch", "r_iban", "r_branch")}
    truth = []
    for i in range(payments):
        if rng.random() < match_share:
            s, r = rng.choice(senders), rng.choice(receivers)
        else:
            s = rng.choice(senders) if rng.random() < 0.5 else account(rng, "DE")
            r = rng.choice(receivers) if rng.random() < 0.5 else account(rng, "FR")
        for key, value in zip(columns, (f"P{i:08d}", *s, *r)):
            columns[key].append(value)
        truth.append(s in held_s and r in held_r)
    for name, table in (("sender", senders), ("receiver", receivers)):
        arrow = pa.table({"iban": [a for a, _ in table], "branch": [b for _, b in table]})
        pcsv.write_csv(arrow, f"{name}.csv")
        pq.write_table(arrow, f"{name}.parquet")
    pq.write_table(pa.table(columns), "payments.parquet")
    with open("truth.bits", "wb") as file:
        file.write(bytes(truth))


# --------------------------------------------------------------------------- measuring children


def measure(argv, cwd):
    """Runs argv in a child; returns (wall seconds, peak RSS in MiB, standard output).

    The peak is the child's ru_maxrss from wait4. Linux counts in it the
    memory the child had before it exec'd, which is this process's (the
    child starts as a copy of it, or on its memory): so this process keeps
    small (the tables are made in a child, pyarrow is not imported here until
    the end) and the figure of an empty child is printed as the floor."""
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""))
    with tempfile.TemporaryFile() as errors:
        began = time.perf_counter()
        child = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=errors)
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)  # this child's own figures, not all children's
        wall = time.perf_counter() - began
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            errors.seek(0)
            sys.exit(f"{' '.join(argv)} failed ({child.returncode}):\n{errors.read().decode(errors='replace')}")
    return wall, usage.ru_maxrss / 1024, out.decode()


def tool(cwd, *args):
    return measure([sys.executable, "-m", "ostrelline_tools", *args, "--progress", "never"], cwd)


def module_child(cwd, *args):
    return measure([sys.executable, os.path.abspath(__file__), "--child", *args], cwd)


# --------------------------------------------------------------------------- the module on Python lists (children)


def _encode(values):
    # The tools' row encoding: every column value preceded by its UTF-8 length and a colon.
    return "".join(f"{len(v.encode('utf-8'))}:{v}" for v in values)


def _payload(path):
    from ostrelline_tools import files

    with files.open_file(path) as stored:
        return stored.payload()


def child_build(table, key_path, construction):
    import pyarrow.parquet as pq
    import pyarrow.csv as pcsv

    import ostrelline

    began = time.perf_counter()
    if table.endswith(".parquet"):
        arrow = pq.read_table(table)
    else:
        arrow = pcsv.read_csv(table, convert_options=pcsv.ConvertOptions(column_types={"iban": "string",
                                                                                         "branch": "string"}))
    rows = [list(r) for r in zip(arrow.column("iban").to_pylist(), arrow.column("branch").to_pylist())]
    del arrow
    load = time.perf_counter() - began
    if construction == "hiding":
        import ostrelline_hiding

        build_okvs = ostrelline_hiding.build_okvs
    else:
        build_okvs = ostrelline.build_okvs
    began = time.perf_counter()
    store = build_okvs(_payload(key_path), rows)
    print(json.dumps({"load": load, "build": time.perf_counter() - began, "bytes": len(store)}))


def child_payments(table, out):
    import pyarrow.parquet as pq

    import ostrelline

    times = {}
    began = time.perf_counter()
    arrow = pq.read_table(table)
    lists = {c: arrow.column(c).to_pylist() for c in ("s_iban", "s_branch", "r_iban", "r_branch")}
    del arrow
    senders = [[_encode(v)] for v in zip(lists["s_iban"], lists["s_branch"])]
    receivers = [[_encode(v)] for v in zip(lists["r_iban"], lists["r_branch"])]
    del lists
    store_s, store_r = _payload("sender.store"), _payload("receiver.store")
    pk_q, sk_q = _payload("network.pub"), _payload("network.sec")
    sk_s, sk_r = _payload("sender.sec"), _payload("receiver.sec")
    times["load"] = time.perf_counter() - began

    def step(name, function, *args):
        began = time.perf_counter()
        result = function(*args)
        times[name] = times.get(name, 0.0) + time.perf_counter() - began
        return result

    queries = step("initiate", ostrelline.initiate_queries, senders, receivers, store_s, store_r, pk_q)
    del senders, receivers
    copy1 = step("randomize", ostrelline.randomize, queries)
    copy2 = step("randomize", ostrelline.randomize, queries)
    del queries
    s, r, g, d = step("combine", ostrelline.combine, copy1, copy2)
    del copy1, copy2
    ds = step("decrypt", ostrelline.decrypt, s, sk_s)
    dr = step("decrypt", ostrelline.decrypt, r, sk_r)
    matches = step("finish", ostrelline.finish, ds, dr, g, d, sk_q)
    with open(out, "wb") as file:
        file.write(bytes(matches))
    print(json.dumps(times))


# --------------------------------------------------------------------------- the benchmark


def row(label, wall, peak, note=""):
    print(f"  {label:<34} {wall:9.2f} s {peak:9.0f} MiB  {note}")


def main():
    parser = argparse.ArgumentParser(description="The party tools against the module on Python lists.")
    parser.add_argument("--rows", type=int, default=1_000_000, help="accounts per bank (default 1,000,000)")
    parser.add_argument("--payments", type=int, default=1_000_000, help="payments (default 1,000,000)")
    parser.add_argument("--match-share", type=float, default=0.6)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--specified", action="store_true", help="build the specified kind of store, not the hiding one")
    parser.add_argument("--chunk-size", type=int, default=4096, help="the tools' --chunk-size")
    parser.add_argument("--keep", metavar="DIR", help="work in DIR and keep it (default: a temporary folder)")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        {"tables": child_tables, "build": child_build, "payments": child_payments}[args.child[0]](*args.child[1:])
        return
    construction = "specified" if args.specified else "hiding"
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        run(args.keep, args, construction)
    else:
        with tempfile.TemporaryDirectory(prefix="tools-bench-") as folder:
            run(folder, args, construction)


def run(d, args, construction):
    wall, _, _ = module_child(d, "tables", str(args.rows), str(args.payments), str(args.match_share), str(args.seed))
    with open(os.path.join(d, "truth.bits"), "rb") as file:
        truth = [bool(b) for b in file.read()]
    _, floor, _ = measure([sys.executable, "-c", "pass"], d)
    print(f"{args.rows:,} accounts per bank, {args.payments:,} payments ({sum(truth):,} with both held), "
          f"{construction} stores, {os.cpu_count()} cores; tables made in {wall:.1f} s; "
          f"peak RSS of an empty child (the floor): {floor:.0f} MiB")
    for role in ("sender", "receiver", "network"):
        tool(d, "keygen", "--role", role, "--public", f"{role}.pub", "--secret", f"{role}.sec")
    extra = ["--specified"] if args.specified else []
    chunk = ["--chunk-size", str(args.chunk_size)]

    print(f"\nBank build, {args.rows:,} rows ({'wall':>9}   {'peak RSS':>9})")
    wall, peak, _ = tool(d, "build-store", "--key", "sender.pub", "--input", "sender.csv", "--columns",
                         "iban,branch", "--out", "sender.store", *extra)
    row("tools, CSV table", wall, peak)
    wall, peak, _ = tool(d, "build-store", "--key", "receiver.pub", "--input", "receiver.parquet", "--columns",
                         "iban,branch", "--out", "receiver.store", *extra)
    row("tools, Parquet table", wall, peak)
    wall, peak, out = module_child(d, "build", "sender.parquet", "sender.pub", construction)
    figures = json.loads(out)
    row("module on lists (from Parquet)", wall, peak,
        f"load {figures['load']:.2f} s, build_okvs {figures['build']:.2f} s")

    print(f"\nPayment run, {args.payments:,} payments ({'wall':>9}   {'peak RSS':>9})")
    steps = [
        ("initiate", ["initiate", "--payments", "payments.parquet", "--sender-columns", "s_iban,s_branch",
                      "--receiver-columns", "r_iban,r_branch", "--sender-store", "sender.store", "--receiver-store",
                      "receiver.store", "--network-key", "network.pub", "--out", "queries.ost", *chunk]),
        ("randomize 1", ["randomize", "queries.ost", "--out", "copy1.ost", *chunk]),
        ("randomize 2", ["randomize", "queries.ost", "--out", "copy2.ost", *chunk]),
        ("combine", ["combine", "copy1.ost", "copy2.ost", "--sender-out", "s.ost", "--receiver-out", "r.ost",
                     "--gamma-out", "g.ost", "--delta-out", "d.ost", *chunk]),
        ("decrypt (sending bank)", ["decrypt", "s.ost", "--secret-key", "sender.sec", "--out", "ds.ost", *chunk]),
        ("decrypt (receiving bank)", ["decrypt", "r.ost", "--secret-key", "receiver.sec", "--out", "dr.ost", *chunk]),
        ("finish", ["finish", "--sender", "ds.ost", "--receiver", "dr.ost", "--gamma", "g.ost", "--delta", "d.ost",
                    "--secret-key", "network.sec", "--payments", "payments.parquet", "--out", "results.parquet",
                    *chunk]),
    ]
    total_wall, total_peak = 0.0, 0.0
    for label, argv in steps:
        wall, peak, _ = tool(d, *argv)
        row(f"tools: {label}", wall, peak)
        total_wall, total_peak = total_wall + wall, max(total_peak, peak)
    row("tools, all steps", total_wall, total_peak, "(sum of walls, largest peak)")
    wall, peak, out = module_child(d, "payments", "payments.parquet", "module.bits")
    figures = json.loads(out)
    row("module on lists, all steps", wall, peak, ", ".join(f"{k} {v:.2f} s" for k, v in figures.items()))

    import pyarrow.parquet as pq

    tools_bits = pq.read_table(os.path.join(d, "results.parquet")).column("match").to_pylist()
    with open(os.path.join(d, "module.bits"), "rb") as file:
        module_bits = [bool(b) for b in file.read()]
    agree = tools_bits == module_bits == truth
    print(f"\nmatch bits: tools {sum(tools_bits):,}, module {sum(module_bits):,}, truth {sum(truth):,}; "
          f"{'all agree' if agree else 'DISAGREE'}")
    if not agree:
        sys.exit(1)


if __name__ == "__main__":
    main()
