"""Outputs that never destroy, and failures that say what and where: what an
operator hits when a path names the wrong file, two runs race for one name,
the step is stopped, or a peer's stream holds a point that does not decode."""
import os
import signal
import stat
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from test_tools import (  # noqa: E402
    STOPS_WITHIN, _interrupt, make_tables, run_cli, write_big_table, write_table,
)

import ostrelline  # noqa: E402
from ostrelline_tools import BadFileError, ModuleError, cli, files, kinds, steps  # noqa: E402

# An encoding that is no curve point: decompression refuses it.
NOT_A_POINT = b"\x02" + bytes(31)
FAULT_REPORT = ("failed in ostrelline at", "gdb", "Option::unwrap")


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    """A run up to the banks' streams, through the API."""
    d = tmp_path_factory.mktemp("outputs")
    make_tables(d, ".csv", payments=40)
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    for bank in ("sender", "receiver"):
        steps.build_store(d / f"{bank}.pub", d / f"{bank}.csv", ["iban", "branch"], d / f"{bank}.store",
                          construction="specified")
    steps.initiate(d / "payments.csv", ["s_iban", "s_branch"], ["r_iban", "r_branch"], d / "sender.store",
                   d / "receiver.store", d / "network.pub", d / "queries.ost")
    steps.randomize(d / "queries.ost", d / "copy1.ost")
    steps.randomize(d / "queries.ost", d / "copy2.ost")
    steps.combine(*(d / n for n in ("copy1.ost", "copy2.ost", "to_sender.ost", "to_receiver.ost", "gamma.ost",
                                     "delta.ost")))
    steps.decrypt(d / "to_sender.ost", d / "sender.sec", d / "from_sender.ost")
    steps.decrypt(d / "to_receiver.ost", d / "receiver.sec", d / "from_receiver.ost")
    return d


def _leftovers(directory):
    return [name for name in os.listdir(directory) if name.endswith(".part")]


def _with_entry(source, target, index, entry):
    """``source`` with entry ``index`` replaced, written with valid checksums:
    what a peer sends when it means harm."""
    with files.open_file(source) as stored:
        header, payload = stored.header, bytearray(stored.payload())
    width = stored.kind.entry_width
    payload[index * width : (index + 1) * width] = entry
    files.write_file(target, header.kind, bytes(payload), header.count, header.fingerprint, header.meta)


# --------------------------------------------------------------------------- outputs never destroy


def test_existing_outputs_are_refused_before_the_work(world, tmp_path):
    d = world
    (tmp_path / "copy").write_bytes(b"kept")
    with pytest.raises(BadFileError, match=r"already exists; not overwritten \(--force replaces it\)"):
        steps.randomize(d / "queries.ost", tmp_path / "copy")
    assert (tmp_path / "copy").read_bytes() == b"kept" and not _leftovers(tmp_path)
    header = steps.randomize(d / "queries.ost", tmp_path / "copy", overwrite=True)
    assert files.check_file(tmp_path / "copy").count == header.count
    # Every writing step, from the command: refused without --force, the file as it was.
    (tmp_path / "taken").write_bytes(b"kept")
    taken = str(tmp_path / "taken")
    commands = [
        ["build-store", "--key", "sender.pub", "--input", "sender.csv", "--columns", "iban,branch", "--specified",
         "--out", taken],
        ["initiate", "--payments", "payments.csv", "--sender-columns", "s_iban,s_branch", "--receiver-columns",
         "r_iban,r_branch", "--sender-store", "sender.store", "--receiver-store", "receiver.store", "--network-key",
         "network.pub", "--out", taken],
        ["randomize", "queries.ost", "--out", taken],
        ["combine", "copy1.ost", "copy2.ost", "--sender-out", str(tmp_path / "a"), "--receiver-out",
         str(tmp_path / "b"), "--gamma-out", taken, "--delta-out", str(tmp_path / "c")],
        ["decrypt", "to_sender.ost", "--secret-key", "sender.sec", "--out", taken],
        ["finish", "--sender", "from_sender.ost", "--receiver", "from_receiver.ost", "--gamma", "gamma.ost",
         "--delta", "delta.ost", "--secret-key", "network.sec", "--payments", "payments.csv", "--out", taken],
        ["inspect", "queries.ost", "--export", taken],
        ["keygen", "--role", "sender", "--public", taken, "--secret", str(tmp_path / "new.sec")],
    ]
    for args in commands:
        result = run_cli(*args, cwd=d)
        assert result.returncode == 1 and "already exists; not overwritten" in result.stderr, (args[0], result.stderr)
        assert (tmp_path / "taken").read_bytes() == b"kept", args[0]
    assert sorted(os.listdir(tmp_path)) == ["copy", "taken"]
    result = run_cli("randomize", "queries.ost", "--out", taken, "--force", cwd=d)
    assert result.returncode == 0, result.stderr
    assert files.check_file(taken).kind == "queries"


