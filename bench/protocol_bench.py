"""Throughput and peak memory of every protocol operation, against the floor
set by the primitives each one rests on.

    python bench/protocol_bench.py [--sizes 1000,10000,100000] [--baseline DIR] [--rounds K]

Builds the module and the primitive timer (bench/protocol_floors.cpp) in
build/bench, measures the primitives, then runs the protocol once per size in
a fresh process and prints, per operation: entries per second, microseconds
per entry, the floor in microseconds, their ratio, and the peak resident
memory during the call; then the portable backend (the reference) and every
vector backend the CPU runs, per operation, side by side
(bench/batch_bench.cpp). It names the backend the module ran on, found as
the module's dispatch finds it: OSTRELLINE_BATCH_BACKEND if set (and the CPU
runs that backend), else the /proc/cpuinfo flags; "portable" is the lane path
on one lane of the scalar field.

The membership-hiding builder (ostrelline_hiding.build_okvs) is timed in the
same run as build_okvs. With --baseline DIR (a directory holding another
build of the module, e.g. build/<old>/src of an earlier commit), every size
also runs on that build, rounds alternating between the two, and the best
times of build_okvs, the hiding builder and initiate_queries are compared.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# What each operation must at least do per entry, in primitive calls.
FLOORS = {
    "build_okvs": ("6 x (fixed-base + point_to_uniform_bytes)",
                   lambda p: 6 * (p["fixed_base"] + p["point_to_uniform_bytes"])),
    # Not counted: the 12 doublings that clear the decoded points' small-order
    # components (together about a third of one variable-base multiplication).
    "initiate_queries": ("4 uniform_bytes_to_point + 3 variable-base + 1 fixed-base",
                         lambda p: 4 * p["uniform_bytes_to_point"] + 3 * p["variable_base"] + p["fixed_base"]),
    "randomize": ("4 variable-base", lambda p: 4 * p["variable_base"]),
    "combine": ("8 decompress + 4 add + 4 compress",
                lambda p: 8 * p["decompress"] + 4 * p["add"] + 4 * p["compress"]),
    "decrypt": ("1 variable-base", lambda p: p["variable_base"]),
    "finish": ("1 variable-base + 4 decompress", lambda p: p["variable_base"] + 4 * p["decompress"]),
}


def build(build_dir):
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, *generator, "-DCMAKE_BUILD_TYPE=Release",
                    "-DOSTRELLINE_BENCH=ON", "-DOSTRELLINE_PYTHON=ON", "-DOSTRELLINE_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "ostrelline", "protocol_floors",
                    "batch_bench"], check=True,
                   stdout=subprocess.DEVNULL)


BACKENDS = ("portable", "avx2", "avx512f", "avx512ifma")


def batch_backend():
    """The batch backend the module's operations run on, and how that was found.

    The module does not say which one it took, so this repeats its dispatch
    (edwards25519/batch/dispatch.cpp): the fastest backend the CPU has, or
    the one OSTRELLINE_BATCH_BACKEND names if the CPU has that one;
    "portable" as the best means the reference (one lane of the scalar field) serves.
    """
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            flags = next((set(line.split(":", 1)[1].split()) for line in cpuinfo if line.startswith("flags")), set())
        source = "/proc/cpuinfo flags"
    except OSError:
        flags, source = set(), "no /proc/cpuinfo, so no vector flags"
    avx512 = {"avx512f", "avx512dq", "avx512bw", "avx512vl"} <= flags
    runs = {"portable": True, "avx2": "avx2" in flags, "avx512f": avx512, "avx512ifma": avx512 and "avx512ifma" in flags}
    best = [name for name in BACKENDS if runs[name]][-1]
    seen = [f for f in ("avx2", "avx512f", "avx512dq", "avx512bw", "avx512vl", "avx512ifma") if f in flags]
    how = f"the fastest this CPU runs, by {source}: " + (", ".join(seen) or "no AVX2 or AVX-512")
    wanted = os.environ.get("OSTRELLINE_BATCH_BACKEND")
    if wanted is not None:
        if runs.get(wanted):
            best, how = wanted, f"named by OSTRELLINE_BATCH_BACKEND, which this CPU runs; {how.split(', by ', 1)[1]}"
        else:
            how += f"; OSTRELLINE_BATCH_BACKEND={wanted} ignored, as the module ignores it: not a backend this " \
                   "CPU runs"
    return best, how


def describe_backend(name):
    return "portable, i.e. the reference path on one lane" if name == "portable" else name


def primitives(build_dir):
    out = subprocess.run([os.path.join(build_dir, "bench", "protocol_floors")], check=True, capture_output=True,
                         text=True).stdout
    return {name: float(value) for name, value in (line.split() for line in out.splitlines())}


def _status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def _measure(results, name, entries, call):
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # reset the peak resident size
    except OSError:
        pass
    before = _status("VmRSS")
    start, cpu_start = time.perf_counter(), time.process_time()
    value = call()
    seconds, cpu_seconds = time.perf_counter() - start, time.process_time() - cpu_start
    results[name] = {"entries": entries, "seconds": seconds, "cpu_seconds": cpu_seconds,
                     "peak_mib": _status("VmHWM"), "growth_mib": _status("VmHWM") - before}
    return value


def worker(n):
    import ostrelline

    results = {}
    (spk, ssk), (rpk, rsk), (qpk, qsk) = (ostrelline.key_gen() for _ in range(3))
    sender_rows = [[f"acct-{i:09d}", "BANK-S", "EUR"] for i in range(n)]
    receiver_rows = [[f"acct-{i:09d}", "BANK-R", "EUR"] for i in range(n)]
    s_store = _measure(results, "build_okvs", n, lambda: ostrelline.build_okvs(spk, sender_rows))
    try:
        import ostrelline_hiding
    except ImportError:  # a baseline build without the second module
        pass
    else:
        _measure(results, "hiding build_okvs", n, lambda: ostrelline_hiding.build_okvs(spk, sender_rows))
    r_store = ostrelline.build_okvs(rpk, receiver_rows)
    queries_s = [sender_rows[(7 * i) % n] if i % 2 else [f"none-{i}"] for i in range(n)]
    queries_r = [receiver_rows[(11 * i) % n] for i in range(n)]
    stream = _measure(results, "initiate_queries", n,
                      lambda: ostrelline.initiate_queries(queries_s, queries_r, s_store, r_store, qpk))
    first = _measure(results, "randomize", n, lambda: ostrelline.randomize(stream))
    second = ostrelline.randomize(stream)
    s, r, g, d = _measure(results, "combine", n, lambda: ostrelline.combine(first, second))
    sd = _measure(results, "decrypt", n, lambda: ostrelline.decrypt(s, ssk))
    rd = ostrelline.decrypt(r, rsk)
    matches = _measure(results, "finish", n, lambda: ostrelline.finish(sd, rd, g, d, qsk))
    expected = [i % 2 == 1 for i in range(n)]
    results["correct"] = matches == expected
    print(json.dumps(results))


def main():
    parser = argparse.ArgumentParser(description="protocol benchmark")
    parser.add_argument("--sizes", default="1000,10000,100000")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--baseline", help="directory of another build of the module to compare against")
    parser.add_argument("--rounds", type=int, default=1, help="runs per size and build; the best is kept")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.worker)
        return 0

    backend, how = batch_backend()
    print(f"batch backend of this run: {describe_backend(backend)} ({how})")
    build(args.build_dir)
    prims = primitives(args.build_dir)
    print("primitives, microseconds per call (same run):")
    for name, value in prims.items():
        print(f"  {name:<24} {value:8.2f}")
    def run(n, module_dir):
        env = dict(os.environ, PYTHONPATH=module_dir)
        out = subprocess.run([sys.executable, __file__, "--worker", str(n), "--build-dir", args.build_dir],
                             env=env, check=True, capture_output=True, text=True).stdout
        return json.loads(out)

    def best(runs):
        kept = runs[0]
        for other in runs[1:]:
            for name, r in other.items():
                if isinstance(r, dict) and r["cpu_seconds"] < kept[name]["cpu_seconds"]:
                    kept[name] = r
        kept["correct"] = all(r["correct"] for r in runs)
        return kept

    ok = True
    for n in (int(s) for s in args.sizes.split(",")):
        ours, theirs = [], []
        for _ in range(args.rounds):
            ours.append(run(n, os.path.join(args.build_dir, "src")))
            if args.baseline:
                theirs.append(run(n, args.baseline))
        results = best(ours)
        ok = ok and results.pop("correct")
        if args.baseline:
            baseline = best(theirs)
            # CPU seconds of the calling process: other programs on shared
            # cores slow the wall clock of both builds by different amounts.
            print(f"\nn = {n:,}: this build against {args.baseline}, best of {args.rounds}, CPU seconds")
            pairs = [("build_okvs", "build_okvs"), ("hiding build_okvs", "build_okvs"),
                     ("initiate_queries", "initiate_queries")]
            for name, against in pairs:
                if name in results:
                    a, b = results[name]["cpu_seconds"], baseline[against]["cpu_seconds"]
                    print(f"  {name:<18} {a:9.3f}  baseline {against:<17} {b:9.3f}  ratio {a / b:5.3f}")
        print(f"\nn = {n:,}")
        print(f"  {'operation':<17} {'entries/s':>11} {'us/entry':>9} {'floor us':>9} {'ratio':>6} {'peak MiB':>9}"
              f" {'growth':>7}   floor")
        for name, (what, floor) in FLOORS.items():
            r = results[name]
            per = r["seconds"] / r["entries"] * 1e6
            f = floor(prims)
            print(f"  {name:<17} {r['entries'] / r['seconds']:>11,.0f} {per:>9.2f} {f:>9.2f} {per / f:>6.2f}"
                  f" {r['peak_mib']:>9.1f} {r['growth_mib']:>7.1f}   {what}")
    print("\nmatch results correct:", ok)
    print(f"batch backend of these figures: {describe_backend(backend)} ({how})")
    # The C++ benchmark runs each operation on the reference and on every
    # vector backend the CPU runs, with the same inputs.
    print("\nthe portable backend against each vector backend, same run (bench/batch_bench.cpp):")
    out = subprocess.run([os.path.join(args.build_dir, "bench", "batch_bench")], check=True, capture_output=True,
                         text=True).stdout
    print("\n".join("  " + line for line in out.splitlines()))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
