"""The ``ostrelline`` command as a user and a scheduler's job meet it: the
JSON report of every subcommand, -q and -v, the flag names old and new,
standard output as a stream, the progress bar on terminals of several
widths, shell completion, and the exit statuses of every subcommand."""
import csv
import fcntl
import json
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

PYTHON_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
sys.path.insert(0, PYTHON_DIR)

pytest.importorskip("pyarrow")

from ostrelline_tools import cli, files, progress, steps  # noqa: E402

COMMANDS = ("keygen", "build-store", "initiate", "randomize", "combine", "decrypt", "finish", "inspect")


def _env(**extra):
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env.update(extra)
    return env


def run_cli(*args, cwd, blocked=(), **popen):
    """The command in a process of its own; the modules in ``blocked`` cannot be imported there."""
    code = "import sys\n" + "".join(f"sys.modules[{name!r}] = None\n" for name in blocked)
    code += "from ostrelline_tools.cli import main\nsys.exit(main(sys.argv[1:]))\n"
    options = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "text": True, **popen}
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], cwd=cwd, env=_env(), **options)


def one_json(result):
    """The single JSON object that is the whole of standard output."""
    assert result.stdout.endswith("\n") and result.stdout.count("\n") == 1, result.stdout
    return json.loads(result.stdout)


def fingerprint(path):
    return files.read_header(path).fingerprint.hex()


ACCOUNTS = [("DE01",), ("DE02",), ("DE03",), ("DE02",)]
PAYMENTS = [("DE01", "DE02"), ("DE09", "DE03"), ("DE03", "DE01"), ("DE02", "XX00")]