def test_a_secret_key_is_never_replaced(world, tmp_path):
    d = world
    for role in ("sender", "network"):
        steps.keygen(tmp_path / f"{role}.pub", tmp_path / f"{role}.sec", role)
    before = (tmp_path / "sender.sec").read_bytes()
    attempts = [
        ["build-store", "--key", "sender.pub", "--input", str(d / "sender.csv"), "--columns", "iban,branch",
         "--specified", "--out", "sender.sec"],
        ["randomize", str(d / "queries.ost"), "--out", "sender.sec"],
        ["keygen", "--role", "sender", "--public", "other.pub", "--secret", "sender.sec"],
    ]
    for args in attempts:
        for force in ([], ["--force"]):
            result = run_cli(*args, *force, cwd=tmp_path)
            assert result.returncode == 1, (args, force, result.stdout)
            assert "is a secret key; it is never overwritten, not even with --force" in result.stderr
    assert (tmp_path / "sender.sec").read_bytes() == before
    assert stat.S_IMODE(os.stat(tmp_path / "sender.sec").st_mode) == 0o600
    assert not (tmp_path / "other.pub").exists() and not _leftovers(tmp_path)
    # A public key is an ordinary output: refused, and replaced only when asked.
    result = run_cli("randomize", str(d / "queries.ost"), "--out", "network.pub", cwd=tmp_path)
    assert result.returncode == 1 and "already exists" in result.stderr
    assert files.read_header(tmp_path / "network.pub").kind == "public-key"
    with pytest.raises(BadFileError, match="never overwritten"):
        steps.keygen(tmp_path / "x.pub", tmp_path / "network.sec", "network", overwrite=True)


def test_outputs_that_are_not_regular_files_are_refused(world, tmp_path):
    d = world
    target = tmp_path / "target"
    target.write_bytes(b"target")
    os.symlink(target, tmp_path / "link")
    os.symlink(tmp_path / "nowhere", tmp_path / "dangling")
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "folder").mkdir()
    cases = [
        ("link", "is a symbolic link"),
        ("dangling", "is a symbolic link"),
        ("fifo", "is a FIFO"),
        ("folder", "is a folder"),
        ("/dev/null", "is a character device"),
    ]
    for name, problem in cases:
        out = str(tmp_path / name)
        for force in (False, True):
            with pytest.raises(BadFileError, match=problem):
                steps.randomize(d / "queries.ost", out, overwrite=force)
        # The export that replaced /dev/stdout: a link, refused.
        result = run_cli("inspect", "queries.ost", "--export", out, "--force", cwd=d)
        assert result.returncode == 1 and problem in result.stderr, (name, result.stderr)
    assert os.path.islink(tmp_path / "link") and target.read_bytes() == b"target"
    assert stat.S_ISFIFO(os.lstat(tmp_path / "fifo").st_mode) and stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert not _leftovers(tmp_path) and not os.path.lexists(tmp_path / "nowhere")


