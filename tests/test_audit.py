"""A bank's audit log of what its key answered: one record per stream it
decrypted, the refusal of a second stream of a run and of streams over the
bank's limit, through the Python API and the ``ostrelline`` command, as the
bank and a payment network asking for more would run them."""
import datetime
import json
import os
import stat
import subprocess
import sys

import pytest

PYTHON_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
sys.path.insert(0, PYTHON_DIR)

pytest.importorskip("pyarrow")

from ostrelline_tools import BadFileError, ModuleError, ToolError, audit, files, kinds, steps  # noqa: E402

PAYMENTS = 9


def run_cli(*args, cwd):
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run(
        [sys.executable, "-m", "ostrelline_tools", *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True
    )


def write_csv(path, header, rows):
    with open(path, "w") as file:
        file.write(",".join(header) + "\n")
        file.writelines(",".join(row) + "\n" for row in rows)


@pytest.fixture
def run(tmp_path):
    """Keys, stores and a run of PAYMENTS payments up to the banks' streams,
    with a second pair of streams of the same run (another two randomized
    copies combined) and a stream of another run."""
    d = tmp_path
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    write_csv(d / "s.csv", ["iban"], [[f"DE{i}"] for i in range(6)])
    write_csv(d / "r.csv", ["iban"], [[f"FR{i}"] for i in range(6)])
    write_csv(d / "p.csv", ["s", "r"], [[f"DE{i}", f"FR{i % 8}"] for i in range(PAYMENTS)])
    for bank, table in (("sender", "s.csv"), ("receiver", "r.csv")):
        steps.build_store(d / f"{bank}.pub", d / table, ["iban"], d / f"{bank}.store", construction="specified")
    for name in ("q", "other"):
        steps.initiate(d / "p.csv", ["s"], ["r"], d / "sender.store", d / "receiver.store", d / "network.pub",
                       d / f"{name}.ost")
    for copies, (query, out) in enumerate((("q", ""), ("q", "2"), ("other", "_other"))):
        steps.randomize(d / f"{query}.ost", d / f"c{copies}a")
        steps.randomize(d / f"{query}.ost", d / f"c{copies}b")
        steps.combine(d / f"c{copies}a", d / f"c{copies}b", d / f"to_sender{out}.ost", d / f"to_receiver{out}.ost",
                      d / f"gamma{out}.ost", d / f"delta{out}.ost")
    return d


def records(path):
    with open(path) as file:
        return [json.loads(line) for line in file]


def test_every_answer_is_recorded_beside_the_key(run):
    stream = files.read_header(run / "to_sender.ost")
    network = files.read_header(run / "network.pub").fingerprint.hex()
    # combine names the payment network's key in what it sends each bank.
    assert stream.meta["network"] == network
    out = steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "from_sender.ost")
    log = run / "sender.sec.audit.jsonl"
    assert stat.S_IMODE(os.stat(log).st_mode) == 0o600
    (record,) = records(log)
    assert set(record) == {"time", "run", "network", "bank", "component", "entries", "stream_in", "stream_out",
                           "again", "earlier", "tools"}
    when = datetime.datetime.fromisoformat(record["time"].replace("Z", "+00:00"))
    assert record["time"].endswith("Z") and when.utcoffset() == datetime.timedelta(0)
    assert abs((datetime.datetime.now(datetime.timezone.utc) - when).total_seconds()) < 3600
    assert record["run"] == stream.meta["run"] and record["network"] == network
    assert record["bank"] == files.read_header(run / "sender.pub").fingerprint.hex()
    assert record["component"] == "sender" and record["entries"] == PAYMENTS == out.count
    assert record["stream_in"] == stream.payload_checksum.hex()
    assert record["stream_out"] == out.payload_checksum.hex() != record["stream_in"]
    assert record["again"] is False and record["earlier"] == 0
    assert record["tools"] == audit.tools_version() and record["tools"]
    # The receiving bank keeps its own log; each line is one record.
    steps.decrypt(run / "to_receiver.ost", run / "receiver.sec", run / "from_receiver.ost")
    assert [r["component"] for r in records(run / "receiver.sec.audit.jsonl")] == ["receiver"]
    assert len(records(log)) == 1


