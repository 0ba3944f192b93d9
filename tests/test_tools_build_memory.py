"""The memory a bank's single-process `ostrelline build-store` takes, against
the size of the store it writes.

A build holds the rows packed (one buffer of key bytes and one of offsets,
not a Python object a row), its values once, and the store in one buffer
that the module encodes in place and the building process writes straight
through a pipe into the file: its peak is at most 2.5 times the store's size
above what the same command takes for a table of a few rows (the
interpreter, pyarrow and the reading of a table), which the bound of 2.5
times the store plus 100 MiB allows. Sized by rows, measured in bytes: the
peak is that of the step's process or of the process it forks for the build
(which starts with its parent's pages), the larger.

The packed rows are checked to be the tools' encoded rows, with the key
bytes of the row ``[s]`` for each encoded string s, made distinct with the
first occurrences first (as ``dict.fromkeys`` of the strings); the store
the command builds from them is the module's build of those rows as lists
(tests/test_packed_build.py) and answers for every distinct row.
"""
import os
import random
import struct
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pytest.importorskip("ostrelline_hiding")

from ostrelline_parallel import layout  # noqa: E402
from ostrelline_tools import files, rows, steps  # noqa: E402
from test_packed_build import fixed_random, run_fixed  # noqa: E402,F401 - the fixture, shared

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.join(os.path.dirname(HERE), "python")
MIB = 1 << 20
ROWS = 200_000


def bank_table(path, count, seed=24):
    rng = random.Random(seed)
    ibans = [f"DE{rng.randrange(10**12):012d}" for _ in range(count)]
    branches = [f"{rng.randrange(10000):04d}" for _ in range(count)]
    pq.write_table(pa.table({"iban": ibans, "branch": branches}), path)


# The build-store command in a process of its own, which reports its peak: the
# larger of its own (VmHWM, which starts afresh at exec, unlike ru_maxrss,
# which would count the copy of this process the child started as) and its
# children's (the process it forks for the build, which starts with its
# parent's pages).
PEAK_OF_BUILD = """
import resource, sys
from ostrelline_tools import cli
status = cli.main(["build-store", "--key", sys.argv[1], "--input", sys.argv[2], "--columns", "iban,branch",
                   "--out", sys.argv[3], "--progress", "never"])
assert status == 0, status
own = max(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:"))
print(max(own, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss) * 1024)
"""


