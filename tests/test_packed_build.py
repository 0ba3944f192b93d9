"""ostrelline_hiding.build_okvs_packed: stores built from rows handed over as
one buffer of key bytes and an array of offsets.

* distinct_packed: the distinct rows, first occurrences first, packed.
* Its failures: hostile offsets (a wrong length, a first offset that is not
  0, a decrease, an offset beyond the keys, keys left over) are refused with
  a message naming the first offset at fault, before any key is read; the
  other arguments as build_okvs refuses them.
* Its stores: the bytes of build_okvs of the same rows under the same random
  draws, for both constructions. The module's generator is seeded from
  getrandom when a thread first draws; a library preloaded into a child
  process answers getrandom with fixed bytes, so that every build run in a
  fresh thread of that process draws the same values.
* They answer queries: held rows match, others do not.
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

import ostrelline
from conftest import raises_panic

hiding = pytest.importorskip("ostrelline_hiding")

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.join(os.path.dirname(HERE), "python")


def packed(keys):
    """The row_keys and row_offsets arguments for a list of key byte strings."""
    offsets = [0]
    for key in keys:
        offsets.append(offsets[-1] + len(key))
    return b"".join(keys), struct.pack(f"<{len(offsets)}Q", *offsets)


def offsets_of(*values):
    return struct.pack(f"<{len(values)}Q", *values)


@pytest.fixture(scope="module")
def public_key():
    return ostrelline.key_gen()[0]


# --------------------------------------------------------------------------- failures


@pytest.mark.parametrize(
    "keys, offsets, message",
    [
        (b"", b"", "The row_offsets object should hold n + 1 offsets of 8 bytes each for n rows: its length, 0, "
                   "is not a positive multiple of 8."),
        (b"abc", offsets_of(0, 3)[:-1], "its length, 15, is not a positive multiple of 8."),
        (b"abc", offsets_of(1, 3), "Row offset 0 is 1: the first row starts at byte 0 of row_keys."),
        (b"abcdef", offsets_of(0, 4, 2, 6), "Row offset 2 (2) is below row offset 1 (4): offsets never decrease."),
        (b"abc", offsets_of(0, 7, 7), "Row offset 1 (7) is beyond the end of row_keys (3 bytes)."),
        (b"abc", offsets_of(0, 2**64 - 1), "Row offset 1 (18446744073709551615) is beyond the end of row_keys (3 bytes)."),
        (b"abcdef", offsets_of(0, 2, 4), "The last row offset (4) is not the length of row_keys (6 bytes): every key "
                                         "byte belongs to a row."),
        (b"abc", offsets_of(0), "The last row offset (0) is not the length of row_keys (3 bytes)"),
    ],
    ids=["empty", "partial-offset", "first-not-zero", "decreasing", "beyond", "huge", "keys-left-over", "no-rows"],
)
def test_hostile_offsets_are_refused(public_key, keys, offsets, message):
    for construction in ("hiding", "specified"):
        with raises_panic(message):
            hiding.build_okvs_packed(public_key, keys, offsets, construction)


def test_offsets_are_checked_before_the_key(public_key):
    # A key that is no point, and offsets at fault: the offsets are named.
    with raises_panic("Row offset 0 is 5"):
        hiding.build_okvs_packed(b"\x02" * 32, b"abcde", offsets_of(5, 5), "hiding")


def test_argument_types_and_construction(public_key):
    keys, offsets = packed([b"a", b"b"])
    with raises_panic("The row_keys object should be of type `bytes`.: PyDowncastError"):
        hiding.build_okvs_packed(public_key, bytearray(keys), offsets, "hiding")
    with raises_panic("The row_offsets object should be of type `bytes`.: PyDowncastError"):
        hiding.build_okvs_packed(public_key, keys, memoryview(offsets), "hiding")
    with raises_panic(exact="The construction should be 'hiding' or 'specified', not 'Hiding'."):
        hiding.build_okvs_packed(public_key, keys, offsets, "Hiding")
    with raises_panic(exact="The construction should be 'hiding' or 'specified', not b'hiding'."):
        hiding.build_okvs_packed(public_key, keys, offsets, b"hiding")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'construction'"):
        hiding.build_okvs_packed(public_key, keys, offsets)
    assert len(hiding.build_okvs_packed(public_key=public_key, row_keys=keys, row_offsets=offsets,
                                        construction="specified")) == len(ostrelline.build_okvs(public_key, [["a"], ["b"]]))


@pytest.mark.parametrize("construction", ["hiding", "specified"])
def test_failures_shared_with_build_okvs(public_key, construction):
    build = hiding.build_okvs if construction == "hiding" else ostrelline.build_okvs
    rows = [[b.decode()] for b in (b"x1", b"y2", b"x1")]
    keys, offsets = packed([b"x1", b"y2", b"x1"])
    identity = b"\x01" + b"\x00" * 31
    for key in (b"\x00" * 31, identity, b"\x02" * 32, "not bytes"):
        with raises_panic() as expected:
            build(key, [["a"]])
        with raises_panic(exact=expected.message):
            hiding.build_okvs_packed(key, b"a", offsets_of(0, 1), construction)
    with raises_panic(exact="rows 0 and 2 have the same key bytes; every row must be distinct"):
        hiding.build_okvs_packed(public_key, keys, offsets, construction)
    with raises_panic(exact="rows 0 and 2 have the same key bytes; every row must be distinct"):
        build(public_key, rows)
    # No rows: any key that is a point serves, as for build_okvs.
    assert len(hiding.build_okvs_packed(identity, b"", offsets_of(0), construction)) == len(build(identity, []))


# --------------------------------------------------------------------------- distinct rows


def test_distinct_packed_keeps_first_occurrences():
    rows = [b"b", b"a", b"", b"b", b"ab", b"a", b"", b"\xc3\x86r", b"ab", b"c"]
    keys, offsets = hiding.distinct_packed(*packed(rows))
    assert (keys, offsets) == packed(list(dict.fromkeys(rows)))
    for few in ([], [b"x"], [b"x", b"x"], [b""] * 5):
        assert hiding.distinct_packed(*packed(few)) == packed(list(dict.fromkeys(few)))
    # Many rows, many repeats (the table's probing and its tags).
    many = [str(i % 7919).encode() * (i % 3) for i in range(50_000)]
    assert hiding.distinct_packed(*packed(many)) == packed(list(dict.fromkeys(many)))


def test_distinct_packed_refuses_what_a_build_refuses():
    with raises_panic("Row offset 2 (2) is below row offset 1 (4)"):
        hiding.distinct_packed(b"abcdef", offsets_of(0, 4, 2, 6))
    with raises_panic("its length, 9, is not a positive multiple of 8."):
        hiding.distinct_packed(b"a", bytes(9))
    with raises_panic("The row_keys object should be of type `bytes`."):
        hiding.distinct_packed("a", offsets_of(0, 1))
    with raises_panic("The row_offsets object should be of type `bytes`."):
        hiding.distinct_packed(b"a", [0, 1])


# --------------------------------------------------------------------------- stores that answer


@pytest.mark.parametrize("construction", ["hiding", "specified"])
def test_packed_stores_answer_queries(parties, construction):
    pk_s, sk_s = parties["sender"]
    pk_r, sk_r = parties["receiver"]
    pk_q, sk_q = parties["swift"]
    held = [f"{len(t)}:{t}".encode() for t in ("DE89", "FR76 3000", "Ærø", "", "x" * 300)]
    keys, offsets = packed(held)
    store_s = hiding.build_okvs_packed(pk_s, keys, offsets, construction)
    store_r = hiding.build_okvs_packed(pk_r, *packed([b"r"]), construction)
    assert len(store_s) == len(ostrelline.build_okvs(pk_s, [[k.decode()] for k in held]))
    senders = [[k.decode()] for k in held] + [["absent"], ["4:DE8"]]
    queries = ostrelline.initiate_queries(senders, [["r"]] * len(senders), store_s, store_r, pk_q)
    s, r, g, d = ostrelline.combine(ostrelline.randomize(queries), ostrelline.randomize(queries))
    matches = ostrelline.finish(ostrelline.decrypt(s, sk_s), ostrelline.decrypt(r, sk_r), g, d, sk_q)
    assert matches == [True] * len(held) + [False, False]


# --------------------------------------------------------------------------- the same bytes as build_okvs

FIXED_GETRANDOM = r"""
#include <stddef.h>
#include <sys/types.h>
/* Every call gets the same bytes, whatever was drawn before. */
ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
    (void)flags;
    unsigned char *out = buffer;
    for (size_t i = 0; i < length; ++i) out[i] = (unsigned char)(i * 37u + 11u);
    return (ssize_t)length;
}
"""


@pytest.fixture(scope="module")
def fixed_random(tmp_path_factory):
    """A library that answers getrandom with fixed bytes, for LD_PRELOAD."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the fixed getrandom")
    folder = tmp_path_factory.mktemp("fixed_random")
    source = folder / "fixed_getrandom.c"
    source.write_text(FIXED_GETRANDOM)
    library = folder / "libfixed_getrandom.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source)], check=True)
    return str(library)