def _csv(path, header, table):
    with open(path, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(header)
        writer.writerows(table)


# Every step of a small run, with the flags as named now and --json.
RUN = [
    ("keygen", ["--role", "sender", "--public-key", "sender.pub", "--secret-key", "sender.sec"]),
    ("keygen", ["--role", "receiver", "--public-key", "receiver.pub", "--secret-key", "receiver.sec"]),
    ("keygen", ["--role", "network", "--public-key", "network.pub", "--secret-key", "network.sec"]),
    ("build-store", ["--public-key", "sender.pub", "--table", "accounts.csv", "--columns", "iban", "--specified",
                     "--out", "sender.store"]),
    ("build-store", ["--public-key", "receiver.pub", "--table", "accounts.csv", "--columns", "iban", "--specified",
                     "--out", "receiver.store"]),
    ("initiate", ["--table", "payments.csv", "--sender-columns", "payer=iban", "--receiver-columns", "payee=iban",
                  "--sender-store", "sender.store", "--receiver-store", "receiver.store", "--public-key",
                  "network.pub", "--sender-key", "sender.pub", "--out", "queries.ost"]),
    ("randomize", ["--queries", "queries.ost", "--out", "copy1.ost"]),
    ("randomize", ["--queries", "queries.ost", "--out", "copy2.ost"]),
    ("combine", ["--copies", "copy1.ost", "copy2.ost", "--sender-out", "to_sender.ost", "--receiver-out",
                 "to_receiver.ost", "--gamma-out", "gamma.ost", "--delta-out", "delta.ost"]),
    ("decrypt", ["--points", "to_sender.ost", "--secret-key", "sender.sec", "--out", "from_sender.ost"]),
    ("decrypt", ["--points", "to_receiver.ost", "--secret-key", "receiver.sec", "--out", "from_receiver.ost"]),
    ("finish", ["--sender-points", "from_sender.ost", "--receiver-points", "from_receiver.ost", "--gamma-points",
                "gamma.ost", "--delta-points", "delta.ost", "--secret-key", "network.sec", "--table", "payments.csv",
                "--out", "results.parquet"]),
    ("inspect", ["queries.ost"]),
]


@pytest.fixture(scope="module")
def flow(tmp_path_factory):
    """The whole run through the command with --json: the directory and each step's (result, report)."""
    d = tmp_path_factory.mktemp("cli")
    _csv(d / "accounts.csv", ["iban"], ACCOUNTS)
    _csv(d / "payments.csv", ["payer", "payee"], PAYMENTS)
    reports = []
    for name, args in RUN:
        result = run_cli(name, *args, "--json", cwd=d)
        assert result.returncode == 0, result.stderr
        assert result.stderr == "", result.stderr
        reports.append((name, args, one_json(result)))
    return d, reports


def _report(flow, name, index=0):
    return [r for n, _, r in flow[1] if n == name][index]


# --------------------------------------------------------------------------- --json


def test_every_step_reports_one_json_object(flow):
    d, reports = flow
    for name, args, report in reports:
        assert report["command"] == name and report["ok"] is True and report["exit"] == 0
        assert isinstance(report["seconds"]["total"], float) and report["seconds"]["total"] >= 0
        assert report["warnings"] == [] and report["checks"], name
        # Every file named is one the step read or wrote, with the fingerprint of its header.
        named = [entry["path"] for entry in report["inputs"] + report["outputs"] if entry["what"] != "audit log"]
        assert named and all(path in args for path in named), (name, named)
        for entry in report["inputs"] + report["outputs"]:
            assert entry["bytes"] == os.path.getsize(d / entry["path"])
            if "kind" in entry:
                header = files.read_header(d / entry["path"])
                assert (entry["kind"], entry["entries"]) == (header.kind, header.count)
                assert entry["fingerprint"] == header.fingerprint.hex() == fingerprint(d / entry["path"])
                assert entry["payload_checksum"] == header.payload_checksum.hex()


def test_the_reports_say_what_each_step_did(flow):
    d, _ = flow
    keygen = _report(flow, "keygen")
    assert keygen["fingerprint"] == fingerprint(d / "sender.pub")
    assert re.fullmatch(r"[0-9a-f]{32}", keygen["fingerprint"])
    assert [o["what"] for o in keygen["outputs"]] == ["public key", "secret key"]
    store = _report(flow, "build-store")
    distinct = len(set(ACCOUNTS))
    assert store["counts"] == {"rows_read": len(ACCOUNTS), "rows_stored": distinct,
                               "rows_repeated": len(ACCOUNTS) - distinct, "rows_skipped": 0}
    assert store["outputs"][0]["entries"] == distinct and store["columns"] == ["iban"]
    assert "read rows" in store["seconds"]["phases"]
    initiate = _report(flow, "initiate")
    assert initiate["counts"]["queries"] == len(PAYMENTS) == initiate["outputs"][0]["entries"]
    assert initiate["run"] == files.read_header(d / "queries.ost").meta["run"]
    assert any("--sender-key" in check for check in initiate["checks"])
    assert not any("--receiver-key" in check for check in initiate["checks"])  # not given, not claimed
    combine = _report(flow, "combine")
    assert [o["what"] for o in combine["outputs"]] == ["sender points", "receiver points", "gamma points",
                                                       "delta points"]
    assert _report(flow, "decrypt")["outputs"][-1]["path"] == "sender.sec.audit.jsonl"
    held = {row[0] for row in ACCOUNTS}
    truth = [payer in held and payee in held for payer, payee in PAYMENTS]
    finish = _report(flow, "finish")
    assert finish["counts"] == {"payments": len(PAYMENTS), "matches": sum(truth), "payments_skipped": 0}
    assert finish["outputs"][0]["format"] == "parquet"
    import pyarrow.parquet as pq

    assert pq.read_table(d / "results.parquet").column("match").to_pylist() == truth


def test_inspect_json_gives_the_metadata_as_json(flow, tmp_path):
    d, _ = flow
    report = _report(flow, "inspect")
    header = files.read_header(d / "queries.ost")
    assert report["meta"] == header.meta and isinstance(report["meta"]["rows"], dict)
    assert (report["kind"], report["entries"], report["checksum"]) == ("queries", header.count, "ok")
    assert report["key_fingerprint"] == header.fingerprint.hex()
    before = one_json(run_cli("--json", "inspect", "queries.ost", cwd=d))  # before the subcommand, the same
    assert {k: v for k, v in before.items() if k != "seconds"} == {k: v for k, v in report.items() if k != "seconds"}
    # The listing shows metadata as JSON too, not as a Python dict.
    shown = run_cli("inspect", "queries.ost", cwd=d).stdout
    line = next(line for line in shown.splitlines() if line.startswith("meta.rows"))
    assert json.loads(line.split(None, 1)[1]) == header.meta["rows"]
    # A damaged file: exit 1, one line on standard error, and still one JSON object saying so.
    data = bytearray((d / "queries.ost").read_bytes())
    data[-1] ^= 1
    (tmp_path / "damaged.ost").write_bytes(bytes(data))
    result = run_cli("inspect", tmp_path / "damaged.ost", "--json", cwd=d)
    assert result.returncode == 1
    damaged = tmp_path / "damaged.ost"
    assert result.stderr == f"ostrelline: error: {damaged}: is corrupted (its checksums do not match)\n"
    report = one_json(result)
    assert report["ok"] is False and report["checksum"] == "MISMATCH" and report["error"]["path"] == str(
        tmp_path / "damaged.ost")


def test_failures_with_json_keep_their_status_and_say_so(flow, monkeypatch, capsys):
    d, _ = flow
    refused = run_cli("randomize", "--queries", "absent.ost", "--out", "x.ost", "--json", cwd=d)
    assert refused.returncode == 1 and refused.stderr.startswith("ostrelline: error: absent.ost")
    assert len(refused.stderr.splitlines()) == 1
    report = one_json(refused)
    assert (report["ok"], report["exit"], report["error"]["path"]) == (False, 1, "absent.ost")
    assert report["error"]["message"] in refused.stderr
    usage = run_cli("randomize", "--queries", "queries.ost", "--json", cwd=d)
    assert usage.returncode == 2 and "--out" in usage.stderr
    report = one_json(usage)
    assert (report["ok"], report["exit"], report["command"]) == (False, 2, "randomize")
    assert "the following arguments are required: --out" == report["error"]["message"]

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(steps, "randomize", interrupted)
    status = cli.main(["randomize", "--queries", str(d / "queries.ost"), "--out", str(d / "x.ost"), "--json"])
    seen = capsys.readouterr()
    assert status == 130 and json.loads(seen.out)["exit"] == 130 and "interrupted; nothing written" in seen.err
    assert not (d / "x.ost").exists()


# --------------------------------------------------------------------------- -q and -v


def test_quiet_and_verbose(flow, tmp_path):
    d, _ = flow
    quiet = run_cli("randomize", "--queries", "queries.ost", "--out", tmp_path / "q1", "-q", cwd=d)
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    assert files.read_header(tmp_path / "q1").kind == "queries"
    plain = run_cli("randomize", "--queries", "queries.ost", "--out", tmp_path / "q2", cwd=d)
    assert plain.stdout.startswith(f"wrote {tmp_path / 'q2'}: randomized copy of {len(PAYMENTS)} queries")
    assert plain.stderr == ""
    # -v, before or after the subcommand: the same output, and each file with its key on standard error.
    for where in ("before", "after"):
        args = ["randomize", "--queries", "queries.ost", "--out", tmp_path / f"v{where}"]
        args = ["-v", *args] if where == "before" else [*args, "-v"]
        verbose = run_cli(*args, cwd=d)
        assert verbose.returncode == 0 and verbose.stdout.startswith("wrote ")
        lines = verbose.stderr.splitlines()
        assert f"ostrelline: read queries.ost: queries, kind queries, {len(PAYMENTS)} entries, key " \
               f"{fingerprint(d / 'queries.ost')}" in verbose.stderr, lines
        assert any(line.startswith(f"ostrelline: wrote {tmp_path / f'v{where}'}: randomized queries") for line in lines)
        assert lines[-1].startswith("ostrelline: randomize: ") and lines[-1].endswith(" s in all")


def test_quiet_keeps_warnings_unless_twice(flow, tmp_path):
    d, _ = flow
    _csv(tmp_path / "mixed.csv", ["iban"], [("De01",), ("DE02",)])
    base = ["build-store", "--public-key", d / "sender.pub", "--table", tmp_path / "mixed.csv", "--columns", "iban",
            "--specified"]
    once = run_cli(*base, "--out", tmp_path / "s1", "-q", cwd=d)
    assert once.returncode == 0 and once.stdout == ""
    assert once.stderr.startswith("ostrelline: warning: ") and "mixes upper and lower case" in once.stderr
    twice = run_cli(*base, "--out", tmp_path / "s2", "-qq", cwd=d)
    assert (twice.returncode, twice.stdout, twice.stderr) == (0, "", "")
    reported = run_cli(*base, "--out", tmp_path / "s3", "--json", cwd=d)
    assert reported.stderr == once.stderr
    assert one_json(reported)["warnings"] == [once.stderr[len("ostrelline: warning: "):].rstrip("\n")]
    # Errors are never silenced.
    failed = run_cli("randomize", "--queries", "absent.ost", "--out", "x", "-qq", cwd=d)
    assert failed.returncode == 1 and failed.stderr.startswith("ostrelline: error: absent.ost")


# --------------------------------------------------------------------------- flag names


# (subcommand, old spelling, new spelling): the same arguments parsed alike.
ALIASES = [
    ("keygen", ["--role", "sender", "--public", "p", "--secret", "s"],
     ["--role", "sender", "--public-key", "p", "--secret-key", "s"]),
    ("build-store", ["--key", "k", "--input", "t", "--columns", "a", "--out", "o"],
     ["--public-key", "k", "--table", "t", "--columns", "a", "--out", "o"]),
    ("initiate", ["--payments", "t", "--sender-columns", "a", "--receiver-columns", "b", "--sender-store", "s",
                  "--receiver-store", "r", "--network-key", "n", "--out", "o"],
     ["--table", "t", "--sender-columns", "a", "--receiver-columns", "b", "--sender-store", "s",
      "--receiver-store", "r", "--public-key", "n", "--out", "o"]),
    ("randomize", ["q", "--out", "o"], ["--queries", "q", "--out", "o"]),
    ("combine", ["c1", "c2", "--sender-out", "a", "--receiver-out", "b", "--gamma-out", "c", "--delta-out", "d"],
     ["--copies", "c1", "c2", "--sender-out", "a", "--receiver-out", "b", "--gamma-out", "c", "--delta-out", "d"]),
    ("decrypt", ["p", "--secret-key", "s", "--out", "o"], ["--points", "p", "--secret-key", "s", "--out", "o"]),
    ("finish", ["--sender", "a", "--receiver", "b", "--gamma", "c", "--delta", "d", "--secret-key", "s",
                "--payments", "t", "--out", "o"],
     ["--sender-points", "a", "--receiver-points", "b", "--gamma-points", "c", "--delta-points", "d",
      "--secret-key", "s", "--table", "t", "--out", "o"]),
]


def _parsed(argv):
    args = vars(cli._parse(argv))
    return {k: v for k, v in args.items() if not k.startswith("old_") and k not in ("command_parser", "run")}


@pytest.mark.parametrize("name,old,new", ALIASES, ids=[a[0] for a in ALIASES])
def test_old_spellings_are_hidden_aliases(flow, name, old, new):
    d, _ = flow
    assert _parsed([name, *old]) == _parsed([name, *new])
    shown = run_cli(name, "--help", cwd=d).stdout
    hidden = {a for a in old if a.startswith("--")} - {a for a in new if a.startswith("--")}
    listed = set(re.findall(r"(--[a-z-]+)", shown))
    assert {a for a in new if a.startswith("--")} <= listed and not hidden & listed, (hidden & listed)
    assert "--table" in listed or name not in ("build-store", "initiate", "finish")
    # Old and new together name one file twice: refused as a usage error.
    if hidden:
        index = old.index(sorted(hidden)[0])
        both = [*new, *old[index : index + 2]]
    else:  # a positional argument of old
        both = [*new, old[0]]
    result = run_cli(name, *both, cwd=d)
    assert result.returncode == 2 and "not allowed with" in result.stderr, result.stderr


def test_a_missing_file_is_named_by_its_flag(flow):
    d, _ = flow
    for name, _, new in ALIASES:
        flag = new[0] if new[0] != "--role" else "--public-key"
        argv = list(new)
        index = argv.index(flag)
        del argv[index : index + (3 if flag == "--copies" else 2)]
        result = run_cli(name, *argv, cwd=d)
        assert result.returncode == 2, (name, result.stderr)
        assert f"error: the following arguments are required: {flag}" in result.stderr, result.stderr


def test_old_spellings_still_run(flow, tmp_path):
    d, _ = flow
    steps_old = [
        ["keygen", "--role", "network", "--public", tmp_path / "n.pub", "--secret", tmp_path / "n.sec"],
        ["build-store", "--key", "sender.pub", "--input", "accounts.csv", "--columns", "iban", "--specified", "--out",
         tmp_path / "s.store"],
        ["randomize", "queries.ost", "--out", tmp_path / "c.ost"],
        ["combine", "copy1.ost", "copy2.ost", "--sender-out", tmp_path / "a", "--receiver-out", tmp_path / "b",
         "--gamma-out", tmp_path / "c", "--delta-out", tmp_path / "d"],
        ["decrypt", "to_receiver.ost", "--secret-key", "receiver.sec", "--out", tmp_path / "r.ost", "--again",
         "--audit-log", tmp_path / "audit.jsonl"],
        ["finish", "--sender", "from_sender.ost", "--receiver", "from_receiver.ost", "--gamma", "gamma.ost", "--delta",
         "delta.ost", "--secret-key", "network.sec", "--payments", "payments.csv", "--out", tmp_path / "r.csv"],
    ]
    for argv in steps_old:
        result = run_cli(*argv, cwd=d)
        assert result.returncode == 0, (argv[0], result.stderr)


# --------------------------------------------------------------------------- standard output as a stream


def test_inspect_exports_to_standard_output(flow, tmp_path):
    d, _ = flow
    with open(tmp_path / "payload", "wb") as out:
        result = run_cli("inspect", "queries.ost", "--export", "-", cwd=d, stdout=out, text=False)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "payload").read_bytes() == files.open_file(d / "queries.ost").payload()
    # The listing goes to standard error, out of the payload's way.
    assert b"exported the payload to standard output" in result.stderr and b"kind" in result.stderr
    piped = run_cli("inspect", "sender.store", "--export", "-", "-q", cwd=d, text=False)
    assert (piped.returncode, piped.stderr) == (0, b"")
    assert piped.stdout == files.open_file(d / "sender.store").payload()
    # A secret key's payload is never streamed; --json takes standard output for itself.
    secret = run_cli("inspect", "sender.sec", "--export", "-", cwd=d)
    assert secret.returncode == 1 and "is a secret key" in secret.stderr and secret.stdout == ""
    clash = run_cli("inspect", "queries.ost", "--export", "-", "--json", cwd=d)
    assert clash.returncode == 2 and "--json" in clash.stderr
    # Only where a step streams: a store goes to a file.
    store = run_cli("randomize", "--queries", "queries.ost", "--out", "-", cwd=d)
    assert store.returncode == 2 and "not a stream" in store.stderr and not (d / "-").exists()


