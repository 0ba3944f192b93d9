"""The self-checking file format of the party tools, and the row encoding."""
import os
import stat
import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))

pytest.importorskip("pyarrow")
from ostrelline_tools import files, kinds, rows  # noqa: E402
from ostrelline_tools.errors import BadFileError  # noqa: E402


def _leftovers(directory):
    return [name for name in os.listdir(directory) if name.endswith(".part")]


def test_round_trip_and_layout(tmp_path):
    path = tmp_path / "p.ost"
    fp = files.fingerprint(b"k" * 32)
    payload = bytes(range(256)) * 2
    files.write_file(path, "points", payload, 16, fp, {"run": "r1", "component": "sender"})
    data = path.read_bytes()
    header_length = struct.unpack_from("<I", data, 12)[0]
    assert data[:8] == files.MAGIC and header_length % 64 == 0
    assert data[header_length:] == payload  # the module's bytes, unchanged, at the recorded offset
    header = files.check_file(path, ["points"])
    assert (header.kind, header.count, header.fingerprint, header.payload_length) == ("points", 16, fp, 512)
    assert header.meta == {"run": "r1", "component": "sender"}
    with files.open_file(path) as stored:
        assert stored.entries(3, 5) == payload[96:160]
        assert bytes(stored.view()[32:64]) == payload[32:64]
    out = tmp_path / "bare"
    files.export_payload(path, out)
    assert out.read_bytes() == payload


def test_every_damage_is_refused(tmp_path):
    good = tmp_path / "good.ost"
    files.write_file(good, "points", b"\x01" * 64, 2, None, {"run": "x"})
    data = good.read_bytes()
    header_length = len(data) - 64
    cases = {
        "truncated": (data[:-1], "truncated"),
        "padded": (data + bytes(64), "past the end"),
        "payload": (data[:-10] + b"\x02" + data[-9:], "payload checksum"),
        "header": (data[:44] + b"\x09" + data[45:], "corrupted header"),
        "bare": (b"\x01" * 64, "not an ostrelline file"),
        "empty": (b"", "not an ostrelline file"),
        "version": (data[:8] + b"\x07\x00" + data[10:], "format version 7"),
        "cut header": (data[: header_length // 2], "header"),
    }
    for name, (content, problem) in cases.items():
        path = tmp_path / name
        path.write_bytes(content)
        with pytest.raises(BadFileError) as caught:
            files.check_file(path)
        assert caught.value.path == str(path) and problem in caught.value.problem, name
    with pytest.raises(BadFileError, match="expected a 'store' file"):
        files.check_file(good, ["store"])
    with pytest.raises(BadFileError, match="cannot be read"):
        files.check_file(tmp_path / "missing")


def test_a_new_kind_needs_no_change_here(tmp_path):
    # A sharded store recording its shard offsets; its payload length follows from its metadata.
    sharded = files.register_kind(
        files.Kind("test-sharded-store", "sharded store", payload_size=lambda h: h.meta["offsets"][-1])
    )
    files.write_file(tmp_path / "s", sharded.name, b"a" * 30, 3, None, {"k": 2, "offsets": [0, 10, 30]})
    assert files.check_file(tmp_path / "s", [sharded.name]).meta["k"] == 2
    with pytest.raises(ValueError):
        files.write_file(tmp_path / "t", sharded.name, b"a" * 29, 3, None, {"k": 2, "offsets": [0, 10, 30]})
    assert not (tmp_path / "t").exists() and not _leftovers(tmp_path)


def test_writing_is_atomic_and_secret_files_are_private(tmp_path):
    path = tmp_path / "out.ost"
    path.write_bytes(b"before")
    with pytest.raises(RuntimeError):
        with files.FileWriter(path, "points", 1, overwrite=True) as writer:
            writer.write(b"x" * 32)
            raise RuntimeError("stop")
    assert path.read_bytes() == b"before" and not _leftovers(tmp_path)
    with pytest.raises(KeyboardInterrupt):
        with files.FileWriter(tmp_path / "new.ost", "points", 1) as writer:
            raise KeyboardInterrupt
    assert not (tmp_path / "new.ost").exists() and not _leftovers(tmp_path)
    files.write_file(tmp_path / "key", kinds.SECRET_KEY.name, b"s" * 32, 1)
    assert stat.S_IMODE(os.stat(tmp_path / "key").st_mode) == 0o600
    for overwrite in (False, True):
        with pytest.raises(BadFileError, match="secret key; it is never overwritten"):
            files.write_file(tmp_path / "key", kinds.SECRET_KEY.name, b"t" * 32, 1, overwrite=overwrite)
    with files.open_file(tmp_path / "key") as stored:
        assert stored.payload() == b"s" * 32


@given(st.lists(st.text(max_size=6), min_size=1, max_size=4), st.lists(st.text(max_size=6), min_size=1, max_size=4),
       st.integers(0, 24))
@settings(max_examples=150, deadline=None)
def test_distinct_rows_never_encode_alike(a, b, cut):
    assert (rows.encode_row(a) == rows.encode_row(b)) == (a == b)
    # the same characters cut into other columns: one key under plain concatenation, never here
    joined = "".join(a)
    resplit = [joined[:cut], joined[cut:]]
    assert (rows.encode_row(a) == rows.encode_row(resplit)) == (a == resplit)


def test_encoding_examples_and_normalisation():
    assert rows.encode_row(["ab", "c"]) != rows.encode_row(["a", "bc"])
    assert rows.encode_row(["ab", "c"]) == "2:ab1:c"
    assert rows.encode_row(["é", ""]) == "2:é0:"  # lengths count UTF-8 bytes
    assert rows.encode_row(["de89 3704\u00a0x"], "identifier") == rows.encode_row(["DE893704X"], "identifier")
    assert rows.encode_row(["de89 3704"]) != rows.encode_row(["DE893704"])


def test_tables_read_as_strings(tmp_path):
    import pyarrow as pa
    import pyarrow.parquet as pq
    from ostrelline_tools.errors import InputError

    (tmp_path / "t.csv").write_text('a,b\n007,"x,y"\n8,\n')
    arrays = next(rows.read_batches(tmp_path / "t.csv", ["b", "a"]))
    assert rows.encode_batch("t.csv", ["b", "a"], arrays) == ["3:x,y3:007", "0:1:8"]  # leading zeros kept
    pq.write_table(pa.table({"n": pa.array([7, None], pa.int64()), "f": [1.5, 2.5]}), tmp_path / "t.parquet")
    assert rows.count_rows(tmp_path / "t.parquet", ["n"]) == 2
    (n,) = next(rows.read_batches(tmp_path / "t.parquet", ["n"]))
    with pytest.raises(InputError, match="column 'n' is empty in row 2"):
        rows.encode_batch(tmp_path / "t.parquet", ["n"], [n])
    assert rows.encode_batch("t", ["n"], [n.slice(0, 1)]) == ["1:7"]
    (f,) = next(rows.read_batches(tmp_path / "t.parquet", ["f"]))
    with pytest.raises(InputError, match="only strings and integers"):
        rows.encode_batch(tmp_path / "t.parquet", ["f"], [f])
    with pytest.raises(InputError, match="has no column 'z'"):
        rows.count_rows(tmp_path / "t.parquet", ["z"])