def test_of_two_writers_of_one_name_one_wins(tmp_path):
    path = tmp_path / "out.ost"
    # Both begin while the name is free; the first to finish takes it.
    first = files.FileWriter(path, "points", 1).__enter__()
    second = files.FileWriter(path, "points", 1).__enter__()
    first.write(b"\x01" * 32)
    second.write(b"\x02" * 32)
    first.__exit__(None, None, None)
    with pytest.raises(BadFileError, match="already exists; not overwritten"):
        second.__exit__(None, None, None)
    with files.open_file(path) as stored:
        assert stored.payload() == b"\x01" * 32
    assert os.listdir(tmp_path) == ["out.ost"]
    # A file that appears at the name while a forced write runs is judged at the move too.
    with pytest.raises(BadFileError, match="secret key"):
        with files.FileWriter(tmp_path / "late", "points", 1, overwrite=True) as writer:
            writer.write(b"\x01" * 32)
            files.write_file(tmp_path / "late", kinds.SECRET_KEY.name, b"s" * 32, 1)
    with files.open_file(tmp_path / "late") as stored:
        assert stored.header.kind == "secret-key" and stored.payload() == b"s" * 32
    assert sorted(os.listdir(tmp_path)) == ["late", "out.ost"]


def test_without_hard_links_the_move_stays_exclusive(tmp_path, monkeypatch):
    def no_links(*args, **kwargs):
        raise PermissionError(1, "Operation not permitted")

    monkeypatch.setattr(files.os, "link", no_links)
    files.write_file(tmp_path / "a", "points", b"\x01" * 32, 1)
    with pytest.raises(BadFileError, match="already exists"):
        with files.FileWriter(tmp_path / "b", "points", 1) as writer:
            writer.write(b"\x01" * 32)
            (tmp_path / "b").write_bytes(b"theirs")
    assert files.check_file(tmp_path / "a").count == 1 and (tmp_path / "b").read_bytes() == b"theirs"
    assert sorted(os.listdir(tmp_path)) == ["a", "b"]