def test_no_payload_to_a_terminal(flow):
    d, _ = flow
    controller, terminal = os.openpty()
    try:
        result = run_cli("inspect", "queries.ost", "--export", "-", cwd=d, stdout=terminal)
    finally:
        os.close(terminal)
        os.close(controller)
    assert result.returncode == 1 and "is a terminal" in result.stderr


def test_tables_in_other_dialects_and_from_standard_input(flow, tmp_path):
    d, _ = flow
    (tmp_path / "semi.csv").write_bytes("iban;name\nDE01;M\xfcller\nDE02;Ma\xeftre\n".encode("latin-1"))
    build = ["build-store", "--public-key", d / "sender.pub", "--columns", "iban,name", "--specified", "--json"]
    dialect = ["--delimiter", ";", "--encoding", "latin-1"]
    from_file = run_cli(*build, "--table", tmp_path / "semi.csv", *dialect, "--out", tmp_path / "a.store", cwd=d)
    with open(tmp_path / "semi.csv", "rb") as table:
        piped = run_cli(*build, "--table", "-", *dialect, "--out", tmp_path / "b.store", cwd=d, stdin=table)
    for result in (from_file, piped):
        assert result.returncode == 0, result.stderr
        assert one_json(result)["counts"]["rows_stored"] == 2
    assert one_json(piped)["inputs"][1] == {"path": "-", "what": "table", "rows": 2}
    # A dialect that cannot be is a usage error, before anything is read or written.
    for bad in (["--delimiter", ";;"], ["--encoding", "no-such-codec"]):
        result = run_cli(*build, "--table", tmp_path / "semi.csv", *bad, "--out", tmp_path / "c.store", cwd=d)
        assert result.returncode == 2 and "usage: ostrelline build-store" in result.stderr, result.stderr
        assert one_json(result)["exit"] == 2
    assert not (tmp_path / "c.store").exists()