def run_fixed(fixed_random, script, *args):
    """Runs `script` in a child whose getrandom gives fixed bytes; returns its JSON output."""
    env = dict(os.environ, LD_PRELOAD=fixed_random)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args], env=env, capture_output=True,
                          text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# Each build in a thread of its own, whose generator is seeded afresh.
IN_FRESH_THREADS = """
import hashlib, json, struct, sys, threading
import ostrelline, ostrelline_hiding

def fresh(call):
    out = []
    thread = threading.Thread(target=lambda: out.append(call()))
    thread.start()
    thread.join()
    return hashlib.sha256(out[0]).hexdigest()

public_key = bytes.fromhex(sys.argv[1])
keys = [k.encode() for k in json.loads(sys.argv[2])]
offsets = [0]
for k in keys:
    offsets.append(offsets[-1] + len(k))
packed = (b"".join(keys), struct.pack(f"<{len(offsets)}Q", *offsets))
rows = [[k.decode()] for k in keys]
print(json.dumps({
    "hiding": [fresh(lambda: ostrelline_hiding.build_okvs(public_key, rows)) for _ in range(2)],
    "hiding packed": fresh(lambda: ostrelline_hiding.build_okvs_packed(public_key, *packed, "hiding")),
    "specified": [fresh(lambda: ostrelline.build_okvs(public_key, rows)) for _ in range(2)],
    "specified packed": fresh(lambda: ostrelline_hiding.build_okvs_packed(public_key, *packed, "specified")),
    "other rows": fresh(lambda: ostrelline_hiding.build_okvs(public_key, rows[::-1])),
}))
"""


@pytest.mark.parametrize("count", [0, 1, 3000])
def test_packed_store_is_the_list_store_byte_for_byte(fixed_random, public_key, count):
    keys = [f"{len(str(i)) + 3}:row{i}" for i in range(count)] if count != 1 else ["5:Ærø€"]
    got = run_fixed(fixed_random, IN_FRESH_THREADS, public_key.hex(), json.dumps(keys))
    # The fixed generator makes a build repeat itself...
    assert got["hiding"][0] == got["hiding"][1]
    assert got["specified"][0] == got["specified"][1]
    # ... and the packed rows give the list's bytes, for both constructions.
    assert got["hiding packed"] == got["hiding"][0]
    assert got["specified packed"] == got["specified"][0]
    if count > 0:
        assert got["hiding"][0] != got["specified"][0]
    if count > 1:
        assert got["other rows"] != got["hiding"][0]