def peak_of_build(folder, table, key, out):
    """The peak resident memory, in bytes, of a build-store in a process of its own."""
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""))
    done = subprocess.run([sys.executable, "-c", PEAK_OF_BUILD, key, table, out], cwd=folder, env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return int(done.stdout.split()[-1])  # after the command's own report


@pytest.fixture(scope="module")
def bank(tmp_path_factory):
    folder = tmp_path_factory.mktemp("build_memory")
    steps.keygen(folder / "bank.pub", folder / "bank.sec", "sender")
    bank_table(folder / "small.parquet", 2_000)
    bank_table(folder / "large.parquet", ROWS)
    return folder


def test_build_store_peak_is_within_the_bound(bank):
    small = peak_of_build(bank, "small.parquet", "bank.pub", "small.store")
    large = peak_of_build(bank, "large.parquet", "bank.pub", "large.store")
    size = os.path.getsize(bank / "large.store")
    assert size > layout.store_size(ROWS) - 1000  # every row held once
    assert large - small <= 2.5 * size, (
        f"build-store of {ROWS:,} rows peaked at {large / MIB:.0f} MiB, {(large - small) / MIB:.0f} MiB above a "
        f"table of 2,000 rows: more than 2.5 times its store of {size / MIB:.1f} MiB")
    assert large <= 2.5 * size + small


def test_packed_rows_are_the_encoded_rows_distinct(tmp_path):
    import ostrelline_hiding

    # Repeats, rows that join alike, empty and non-ASCII values, over batches.
    values = [("ab", "c"), ("a", "bc"), ("ab", "c"), ("Ærø", ""), ("x", "y")] * 3 + [("z", "€")]
    table = tmp_path / "t.parquet"
    pq.write_table(pa.table({"a": [a for a, _ in values], "b": [b for _, b in values]}), table)
    packer = rows.RowPacker()
    batches = 0
    for arrays in rows.read_batches(table, ["a", "b"], batch_rows=4):
        packer.add(rows.encoded_array(table, ["a", "b"], arrays, "none"))
        packer.add(pa.array([], pa.string()))
        batches += 1
    assert batches == 4 and packer.count == len(values)
    strings = rows.encode_batch(table, ["a", "b"], [pa.array([a for a, _ in values]), pa.array([b for _, b in values])])
    keys, offsets = packer.packed()
    assert rows.packed_strings(keys, offsets) == strings
    bounds = struct.unpack(f"<{len(values) + 1}Q", offsets)
    assert bounds[0] == 0 and bounds[-1] == len(keys)
    assert [keys[a:b] for a, b in zip(bounds, bounds[1:])] == [layout.row_key([s]) for s in strings]
    # A slice of an array (a batch whose first offset is not 0) packs as its strings.
    sliced = rows.RowPacker()
    sliced.add(pa.array(strings, pa.string()).slice(3, 5))
    assert rows.packed_strings(*sliced.packed()) == strings[3:8]
    # The distinct rows, first occurrences first: dict.fromkeys of the strings.
    assert rows.packed_strings(*ostrelline_hiding.distinct_packed(keys, offsets)) == list(dict.fromkeys(strings))
    assert rows.RowPacker().packed() == (b"", bytes(8))


@pytest.mark.parametrize("rows_as", ["packed", "lists"])
def test_tools_store_holds_every_distinct_row(tmp_path, monkeypatch, rows_as):
    import ostrelline

    from ostrelline_tools.steps import bank

    if rows_as == "lists":  # where ostrelline_hiding is not installed, for the specified kind
        monkeypatch.setattr(bank, "_packing_module", lambda: None)
    values = [("DE89", "3704"), ("FR76", "3000"), ("DE89", "3704"), ("GB29", "NWBK")]
    table = tmp_path / "bank.parquet"
    pq.write_table(pa.table({"iban": [a for a, _ in values], "branch": [b for _, b in values]}), table)
    steps.keygen(tmp_path / "s.pub", tmp_path / "s.sec", "sender")
    report = steps.build_store(tmp_path / "s.pub", table, ["iban", "branch"], tmp_path / "s.store",
                               construction="specified" if rows_as == "lists" else "hiding")
    assert (report.rows_read, report.rows_stored) == (4, 3)
    with files.open_file(tmp_path / "s.store") as stored:
        store = stored.payload()
        assert stored.header.count == 3
    assert len(store) == layout.store_size(3)
    with files.open_file(tmp_path / "s.pub") as public, files.open_file(tmp_path / "s.sec") as secret:
        sk_s = secret.payload()
        assert public.payload()
    pk_r, sk_r = ostrelline.key_gen()
    pk_q, sk_q = ostrelline.key_gen()
    store_r = ostrelline.build_okvs(pk_r, [["r"]])
    senders = [[rows.encode_row(v)] for v in values] + [[rows.encode_row(("DE89", "370"))]]
    queries = ostrelline.initiate_queries(senders, [["r"]] * 5, store, store_r, pk_q)
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    assert ostrelline.finish(ostrelline.decrypt(s, sk_s), ostrelline.decrypt(r, sk_r), g, d, sk_q) == [
        True, True, True, True, False]


# The tools' store against the module's build of the same rows as lists (the
# tools' encoded strings, dict.fromkeys of them, each row [s]), under a
# getrandom that gives fixed bytes: the process the step forks reseeds from
# it, as does a fresh thread here.
TOOLS_AGAINST_LISTS = """
import json, sys, threading
import ostrelline, ostrelline_hiding
from ostrelline_tools import files, rows, steps

table, public, out, construction = sys.argv[1:5]
steps.build_store(public, table, ["iban", "branch"], out, construction=construction)
with files.open_file(out) as stored:
    tools = stored.payload()
with files.open_file(public) as key:
    public_key = key.payload()
strings = []
for arrays in rows.read_batches(table, ["iban", "branch"]):
    strings += rows.encode_batch(table, ["iban", "branch"], arrays)
lists = [[s] for s in dict.fromkeys(strings)]
build = ostrelline_hiding.build_okvs if construction == "hiding" else ostrelline.build_okvs
made = []
thread = threading.Thread(target=lambda: made.append(build(public_key, lists)))
thread.start()
thread.join()
print(json.dumps({"rows": len(lists), "same": made[0] == tools, "length": len(tools)}))
"""


@pytest.mark.parametrize("construction", ["hiding", "specified"])
def test_tools_store_is_the_list_store_byte_for_byte(tmp_path, fixed_random, construction):
    rng = random.Random(5)
    values = [(f"DE{rng.randrange(10**4):04d}", f"{rng.randrange(30):02d}") for _ in range(3000)]
    table = tmp_path / "bank.parquet"
    pq.write_table(pa.table({"iban": [a for a, _ in values], "branch": [b for _, b in values]}), table)
    steps.keygen(tmp_path / "b.pub", tmp_path / "b.sec", "sender")
    got = run_fixed(fixed_random, TOOLS_AGAINST_LISTS, str(table), str(tmp_path / "b.pub"), str(tmp_path / "s.store"),
                    construction)
    assert 2000 < got["rows"] < len(values)  # rows repeat, and are stored once
    assert got["same"] and got["length"] == layout.store_size(got["rows"])