@pytest.mark.parametrize("number, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_a_termination_signal_leaves_nothing(tmp_path, number, status):
    write_big_table(tmp_path / "big.csv", 1_500_000)
    for role in ("sender", "receiver", "network"):
        steps.keygen(tmp_path / f"{role}.pub", tmp_path / f"{role}.sec", role)
    write_table(tmp_path / "r.csv", ["b"], [("B1",)])
    for bank in ("sender", "receiver"):
        steps.build_store(tmp_path / f"{bank}.pub", tmp_path / "r.csv", ["b"], tmp_path / f"{bank}.store",
                          construction="specified")
    before = set(os.listdir(tmp_path))
    cases = [
        ["build-store", "--key", "sender.pub", "--input", "big.csv", "--columns", "a,b", "--specified", "--out",
         "big.store"],
        ["initiate", "--payments", "big.csv", "--sender-columns", "a", "--receiver-columns", "b", "--sender-store",
         "sender.store", "--receiver-store", "receiver.store", "--network-key", "network.pub", "--out", "big.ost",
         "--workers", "2", "--chunk-size", "512"],
    ]
    for args in cases:
        got, seconds = _interrupt(args, tmp_path, lambda line: line.startswith(args[0]) and not
                                  (args[0] == "initiate" and line.split()[-2].startswith("0/")), number)
        assert got == status and seconds < STOPS_WITHIN, (args[0], got, seconds)
        assert set(os.listdir(tmp_path)) == before


# --------------------------------------------------------------------------- failures that say what and where


def test_an_undecodable_point_is_named_and_the_fault_report_kept_off_the_terminal(world, tmp_path, capfd):
    d = world
    _with_entry(d / "to_sender.ost", tmp_path / "hostile.ost", 29, NOT_A_POINT)
    capfd.readouterr()
    for chunk_size in (4096, 7):
        with pytest.raises(ModuleError) as caught:
            # again: the bank answered the genuine stream of this run already
            steps.decrypt(tmp_path / "hostile.ost", d / "sender.sec", tmp_path / "out.ost", chunk_size=chunk_size,
                          again=True)
        error = caught.value
        assert error.path == str(tmp_path / "hostile.ost") and error.entry == 29
        assert str(error).startswith(f"{tmp_path / 'hostile.ost'}: entry 29: decrypt failed inside the module")
        assert "Option::unwrap" in error.message and "failed in ostrelline at" in error.report
    # Nothing of the module's report reached either descriptor, from the API.
    seen = capfd.readouterr()
    assert not any(mark in seen.err + seen.out for mark in FAULT_REPORT), seen.err
    # The command, here and on a pool of workers: one line of its own; the report only when asked.
    for extra in ([], ["--workers", "2", "--chunk-size", "8"]):
        result = run_cli("decrypt", str(tmp_path / "hostile.ost"), "--secret-key", "sender.sec", "--out",
                         str(tmp_path / "out.ost"), "--again", *extra, cwd=d)
        assert result.returncode == 1
        assert result.stderr.startswith(f"ostrelline: error: {tmp_path / 'hostile.ost'}: entry 29: decrypt failed")
        assert not any(mark in result.stderr for mark in FAULT_REPORT[:2]), result.stderr
        assert len(result.stderr.strip().splitlines()) == 1
    result = run_cli("-v", "decrypt", str(tmp_path / "hostile.ost"), "--secret-key", "sender.sec", "--out",
                     str(tmp_path / "out.ost"), "--again", cwd=d)
    assert result.returncode == 1 and "the module's fault report: thread" in result.stderr
    assert not (tmp_path / "out.ost").exists() and not _leftovers(tmp_path)


def test_finish_names_the_stream_at_fault(world, tmp_path, capfd):
    d = world
    _with_entry(d / "from_receiver.ost", tmp_path / "from_receiver.ost", 3, NOT_A_POINT)
    capfd.readouterr()
    with pytest.raises(ModuleError) as caught:
        steps.finish(d / "from_sender.ost", tmp_path / "from_receiver.ost", d / "gamma.ost", d / "delta.ost",
                     d / "network.sec", d / "payments.csv", tmp_path / "results.csv")
    assert caught.value.path == str(tmp_path / "from_receiver.ost") and caught.value.entry == 3
    assert not any(mark in capfd.readouterr().err for mark in FAULT_REPORT)
    # A query entry is four points; the third point of entry 11 is bad.
    with files.open_file(d / "copy2.ost") as stored:
        entry = bytearray(stored.entries(11, 12))
    entry[64:96] = NOT_A_POINT
    _with_entry(d / "copy2.ost", tmp_path / "copy2.ost", 11, bytes(entry))
    with pytest.raises(ModuleError) as caught:
        steps.combine(d / "copy1.ost", tmp_path / "copy2.ost", *(tmp_path / n for n in "abcd"))
    assert caught.value.path == str(tmp_path / "copy2.ost") and caught.value.entry == 11
    assert not set("abcd") & set(os.listdir(tmp_path))


def test_initiate_names_the_key_the_module_refuses(world, tmp_path, capfd):
    d = world
    files.write_file(tmp_path / "bad.pub", kinds.PUBLIC_KEY.name, NOT_A_POINT, 1, None, {"role": "network"})
    capfd.readouterr()
    with pytest.raises(ModuleError) as caught:
        steps.initiate(d / "payments.csv", ["s_iban", "s_branch"], ["r_iban", "r_branch"], d / "sender.store",
                       d / "receiver.store", tmp_path / "bad.pub", tmp_path / "q.ost")
    assert caught.value.path == str(tmp_path / "bad.pub") and "not a valid curve point" in caught.value.message
    assert not any(mark in capfd.readouterr().err for mark in FAULT_REPORT)
    assert not (tmp_path / "q.ost").exists()


def test_a_bad_public_key_is_named(tmp_path, capfd):
    files.write_file(tmp_path / "bad.pub", kinds.PUBLIC_KEY.name, NOT_A_POINT, 1, None, {"role": "sender"})
    write_table(tmp_path / "s.csv", ["x"], [("a",)])
    capfd.readouterr()
    with pytest.raises(ModuleError) as caught:
        steps.build_store(tmp_path / "bad.pub", tmp_path / "s.csv", ["x"], tmp_path / "out", construction="specified")
    assert caught.value.path == str(tmp_path / "bad.pub") and "failed in ostrelline" in caught.value.report
    assert not any(mark in capfd.readouterr().err for mark in FAULT_REPORT)
    assert cli.main(["build-store", "--key", str(tmp_path / "bad.pub"), "--input", str(tmp_path / "s.csv"),
                     "--columns", "x", "--specified", "--out", str(tmp_path / "out")]) == 1
    err = capfd.readouterr().err
    assert err.startswith(f"ostrelline: error: {tmp_path / 'bad.pub'}: build-store failed inside the module")
    assert not any(mark in err for mark in FAULT_REPORT[:2])