def test_results_to_standard_output(flow, tmp_path):
    d, _ = flow
    finish = ["finish", "--sender-points", "from_sender.ost", "--receiver-points", "from_receiver.ost",
              "--gamma-points", "gamma.ost", "--delta-points", "delta.ost", "--secret-key", "network.sec",
              "--table", "payments.csv"]
    result = run_cli(*finish, "--out", "-", cwd=d)
    assert result.returncode == 0, result.stderr
    held = {row[0] for row in ACCOUNTS}
    rows = list(csv.DictReader(result.stdout.splitlines()))
    assert [(r["payer"], r["payee"]) for r in rows] == PAYMENTS
    assert [r["match"] for r in rows] == [str(a in held and b in held).lower() for a, b in PAYMENTS]
    # What the step did is said on standard error, out of the results' way.
    assert result.stderr.startswith(f"results on standard output: {len(PAYMENTS)} payments")
    assert run_cli(*finish, "--out", "-", "-q", cwd=d).stderr == ""
    # A reader that goes (| head -1) ends the results quietly, as every output does.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        gone = run_cli(*finish, "--out", "-", cwd=d, stdout=write_end)
    finally:
        os.close(write_end)
    assert (gone.returncode, gone.stderr) == (0, "")
    clash = run_cli(*finish, "--out", "-", "--json", cwd=d)
    assert clash.returncode == 2 and one_json(clash)["exit"] == 2
    # A results name that says no format the step writes: a usage error, nothing written.
    refused = run_cli(*finish, "--out", tmp_path / "res.json", cwd=d)
    assert refused.returncode == 2 and "usage: ostrelline finish" in refused.stderr
    assert "res.json" in refused.stderr.splitlines()[-1] and not (tmp_path / "res.json").exists()


