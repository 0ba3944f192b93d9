"""Peak memory and time of a bank's `ostrelline build-store` and of the payment
network's `ostrelline initiate`, at a size given on the command line.

Generates a bank table of ROWS accounts (Parquet, as written by pyarrow: one
row group) and a payments table of --payments payments naming them, makes the
keys, then runs in child processes of their own

* `build-store` of the table for the sending and the receiving bank (both
  stores of the same size), against its bound: 2.5 times the store's size
  plus 100 MiB;
* `initiate` of the payments against both stores, against the two stores'
  sizes plus a chunk (`--chunk-size` queries of 128 bytes) plus 100 MiB.

Two figures of peak memory are printed for each run:

* "max RSS": ru_maxrss of the child from wait4, the largest resident set of
  any one process of its tree (build-store forks the process that builds);
* "tree": the largest sum over the processes of the tree of their
  proportional set sizes (Pss, /proc/PID/smaps_rollup), sampled every 10 ms,
  so that pages a forked child shares with its parent count once. A sample
  can only miss a peak, never invent one.

    PYTHONPATH=python python bench/build_memory_bench.py 1000000
    PYTHONPATH=build/h24m/src:python python bench/build_memory_bench.py 200000 --payments 50000 --keep /tmp/b

Not part of the tests (tests/test_tools_build_memory.py checks the bound of
build-store at 200,000 rows).
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
STORE_FIXED, STORE_CELL = 2072, 64


def store_size(rows):
    return STORE_FIXED + STORE_CELL * ((12 * rows + 4) // 5)


def make_tables(folder, rows, payments, seed):
    import pyarrow as pa
    import pyarrow.parquet as pq

    rng = random.Random(seed)
    distinct = {}
    while len(distinct) < rows:
        distinct[f"DE{rng.randrange(10**12):012d}"] = None
    ibans = list(distinct)
    branches = [f"{rng.randrange(10000):04d}" for _ in range(rows)]
    pq.write_table(pa.table({"iban": ibans, "branch": branches}), os.path.join(folder, "bank.parquet"))
    picks = [(rng.randrange(rows), rng.randrange(rows)) for _ in range(payments)]
    pq.write_table(pa.table({
        "s_iban": [ibans[s] for s, _ in picks], "s_branch": [branches[s] for s, _ in picks],
        "r_iban": [ibans[r] for _, r in picks], "r_branch": [branches[r] for _, r in picks],
    }), os.path.join(folder, "payments.parquet"))


def _tree(pid):
    pids = [pid]
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as file:
            children = file.read().split()
    except OSError:
        return pids
    for child in children:
        pids += _tree(int(child))
    return pids


def _pss(pid):
    try:
        with open(f"/proc/{pid}/smaps_rollup") as file:
            for line in file:
                if line.startswith("Pss:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def measure(argv, cwd):
    """Runs argv; returns (wall seconds, ru_maxrss in bytes, peak sampled tree Pss in bytes)."""
    began = time.perf_counter()
    child = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    tree_peak = 0
    while os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None:
        tree_peak = max(tree_peak, sum(_pss(p) for p in _tree(child.pid)))
        time.sleep(0.01)
    errors = child.stderr.read()
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - began
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(argv)} failed:\n{errors.decode(errors='replace')}")
    return wall, usage.ru_maxrss * 1024, tree_peak


def tool(folder, *args):
    # --force: a kept folder is run again over its outputs.
    return measure([sys.executable, "-m", "ostrelline_tools", *args, "--progress", "never", "--force"], folder)


def report(label, wall, peak, tree, bound):
    verdict = "within" if max(peak, tree) <= bound else "ABOVE"
    print(f"  {label:<28} {wall:8.1f} s   max RSS {peak / MIB:7.0f} MiB   tree {tree / MIB:7.0f} MiB   "
          f"bound {bound / MIB:7.0f} MiB ({verdict})", flush=True)


def run(folder, args):
    # In a child: ru_maxrss counts what a child held before it exec'd, a
    # copy of this process, so this one keeps small (no pyarrow here).
    subprocess.run([sys.executable, os.path.abspath(__file__), str(args.rows), "--payments", str(args.payments),
                    "--seed", str(args.seed), "--tables", folder], check=True)
    for role in ("sender", "receiver", "network"):
        if not os.path.exists(os.path.join(folder, f"{role}.sec")):  # a secret key is never overwritten
            tool(folder, "keygen", "--role", role, "--public", f"{role}.pub", "--secret", f"{role}.sec")
    construction = ["--specified"] if args.specified else []
    size = store_size(args.rows)
    print(f"{args.rows:,} rows a bank, {args.payments:,} payments, "
          f"{'specified' if args.specified else 'membership-hiding'} stores of {size:,} bytes "
          f"({size / MIB:.1f} MiB); {os.cpu_count()} cores")
    _, floor, _ = measure([sys.executable, "-c", "import ostrelline, pyarrow.parquet"], folder)
    print(f"  an interpreter with the module and pyarrow imported: max RSS {floor / MIB:.0f} MiB")
    bound = 2.5 * size + 100 * MIB
    for role in ("sender", "receiver"):
        wall, peak, tree = tool(folder, "build-store", "--key", f"{role}.pub", "--input", "bank.parquet",
                                "--columns", "iban,branch", "--out", f"{role}.store", *construction)
        report(f"build-store ({role})", wall, peak, tree, bound)
    chunk = 128 * args.chunk_size
    wall, peak, tree = tool(folder, "initiate", "--payments", "payments.parquet",
                            "--sender-columns", "s_iban=iban,s_branch=branch",
                            "--receiver-columns", "r_iban=iban,r_branch=branch",
                            "--sender-store", "sender.store", "--receiver-store", "receiver.store",
                            "--network-key", "network.pub", "--out", "queries.ost",
                            "--chunk-size", str(args.chunk_size))
    report("initiate", wall, peak, tree, 2 * size + chunk + 100 * MIB)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("rows", type=int, help="accounts a bank holds")
    parser.add_argument("--payments", type=int, help="payments (default: as many as rows)")
    parser.add_argument("--specified", action="store_true", help="build the specified kind of store")
    parser.add_argument("--chunk-size", type=int, default=4096, help="the tools' --chunk-size (default 4096)")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--keep", metavar="DIR", help="work in DIR and keep it (default: a temporary folder)")
    parser.add_argument("--tables", metavar="DIR", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.payments is None:
        args.payments = args.rows
    if args.tables:
        make_tables(args.tables, args.rows, args.payments, args.seed)
        return
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        run(args.keep, args)
    else:
        with tempfile.TemporaryDirectory(prefix="build-memory-") as folder:
            run(folder, args)


if __name__ == "__main__":
    main()