def test_a_second_stream_of_a_run_is_refused_unless_again(run):
    steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "from_sender.ost")
    log = run / "sender.sec.audit.jsonl"
    before = sorted(os.listdir(run)), log.read_bytes()
    meta = files.read_header(run / "to_sender2.ost").meta
    with pytest.raises(BadFileError, match="another stream of run " + meta["run"]) as caught:
        steps.decrypt(run / "to_sender2.ost", run / "sender.sec", run / "second.ost")
    assert caught.value.path == str(run / "to_sender2.ost") and "--again" in str(caught.value)
    assert (sorted(os.listdir(run)), log.read_bytes()) == before  # no output, no record
    # The same stream once more gives the same answers: no refusal.
    steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "from_sender_copy.ost")
    assert (run / "from_sender_copy.ost").read_bytes() == (run / "from_sender.ost").read_bytes()
    # With again, the second stream is answered and recorded as such.
    steps.decrypt(run / "to_sender2.ost", run / "sender.sec", run / "second.ost", again=True)
    first, copy, second = records(log)
    assert first["run"] == copy["run"] == second["run"] == meta["run"]
    assert (copy["again"], copy["earlier"], second["again"], second["earlier"]) == (False, 1, True, 2)
    assert second["stream_in"] == files.read_header(run / "to_sender2.ost").payload_checksum.hex()
    # Another run is a first request.
    steps.decrypt(run / "to_sender_other.ost", run / "sender.sec", run / "other_out.ost")
    assert records(log)[-1]["earlier"] == 0


def test_streams_over_the_limit_are_refused(run):
    log = run / "limits.jsonl"
    run_id = files.read_header(run / "to_sender.ost").meta["run"]
    with pytest.raises(BadFileError, match=f"holds {PAYMENTS} entries of run {run_id}, more than the {PAYMENTS - 1}"):
        steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "out.ost", audit_log=log,
                      max_entries=PAYMENTS - 1)
    assert not (run / "out.ost").exists() and not log.exists()
    # The refusal holds with again too; a limit of the stream's length passes.
    with pytest.raises(BadFileError, match="more than the 0 this bank answers"):
        steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "out.ost", audit_log=log, max_entries=0,
                      again=True)
    steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "out.ost", audit_log=log, max_entries=PAYMENTS)
    assert [r["entries"] for r in records(log)] == [PAYMENTS]
    assert not (run / "sender.sec.audit.jsonl").exists()  # the log named, not the default
    with pytest.raises(ToolError, match="count of entries"):
        steps.decrypt(run / "to_sender2.ost", run / "sender.sec", run / "out2.ost", audit_log=log, max_entries=-1)


def test_logs_that_are_not_the_banks_own_file_are_refused(run):
    target = run / "elsewhere.jsonl"
    target.write_text("")
    os.symlink(target, run / "link.jsonl")
    os.mkdir(run / "folder.jsonl")
    (run / "damaged.jsonl").write_text('{"run": "x"}\nnot json\n')
    cases = {
        "link.jsonl": "symbolic link",
        "folder.jsonl": "not a regular file",
        "damaged.jsonl": "line 2 is not an audit record",
        "from_sender.ost": "named both as the audit log",
        "sender.sec": "named both as the audit log",
    }
    for name, problem in cases.items():
        before = sorted(os.listdir(run))
        with pytest.raises(BadFileError, match=problem) as caught:
            steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "from_sender.ost", audit_log=run / name)
        assert caught.value.path == str(run / name)
        assert sorted(os.listdir(run)) == before, name
    assert target.read_text() == ""