def _reading_standard_input(pid):
    """Whether the process waits in a read of its standard input (Linux's /proc/PID/syscall)."""
    try:
        with open(f"/proc/{pid}/syscall") as file:
            fields = file.read().split()
    except OSError:
        pytest.skip("this system does not show a process's system call")
    return fields[:2] == ["0", "0x0"]


def test_ctrl_c_while_a_table_is_read_from_standard_input(flow, tmp_path):
    d, _ = flow
    code = ("import signal, sys\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"
            "from ostrelline_tools.cli import main\nsys.exit(main(sys.argv[1:]))\n")
    process = subprocess.Popen(
        [sys.executable, "-c", code, "build-store", "--public-key", "sender.pub", "--table", "-", "--columns", "iban",
         "--specified", "--out", str(tmp_path / "s.store"), "--json"],
        cwd=d, env=_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        process.stdin.write("iban\nDE01\n")  # a table begun, never ended
        process.stdin.flush()
        deadline = time.monotonic() + 120
        while not _reading_standard_input(process.pid):
            assert process.poll() is None and time.monotonic() < deadline, "it never waited for the table"
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 130 and err == "ostrelline: interrupted; nothing written\n"
    assert json.loads(out)["exit"] == 130 and not os.listdir(tmp_path)


# --------------------------------------------------------------------------- progress


def _on_terminal(args, cwd, columns):
    """Runs the command with standard error on a pseudo-terminal ``columns``
    wide; returns its exit status and what the terminal received."""
    controller, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    process = subprocess.Popen([sys.executable, "-m", "ostrelline_tools", *map(str, args)], cwd=cwd, env=_env(),
                               stdout=subprocess.DEVNULL, stderr=terminal)
    os.close(terminal)
    received = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # the terminal's other end closed: the command has ended
            break
        if not chunk:
            break
        received += chunk
    os.close(controller)
    return process.wait(timeout=120), received.decode()


@pytest.fixture(scope="module")
def long_stream(flow):
    """A query stream of 3,000 entries."""
    d, _ = flow
    _csv(d / "many.csv", ["payer", "payee"], [(f"DE{i:02d}", "DE02") for i in range(3000)])
    steps.initiate(d / "many.csv", [("payer", "iban")], [("payee", "iban")], d / "sender.store", d / "receiver.store",
                   d / "network.pub", d / "many.ost")
    return d / "many.ost"


@pytest.mark.parametrize("columns", [40, 64, 120])
def test_progress_fits_the_terminal(flow, long_stream, tmp_path, columns):
    d, _ = flow
    status, shown = _on_terminal(["randomize", "--queries", long_stream, "--out", tmp_path / "r", "--chunk-size", "64"],
                                 d, columns)
    assert status == 0
    drawn = [line for line in re.split(r"[\r\n]", shown) if line.strip()]
    assert drawn and all(len(line) < columns for line in drawn), [line for line in drawn if len(line) >= columns]
    assert all(line.startswith("randomize ") for line in drawn)
    # Narrow, the words go before the figures: the count stays whole.
    timing = ("elapsed, ETA", "elapsed, done") if columns >= 64 else (", ETA", ", done")
    assert timing[0] in drawn[0] and timing[1] in drawn[-1]
    assert drawn[-1].rstrip().endswith("3,000/3,000" if columns < 64 else "/s)") and "3,000/3,000" in drawn[-1]
    if columns >= 64:
        assert "#" * 5 in drawn[-1]  # a bar, whole at the end
    if columns >= 120:
        assert "[" + "#" * progress.BAR_WIDTH + "]" in drawn[-1]
    assert shown.endswith("\r\n")  # the line ended, not left for the next to overwrite


def test_the_build_is_shown_as_one_call(flow, tmp_path):
    d, _ = flow
    status, shown = _on_terminal(["build-store", "--public-key", "sender.pub", "--table", "accounts.csv",
                                  "--columns", "iban", "--specified", "--out", tmp_path / "s.store"], d, 100)
    assert status == 0
    drawn = [line.rstrip() for line in re.split(r"[\r\n]", shown) if line.strip()]
    building = [line for line in drawn if line.startswith("build-store")]
    distinct = len(set(ACCOUNTS))
    assert "no estimate" in building[0] and f"{distinct} rows in one call" in building[0] and "<=>" in building[0]
    assert f"{distinct}/{distinct}" in building[-1] and "elapsed, done" in building[-1]
    assert not any("0/" in line for line in building)  # no count that stands still through the build
    assert all(len(line) < 100 for line in drawn)


# The command with the module's build held until a file appears (the build runs in a forked child).
HELD_BUILD = """
import os, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
import ostrelline_hiding
built = ostrelline_hiding.build_okvs_packed
def held(*args):
    while not os.path.exists(sys.argv[1]):
        time.sleep(0.02)
    return built(*args)
ostrelline_hiding.build_okvs_packed = held
from ostrelline_tools.cli import main
sys.exit(main(sys.argv[2:]))
"""


def test_the_build_redraws_while_it_runs(flow, tmp_path):
    """No report comes during the one call of a build: the elapsed time moves all the same."""
    d, _ = flow
    columns = 72
    controller, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    release = tmp_path / "release"
    process = subprocess.Popen(
        [sys.executable, "-c", HELD_BUILD, str(release), "build-store", "--public-key", "sender.pub", "--table",
         "accounts.csv", "--columns", "iban", "--specified", "--out", str(tmp_path / "s.store")],
        cwd=d, env=_env(), stdout=subprocess.DEVNULL, stderr=terminal,
    )
    os.close(terminal)
    shown, deadline = "", time.monotonic() + 120
    try:
        # Held in the build until the bar has been redrawn a second into it.
        while "0:01 elapsed, no estimate" not in shown:
            assert time.monotonic() < deadline and process.poll() is None, shown
            ready, _, _ = select.select([controller], [], [], 1)
            if ready:
                shown += os.read(controller, 65536).decode()
        release.touch()
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk.decode()
        assert process.wait(timeout=120) == 0
    finally:
        os.close(controller)
        if process.poll() is None:
            process.kill()
            process.wait()
    drawn = [line for line in re.split(r"[\r\n]", shown) if line.strip()]
    held = [line for line in drawn if line.startswith("build-store") and "no estimate" in line]
    assert len(set(held)) >= 2 and all(len(line) < columns for line in drawn)
    assert "elapsed, done" in drawn[-1] and shown.endswith("\r\n")


class _Clock:
    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now


class _Terminal:
    def __init__(self, columns):
        self.columns, self.text = columns, ""

    def isatty(self):
        return True

    def write(self, text):
        self.text += text

    def flush(self):
        pass


@pytest.mark.parametrize("columns", [12, 20, 33, 50, 80, 200])
def test_progress_lines_at_every_width(monkeypatch, columns):
    clock = _Clock()
    monkeypatch.setattr(progress.time, "monotonic", clock)
    terminal = _Terminal(columns)
    bar = progress.ProgressBar("auto", terminal, indeterminate=("build-store",))
    monkeypatch.setattr(bar, "width", lambda: columns)
    bar("initiate", 0, 1_000_000)
    clock.now += 10
    bar("initiate", 250_000, 1_000_000)
    clock.now += 5
    bar("build-store", 0, 200_000)
    clock.now += 65
    bar("build-store", 0, 200_000)  # a tick: the same numbers again
    bar("build-store", 200_000, 200_000)
    lines = [line for line in re.split(r"[\r\n]", terminal.text) if line]
    assert len(lines) == 5 and all(len(line) < columns for line in lines), lines
    if columns >= 80:
        # 250,000 of 1,000,000 in 10 s: 30 s left at that rate.
        assert "0:10 elapsed, ETA 0:30" in lines[1] and "250,000/1,000,000 (25,000/s)" in lines[1]
        assert "0:00 elapsed, no estimate" in lines[2] and "200,000 rows in one call" in lines[2]
        assert "1:05 elapsed, no estimate" in lines[3] and lines[3] != lines[2]  # the tick moved the bar
        assert "1:05 elapsed, done" in lines[4] and "200,000/200,000" in lines[4]
    if columns >= 200:
        assert "[" + "#" * 7 + "." * 23 + "]" in lines[1]
    assert terminal.text.endswith("\n")


def test_the_timer_of_an_indeterminate_bar(monkeypatch):
    clock = _Clock()
    monkeypatch.setattr(progress.time, "monotonic", clock)
    terminal = _Terminal(80)
    bar = progress.ProgressBar("auto", terminal, indeterminate=("build-store",))
    monkeypatch.setattr(bar, "width", lambda: 80)
    before = signal.getsignal(signal.SIGALRM)
    bar("build-store", 0, 10)
    try:
        assert signal.getitimer(signal.ITIMER_REAL)[1] == progress.BEAT  # armed, repeating
        handler = signal.getsignal(signal.SIGALRM)
        clock.now += 75
        handler(signal.SIGALRM, None)  # what the timer does
        assert terminal.text.count("\r") == 2 and "1:15 elapsed, no estimate" in terminal.text
    finally:
        bar("build-store", 10, 10)
    # The last report stops the timer and gives the handler back.
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0) and signal.getsignal(signal.SIGALRM) == before
    assert terminal.text.endswith("\n")
    assert terminal.text.rstrip().endswith("1:15 elapsed, done [" + "#" * 30 + "] 10/10 (0/s)")
    # Not on a log, and never over another timer.
    log = _Terminal(80)
    log.isatty = lambda: False
    progress.ProgressBar("always", log, indeterminate=("build-store",))("build-store", 0, 10)
    assert signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    signal.setitimer(signal.ITIMER_REAL, 1000)
    try:
        other = progress.ProgressBar("auto", _Terminal(80), indeterminate=("build-store",))
        other("build-store", 0, 10)
        assert signal.getsignal(signal.SIGALRM) == before and signal.getitimer(signal.ITIMER_REAL)[0] > 900
        other.close()
        assert signal.getitimer(signal.ITIMER_REAL)[0] > 900
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)


def test_progress_in_a_log_keeps_the_count_last(monkeypatch):
    clock = _Clock()
    monkeypatch.setattr(progress.time, "monotonic", clock)
    log = _Terminal(10)
    log.isatty = lambda: False
    bar = progress.ProgressBar("always", log)
    for done in range(0, 5001, 1000):
        bar("decrypt", done, 5000)
        clock.now += 2
    lines = log.text.splitlines()
    assert len(lines) == 6  # a log line a second at most, not cut to any width
    assert [line.split()[-2] for line in lines] == [f"{n:,}/5,000" for n in range(0, 5001, 1000)]
    assert "0:02 elapsed, ETA 0:08" in lines[1] and "0:10 elapsed, done" in lines[-1]
    assert progress.duration(3725) == "1:02:05" and progress.duration(59.6) == "1:00"


# --------------------------------------------------------------------------- completion


def _complete(line, cwd):
    out = cwd / "completions"
    env = _env(_ARGCOMPLETE="1", _ARGCOMPLETE_IFS="\n", COMP_LINE=line, COMP_POINT=str(len(line)),
               _ARGCOMPLETE_STDOUT_FILENAME=str(out))
    result = subprocess.run([sys.executable, "-m", "ostrelline_tools"], cwd=cwd, env=env, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return sorted(word.strip() for word in out.read_text().split("\n") if word.strip())


def test_shell_completion(flow):
    pytest.importorskip("argcomplete")
    d, _ = flow
    words = _complete("ostrelline ", d)
    assert [w for w in words if not w.startswith("-")] == sorted(COMMANDS) and "--version" in words
    assert _complete("ostrelline ra", d) == ["randomize"]
    assert _complete("ostrelline keygen --role ", d) == ["network", "receiver", "sender"]
    # The flags as named now; the old spellings are not offered.
    assert _complete("ostrelline finish --sender", d) == ["--sender-points"]
    assert _complete("ostrelline build-store --", d).count("--table") == 1
    assert "--input" not in _complete("ostrelline build-store --", d)
    assert _complete("ostrelline inspect queries.", d) == ["queries.ost"]


def test_the_command_works_without_argcomplete(flow):
    d, _ = flow
    code = ("import sys\nsys.modules['argcomplete'] = None\nfrom ostrelline_tools.cli import main\n"
            "status = main(['inspect', 'queries.ost'])\nassert 'argcomplete' not in sys.modules or "
            "sys.modules['argcomplete'] is None\nsys.exit(status)\n")
    result = subprocess.run([sys.executable, "-c", code], cwd=d, env=_env(), capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "") and result.stdout.startswith("file")
    # Asked to complete without it, the command says nothing and completes nothing.
    result = subprocess.run([sys.executable, "-c", code.replace("['inspect', 'queries.ost']", "[]")], cwd=d,
                            env=_env(_ARGCOMPLETE="1", COMP_LINE="ostrelline ", COMP_POINT="11"),
                            capture_output=True, text=True)
    assert result.returncode == 2 and result.stdout == ""


# --------------------------------------------------------------------------- exit statuses


# Each subcommand with an input that does not exist (a refusal: 1), and what it needs besides.
ABSENT = {
    "keygen": ["--role", "sender", "--public-key", "k.pub", "--secret-key", "nowhere/k.sec"],
    "build-store": ["--public-key", "absent.pub", "--table", "accounts.csv", "--columns", "iban", "--out", "o"],
    "initiate": ["--table", "payments.csv", "--sender-columns", "payer", "--receiver-columns", "payee",
                 "--sender-store", "absent.store", "--receiver-store", "receiver.store", "--public-key",
                 "network.pub", "--out", "o"],
    "randomize": ["--queries", "absent.ost", "--out", "o"],
    "combine": ["--copies", "absent.ost", "copy2.ost", "--sender-out", "a", "--receiver-out", "b", "--gamma-out",
                "c", "--delta-out", "o"],
    "decrypt": ["--points", "absent.ost", "--secret-key", "sender.sec", "--out", "o"],
    "finish": ["--sender-points", "absent.ost", "--receiver-points", "from_receiver.ost", "--gamma-points",
               "gamma.ost", "--delta-points", "delta.ost", "--secret-key", "network.sec", "--table", "payments.csv",
               "--out", "o.csv"],
    "inspect": ["absent.ost"],
}
STEP_OF = {"keygen": "keygen", "build-store": "build_store", "initiate": "initiate", "randomize": "randomize",
           "combine": "combine", "decrypt": "decrypt", "finish": "finish", "inspect": "describe"}


@pytest.mark.parametrize("name", COMMANDS)
def test_exit_statuses_of_every_subcommand(flow, name, monkeypatch, capsys):
    d, _ = flow
    before = set(os.listdir(d))
    # A refusal: 1, one line naming the file.
    result = run_cli(name, *ABSENT[name], cwd=d)
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("ostrelline: error: ") and len(result.stderr.splitlines()) == 1
    # A usage error: 2, before anything is read: an unknown option, a missing argument.
    for argv in ([*ABSENT[name], "--no-such-option"], [name == "inspect" and "--export" or "--force"]):
        result = run_cli(name, *argv, cwd=d)
        assert result.returncode == 2 and "usage: ostrelline " + name in result.stderr, result.stderr
    # Ctrl-C during the step: 130, nothing written.

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(steps, STEP_OF[name], interrupted)
    monkeypatch.chdir(d)
    assert cli.main([name, *ABSENT[name]]) == 130
    assert capsys.readouterr().err == "ostrelline: interrupted; nothing written\n"
    assert set(os.listdir(d)) == before


def _waiting_for_its_child(pid):
    """Whether the process has a child and waits in poll(2) (Linux's /proc): the build's
    parent in its wait for the child's result."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as file:
            children = file.read().split()
        with open(f"/proc/{pid}/syscall") as file:
            call = file.read().split()[:1]
    except OSError:
        pytest.skip("this system does not show a process's children and system call")
    return bool(children) and call == ["7"]


@pytest.mark.parametrize("number,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)])
def test_signals_during_a_step(flow, tmp_path, number, status):
    """A signal while the build runs (held until a file that never comes): its status, and nothing written."""
    d, _ = flow
    process = subprocess.Popen(
        [sys.executable, "-c", HELD_BUILD, str(tmp_path / "never"), "build-store", "--public-key", "sender.pub",
         "--table", "accounts.csv", "--columns", "iban", "--specified", "--out", str(tmp_path / "s.store"), "--json",
         "--progress", "always"],
        cwd=d, env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        deadline = time.monotonic() + 120
        while "no estimate" not in process.stderr.readline():  # the build has begun
            assert process.poll() is None and time.monotonic() < deadline
        while not _waiting_for_its_child(process.pid):  # past the fork, waiting for the child's result
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        process.send_signal(number)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == status and err.endswith("; nothing written\n"), err
    report = json.loads(out)
    assert (report["ok"], report["exit"]) == (False, status) and not os.listdir(tmp_path)