def test_a_failed_step_records_nothing(run):
    """A stream whose last point does not decode fails inside the module: no
    output, and a log made for the step is taken away again."""
    with files.open_file(run / "to_sender.ost") as stored:
        header, payload = stored.header, stored.payload()
    broken = payload[:-32] + bytes([2]) + bytes(31)  # y = 2 is no point of the curve
    files.write_file(run / "broken.ost", kinds.POINTS.name, broken, header.count, header.fingerprint,
                     dict(header.meta, run="r-broken"))
    with pytest.raises(ModuleError):
        steps.decrypt(run / "broken.ost", run / "sender.sec", run / "out.ost")
    assert not (run / "out.ost").exists() and not (run / "sender.sec.audit.jsonl").exists()
    # An existing log keeps its records as they were.
    steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "from_sender.ost")
    kept = (run / "sender.sec.audit.jsonl").read_bytes()
    with pytest.raises(ModuleError):
        steps.decrypt(run / "broken.ost", run / "sender.sec", run / "out.ost")
    assert (run / "sender.sec.audit.jsonl").read_bytes() == kept


def test_an_answer_that_cannot_be_recorded_does_not_leave(run, monkeypatch):
    """Should the record fail (a full disk, say), the output is removed: the
    bank sends nothing its log does not hold."""

    def failing_append(self, record):
        raise ToolError(f"{self.path}: the audit record could not be written (No space left on device)")

    monkeypatch.setattr(audit.AuditLog, "append", failing_append)
    with pytest.raises(ToolError, match="No space left on device.*the output .*from_sender.ost was removed"):
        steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "from_sender.ost")
    assert not (run / "from_sender.ost").exists()
    monkeypatch.undo()
    steps.decrypt(run / "to_sender.ost", run / "sender.sec", run / "from_sender.ost")
    assert len(records(run / "sender.sec.audit.jsonl")) == 1


def test_streams_that_do_not_name_the_network_are_answered(run):
    """Streams from tools that did not name the payment network's key yet."""
    with files.open_file(run / "to_sender.ost") as stored:
        header, payload = stored.header, stored.payload()
    meta = {k: v for k, v in header.meta.items() if k != "network"}
    files.write_file(run / "older.ost", kinds.POINTS.name, payload, header.count, header.fingerprint, meta)
    steps.decrypt(run / "older.ost", run / "sender.sec", run / "out.ost")
    (record,) = records(run / "sender.sec.audit.jsonl")
    assert record["network"] is None and record["run"] == header.meta["run"]


def test_the_command_keeps_the_log_and_refuses(run):
    log = run / "bank.jsonl"
    run_id = files.read_header(run / "to_sender.ost").meta["run"]
    done = run_cli("decrypt", "to_sender.ost", "--secret-key", "sender.sec", "--out", "d1.ost", "--audit-log", log,
                   cwd=run)
    assert done.returncode == 0, done.stderr
    assert str(log) in done.stdout
    assert stat.S_IMODE(os.stat(log).st_mode) == 0o600 and len(records(log)) == 1
    refused = {
        "second stream": (["to_sender2.ost", "--out", "d2.ost"], f"to_sender2.ost: is another stream of run {run_id}"),
        "over the limit": (["to_sender_other.ost", "--out", "d3.ost", "--max-entries", "4"],
                           f"holds {PAYMENTS} entries of run"),
    }
    for case, (args, problem) in refused.items():
        before = sorted(os.listdir(run)), log.read_bytes()
        result = run_cli("decrypt", *args, "--secret-key", "sender.sec", "--audit-log", log, cwd=run)
        assert result.returncode == 1, case
        assert result.stderr.startswith("ostrelline: error: ") and problem in result.stderr, result.stderr
        assert "Traceback" not in result.stderr
        assert (sorted(os.listdir(run)), log.read_bytes()) == before, case
    again = run_cli("decrypt", "to_sender2.ost", "--out", "d2.ost", "--secret-key", "sender.sec", "--audit-log", log,
                    "--again", "--max-entries", str(PAYMENTS), cwd=run)
    assert again.returncode == 0, again.stderr
    assert [(r["again"], r["earlier"]) for r in records(log)] == [(False, 0), (True, 1)]
    # Without --audit-log the log lies beside the secret key.
    default = run_cli("decrypt", "to_receiver.ost", "--secret-key", "receiver.sec", "--out", "d4.ost", cwd=run)
    assert default.returncode == 0, default.stderr
    assert [r["component"] for r in records(run / "receiver.sec.audit.jsonl")] == ["receiver"]
