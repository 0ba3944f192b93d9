"""The party tools end to end: the ``ostrelline`` command on CSV and Parquet
tables, every refused file, colliding columns, interruption and progress."""
import csv
import json
import os
import random
import select
import signal
import stat
import subprocess
import sys
import time

import pytest

PYTHON_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
sys.path.insert(0, PYTHON_DIR)

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq  # noqa: E402

import ostrelline  # noqa: E402
from ostrelline_tools import BadFileError, ModuleError, ToolError, cli, files, kinds, results, steps  # noqa: E402

def _has_hiding():
    try:
        import ostrelline_hiding  # noqa: F401
    except ImportError:
        return False
    return True


CONSTRUCTIONS = (["hiding"] if _has_hiding() else []) + ["specified"]


def _env():
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    return env


def run_cli(*args, cwd):
    """The command in a process of its own, as a party runs it."""
    return subprocess.run(
        [sys.executable, "-m", "ostrelline_tools", *args], cwd=cwd, env=_env(), capture_output=True, text=True
    )


def write_table(path, header, table):
    if str(path).endswith(".parquet"):
        pq.write_table(pa.table({name: [row[i] for row in table] for i, name in enumerate(header)}), path)
    else:
        with open(path, "w", newline="") as file:
            writer = csv.writer(file)
            writer.writerow(header)
            writer.writerows(table)


def make_tables(directory, suffix, seed=7, accounts=120, payments=300):
    rng = random.Random(seed)
    senders = [(f"DE{rng.randrange(10**8):08d}", f"00{i % 7}") for i in range(accounts)]
    receivers = [(f"FR{rng.randrange(10**8):08d}", f"00{i % 5}") for i in range(accounts)]
    table, truth = [], []
    for i in range(payments):
        s = rng.choice(senders) if rng.random() < 0.7 else (f"XX{i:08d}", "001")
        r = rng.choice(receivers) if rng.random() < 0.7 else (f"YY{i:08d}", "001")
        table.append(s + r + (f"p{i}",))
        truth.append(s in senders and r in receivers)
    write_table(directory / f"sender{suffix}", ["iban", "branch"], senders)
    write_table(directory / f"receiver{suffix}", ["iban", "branch"], receivers)
    write_table(directory / f"payments{suffix}", ["s_iban", "s_branch", "r_iban", "r_branch", "id"], table)
    return truth


def protocol(directory, suffix, construction):
    """Every step of the three parties through the command; returns the results file."""
    c = lambda *args: run_cli(*args, cwd=directory)  # noqa: E731
    outputs = []
    for role in ("sender", "receiver", "network"):
        outputs.append(c("keygen", "--role", role, "--public", f"{role}.pub", "--secret", f"{role}.sec"))
    extra = ["--specified"] if construction == "specified" else []
    for bank in ("sender", "receiver"):
        outputs.append(
            c("build-store", "--key", f"{bank}.pub", "--input", f"{bank}{suffix}", "--columns", "iban,branch",
              "--out", f"{bank}.store", *extra)
        )
    outputs.append(
        c("initiate", "--payments", f"payments{suffix}", "--sender-columns", "s_iban,s_branch",
          "--receiver-columns", "r_iban", "--receiver-columns", "r_branch", "--sender-store", "sender.store",
          "--receiver-store", "receiver.store", "--network-key", "network.pub", "--sender-key", "sender.pub",
          "--receiver-key", "receiver.pub", "--out", "queries.ost")
    )
    outputs.append(c("randomize", "queries.ost", "--out", "copy1.ost"))
    outputs.append(c("randomize", "queries.ost", "--out", "copy2.ost"))
    outputs.append(
        c("combine", "copy1.ost", "copy2.ost", "--sender-out", "to_sender.ost", "--receiver-out", "to_receiver.ost",
          "--gamma-out", "gamma.ost", "--delta-out", "delta.ost")
    )
    outputs.append(c("decrypt", "to_sender.ost", "--secret-key", "sender.sec", "--out", "from_sender.ost"))
    outputs.append(c("decrypt", "to_receiver.ost", "--secret-key", "receiver.sec", "--out", "from_receiver.ost"))
    outputs.append(
        c("finish", "--sender", "from_sender.ost", "--receiver", "from_receiver.ost", "--gamma", "gamma.ost",
          "--delta", "delta.ost", "--secret-key", "network.sec", "--payments", f"payments{suffix}",
          "--out", f"results{suffix}")
    )
    for result in outputs:
        assert result.returncode == 0, result.stderr
    return outputs


def read_results(path):
    """The match column of a result, read as any reader of the format would."""
    if str(path).endswith(".parquet"):
        return pq.read_table(path).column("match").to_pylist()
    with open(path, newline="") as file:
        return [{"true": True, "false": False, "": None}[row["match"]] for row in csv.DictReader(file)]


@pytest.mark.parametrize("suffix,construction", [(".csv", CONSTRUCTIONS[0]), (".parquet", "specified")])
def test_whole_flow(tmp_path, suffix, construction):
    truth = make_tables(tmp_path, suffix)
    outputs = protocol(tmp_path, suffix, construction)
    assert read_results(tmp_path / f"results{suffix}") == truth
    # The payments' own columns come through unchanged, the match column last.
    if suffix == ".parquet":
        table = pq.read_table(tmp_path / "results.parquet")
        assert table.drop(["match"]).equals(pq.read_table(tmp_path / "payments.parquet"))
        assert run_cli("inspect", "results.parquet", cwd=tmp_path).returncode == 0
    secret_hex = [files.open_file(tmp_path / f"{r}.sec").payload().hex() for r in ("sender", "receiver", "network")]
    printed = "".join(o.stdout + o.stderr for o in outputs)
    assert not any(key in printed for key in secret_hex)
    for role in ("sender", "receiver", "network"):
        assert stat.S_IMODE(os.stat(tmp_path / f"{role}.sec").st_mode) == 0o600
    store = files.check_file(tmp_path / "sender.store", ["store"])
    assert store.meta["construction"] == construction and store.meta["role"] == "sender"
    assert store.rows == {"scheme": "length-prefixed-utf8", "normalise": "none", "columns": 2}
    # What a bank receives names its own key, the run and the payment network's key (for the bank's audit
    # log), and nothing of the payments or the other bank.
    network = files.check_file(tmp_path / "network.pub", ["public-key"]).fingerprint.hex()
    for name, component in (("to_sender.ost", "sender"), ("to_receiver.ost", "receiver")):
        header = files.check_file(tmp_path / name, ["points"])
        assert set(header.meta) == {"run", "component", "decrypted", "network"} and header.meta["component"] == component
        assert header.meta["network"] == network
    # The payload is the module's bytes: exported, it is what the module reads.
    assert run_cli("inspect", "to_sender.ost", "--export", "bare", cwd=tmp_path).returncode == 0
    bare = (tmp_path / "bare").read_bytes()
    secret = files.open_file(tmp_path / "sender.sec").payload()
    with files.open_file(tmp_path / "from_sender.ost") as stored:
        assert ostrelline.decrypt(bare, secret) == stored.payload()


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One finished run on CSV tables, made through the Python API, and a few
    files of other keys and runs, for the refusals."""
    d = tmp_path_factory.mktemp("run")
    make_tables(d, ".csv")
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    steps.keygen(d / "other.pub", d / "other.sec", "sender")
    for bank, key in (("sender", "sender"), ("receiver", "receiver"), ("other", "other")):
        table = "receiver" if bank == "receiver" else "sender"
        steps.build_store(d / f"{key}.pub", d / f"{table}.csv", ["iban", "branch"], d / f"{bank}.store",
                          construction="specified")
    steps.initiate(d / "payments.csv", ["s_iban", "s_branch"], ["r_iban", "r_branch"], d / "sender.store",
                   d / "receiver.store", d / "network.pub", d / "queries.ost")
    steps.randomize(d / "queries.ost", d / "copy1.ost")
    steps.randomize(d / "queries.ost", d / "copy2.ost")
    steps.combine(d / "copy1.ost", d / "copy2.ost", d / "to_sender.ost", d / "to_receiver.ost", d / "gamma.ost",
                  d / "delta.ost")
    steps.decrypt(d / "to_sender.ost", d / "sender.sec", d / "from_sender.ost")
    steps.decrypt(d / "to_receiver.ost", d / "receiver.sec", d / "from_receiver.ost")
    # A second, shorter run on another payments table.
    write_table(d / "few.csv", ["s_iban", "s_branch", "r_iban", "r_branch"], [("a", "b", "c", "d")] * 5)
    steps.initiate(d / "few.csv", ["s_iban", "s_branch"], ["r_iban", "r_branch"], d / "other.store",
                   d / "receiver.store", d / "network.pub", d / "few.ost")
    steps.randomize(d / "few.ost", d / "few1.ost")
    steps.randomize(d / "few.ost", d / "few2.ost")
    steps.combine(d / "few1.ost", d / "few2.ost", d / "few_s.ost", d / "few_r.ost", d / "few_g.ost", d / "few_d.ost")
    steps.decrypt(d / "few_s.ost", d / "other.sec", d / "few_sd.ost")
    # Damaged and foreign files.
    data = (d / "sender.store").read_bytes()
    (d / "short.store").write_bytes(data[:-64])
    (d / "padded.store").write_bytes(data + bytes(64))
    flipped = bytearray((d / "to_sender.ost").read_bytes())
    flipped[-100] ^= 0x40
    (d / "flipped.ost").write_bytes(bytes(flipped))
    files.export_payload(d / "sender.store", d / "bare.store")
    (d / "twice.csv").write_text("s_iban,s_branch,r_iban,r_branch,s_iban\na,b,c,d,e\n")
    (d / "loose.sec").write_bytes((d / "sender.sec").read_bytes())
    os.chmod(d / "loose.sec", 0o644)
    return d


INITIATE = ["initiate", "--payments", "payments.csv", "--sender-columns", "s_iban,s_branch", "--receiver-columns",
            "r_iban,r_branch", "--network-key", "network.pub", "--out", "out.ost"]
FINISH = ["finish", "--secret-key", "network.sec", "--payments", "payments.csv", "--out", "out.csv"]
PARTS = {"--sender": "from_sender.ost", "--receiver": "from_receiver.ost", "--gamma": "gamma.ost",
         "--delta": "delta.ost"}


def _finish(**changed):
    parts = dict(PARTS, **{f"--{k}": v for k, v in changed.items() if k != "secret"})
    argv = list(FINISH) + [x for item in parts.items() for x in item]
    if "secret" in changed:
        argv[argv.index("network.sec")] = changed["secret"]
    return argv


def _initiate(sender="sender.store", receiver="receiver.store", *extra):
    return INITIATE + ["--sender-store", sender, "--receiver-store", receiver, *extra]


REFUSED = {
    "store under another bank's key": (_initiate("other.store", "receiver.store", "--sender-key", "sender.pub"),
                                       "other.store", "was made under key"),
    "stores swapped": (_initiate("receiver.store", "sender.store"), "receiver.store", "given in the sending bank's place"),
    "store cut short": (_initiate("short.store"), "short.store", "truncated"),
    "store padded by 64 bytes": (_initiate("padded.store"), "padded.store", "64 bytes past the end"),
    "bare module bytes as a store": (_initiate("bare.store"), "bare.store", "not an ostrelline file"),
    "queries against another normalisation": (_initiate("sender.store", "receiver.store", "--normalise",
                                                        "identifier"), "sender.store", "normalisation"),
    "queries with other columns": (INITIATE[:4] + ["s_iban"] + INITIATE[5:] + ["--sender-store", "sender.store",
                                   "--receiver-store", "receiver.store"], "sender.store", "2 columns"),
    "a missing column": (INITIATE[:4] + ["s_iban,nope"] + INITIATE[5:] + ["--sender-store", "sender.store",
                         "--receiver-store", "receiver.store"], "payments.csv", "no column 'nope'"),
    "a secret key in a public key's place": ([a if a != "network.pub" else "network.sec" for a in _initiate()],
                                              "network.sec", "expected a 'public-key' file"),
    "wrong bank key in decrypt": (["decrypt", "to_sender.ost", "--secret-key", "receiver.sec", "--out", "out.ost"],
                                  "receiver.sec", "receiving bank's secret key"),
    "another sending bank's key in decrypt": (["decrypt", "to_sender.ost", "--secret-key", "other.sec", "--out",
                                               "out.ost"], "other.sec", "was made for key"),
    "a secret key readable by others": (["decrypt", "to_sender.ost", "--secret-key", "loose.sec", "--out", "out.ost"],
                                        "loose.sec", "readable by other users"),
    "corrupted stream": (["decrypt", "flipped.ost", "--secret-key", "sender.sec", "--out", "out.ost"], "flipped.ost",
                         "checksum"),
    "wrong kind": (["decrypt", "sender.store", "--secret-key", "sender.sec", "--out", "out.ost"], "sender.store",
                   "expected a 'points' file"),
    "gamma given to a bank": (["decrypt", "gamma.ost", "--secret-key", "sender.sec", "--out", "out.ost"], "gamma.ost",
                              "not a bank's"),
    "combine of one copy twice": (["combine", "copy1.ost", "copy1.ost", "--sender-out", "o1", "--receiver-out", "o2",
                                   "--gamma-out", "o3", "--delta-out", "out.ost"], "copy1.ost", "same randomized copy"),
    "combine of unrandomized queries": (["combine", "queries.ost", "copy1.ost", "--sender-out", "o1", "--receiver-out",
                                         "o2", "--gamma-out", "o3", "--delta-out", "out.ost"], "queries.ost",
                                        "not randomized"),
    "combine across runs": (["combine", "copy1.ost", "few1.ost", "--sender-out", "o1", "--receiver-out", "o2",
                             "--gamma-out", "o3", "--delta-out", "out.ost"], "few1.ost", "another run"),
    "finish with a stream of another run and length": (_finish(sender="few_sd.ost"), "few_sd.ost", "another run"),
    "finish with undecrypted points": (_finish(sender="to_sender.ost"), "to_sender.ost", "not yet decrypted"),
    "finish with streams in each other's place": (_finish(sender="from_receiver.ost", receiver="from_sender.ost"),
                                                  "from_receiver.ost", "expected the sender stream"),
    "finish with another payments table": (_finish()[:4] + ["few.csv"] + _finish()[5:], "few.csv",
                                           "not the payments table"),
    "finish with a bank's secret key": (_finish(secret="sender.sec"), "sender.sec", "not the payment network's"),
}


REFUSED.update({
    # a public key given as a secret key is named for what it is (no advice to chmod a public key)
    "a public key as a secret key": (["decrypt", "to_sender.ost", "--secret-key", "sender.pub", "--out", "out.ost"],
                                     "sender.pub", "is a public key ('public-key' file), expected a 'secret-key'"),
    "results written over the payments table": ([a if a != "out.csv" else "payments.csv" for a in _finish()],
                                                "payments.csv", "named both as an input"),
    "a stream decrypted over itself": (["decrypt", "to_sender.ost", "--secret-key", "sender.sec", "--out",
                                        "to_sender.ost"], "to_sender.ost", "named both as an input"),
    "combine writing one output twice": (["combine", "copy1.ost", "copy2.ost", "--sender-out", "o1", "--receiver-out",
                                          "o1", "--gamma-out", "o3", "--delta-out", "o4"], "o1", "named both"),
    "an output that is a folder": ([a if a != "out.csv" else "." for a in _finish()], ".", "is a folder"),
    "a table with two columns of one name": ([a if a != "payments.csv" else "twice.csv" for a in _initiate()],
                                             "twice.csv", "more than one column named 's_iban'"),
    "a missing payments table": ([a if a != "payments.csv" else "nope.csv" for a in _initiate()], "nope.csv",
                                 "cannot be read (No such file"),
    "a missing column in the sender's table": (["build-store", "--key", "sender.pub", "--input", "sender.csv",
                                                "--columns", "iban,bic", "--out", "out.ost"], "sender.csv",
                                               "no column 'bic'"),
})


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_refused_files(run, case, capsys, monkeypatch):
    argv, path, problem = REFUSED[case]
    monkeypatch.chdir(run)
    before = set(os.listdir(run))
    assert cli.main(argv) == 1
    message = capsys.readouterr().err
    assert f"{path}:" in message and problem in message, message
    assert set(os.listdir(run)) == before  # nothing written, no temporary file left


def test_results_tables_and_their_checks(run, tmp_path, capsys):
    """finish writes a plain table; a Parquet one carries the header in its metadata, and every damage is found."""
    parts = [run / n for n in ("from_sender.ost", "from_receiver.ost", "gamma.ost", "delta.ost", "network.sec")]
    returned = steps.finish(*parts, run / "payments.csv", tmp_path / "r.parquet")
    steps.finish(*parts, run / "payments.csv", tmp_path / "r")  # no suffix: the payments' format, CSV
    assert (tmp_path / "r").read_bytes().startswith(b'"s_iban","s_branch"')
    os.rename(tmp_path / "r", tmp_path / "r.csv")
    matches = read_results(tmp_path / "r.parquet")
    assert returned.column("match").to_pylist() == matches and 0 < sum(matches) < 300
    assert results.counts(returned) == (300, sum(matches), 0)
    assert read_results(tmp_path / "r.csv") == matches
    gamma = files.check_file(run / "gamma.ost")
    record = results.check(tmp_path / "r.parquet")
    assert record["entries"] == 300 and record["fingerprint"] == gamma.fingerprint.hex()
    assert {k: record["meta"][k] for k in ("run", "payments", "sender", "receiver")} == {
        k: gamma.meta[k] for k in ("run", "payments", "sender", "receiver")}
    assert record["meta"]["column"] == "match" and record["meta"]["format"] == "parquet"

    table = pq.read_table(tmp_path / "r.parquet")
    index = table.schema.get_field_index("match")
    forged = dict(record, meta=dict(record["meta"], run="0" * 32))
    chunk = pq.ParquetFile(tmp_path / "r.parquet").metadata.row_group(0).column(0)
    flipped = bytearray((tmp_path / "r.parquet").read_bytes())
    flipped[chunk.data_page_offset + chunk.total_compressed_size - 2] ^= 0x10
    (tmp_path / "page.parquet").write_bytes(bytes(flipped))
    pq.write_table(table.set_column(index, "match", pa.array([not m for m in matches])), tmp_path / "bits.parquet")
    pq.write_table(table.slice(0, 299), tmp_path / "cut.parquet")
    pq.write_table(table.replace_schema_metadata({b"ostrelline": json.dumps(forged).encode()}), tmp_path / "meta.parquet")
    damaged = {
        "bits.parquet": "match column does not match its checksum",
        "cut.parquet": "holds 299 rows, its header 300",
        "meta.parquet": "results header (its checksum does not match)",
        "page.parquet": "is corrupted",
        "r.csv": "a CSV result carries no header",
    }
    for name, problem in damaged.items():
        with pytest.raises(BadFileError) as caught:
            results.check(tmp_path / name)
        assert problem in caught.value.problem, (name, caught.value.problem)
    for name in ("bits.parquet", "page.parquet"):  # inspect shows the header and reports the damage
        assert cli.main(["inspect", str(tmp_path / name)]) == 1
        shown = capsys.readouterr()
        assert "checksum         MISMATCH" in shown.out and "is corrupted" in shown.err
    assert cli.main(["inspect", str(tmp_path / "r.csv")]) == 1
    assert "a CSV result carries no header to check" in capsys.readouterr().err
    assert cli.main(["inspect", str(tmp_path / "r.parquet"), "--export", str(tmp_path / "x")]) == 1
    assert "any Parquet reader opens it" in capsys.readouterr().err and not (tmp_path / "x").exists()
    pq.write_table(pq.read_table(tmp_path / "r.parquet").replace_schema_metadata(None), tmp_path / "plain.parquet")
    with pytest.raises(BadFileError, match="without the tools' results header"):
        results.check(tmp_path / "plain.parquet")
    # A payments column that CSV cannot hold is refused by name, and nothing is written.
    pq.write_table(table.drop(["match"]).append_column("tags", pa.array([[1, 2]] * 300)), tmp_path / "tags.parquet")
    with pytest.raises(BadFileError, match="cannot hold the payments table as CSV") as caught:
        results.write(tmp_path / "tags.parquet", tmp_path / "tags.csv", "match", matches, bytes(16), {})
    assert caught.value.path == str(tmp_path / "tags.csv") and not (tmp_path / "tags.csv").exists()
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".part")]
    results.write(tmp_path / "tags.parquet", tmp_path / "tags2.parquet", "match", matches, bytes(16), {})
    assert pq.read_table(tmp_path / "tags2.parquet").column("tags").to_pylist() == [[1, 2]] * 300


def test_control_characters_from_files_are_escaped(run, tmp_path, capsys):
    """Metadata comes from files another party wrote: printed raw, escape sequences would reach the terminal."""
    hostile = "\x1b]0;owned\x07\x1b[2J"
    files.write_file(tmp_path / "evil.ost", kinds.POINTS.name, bytes(32), 1, None,
                     {"run": "r", "component": hostile, hostile: hostile})
    assert cli.main(["inspect", str(tmp_path / "evil.ost")]) == 0
    assert cli.main(["decrypt", str(tmp_path / "evil.ost"), "--secret-key", str(run / "sender.sec"), "--out",
                     str(tmp_path / "out.ost")]) == 1
    shown = capsys.readouterr()
    assert "\x1b" not in shown.out + shown.err and "\x07" not in shown.out + shown.err
    assert "\\x1b]0;owned\\x07" in shown.out and "payment network's \\x1b]0;owned" in shown.err
    assert not (tmp_path / "out.ost").exists()


def test_a_taken_column_name_is_refused_before_the_work(run, tmp_path):
    parts = [run / n for n in ("from_sender.ost", "from_receiver.ost", "gamma.ost", "delta.ost", "network.sec")]
    for column, problem in (("id", "already has a column 'id'"), ("", "needs a name for the match column")):
        seen = []
        with pytest.raises(BadFileError, match=problem):
            steps.finish(*parts, run / "payments.csv", tmp_path / "out.csv", column, progress=lambda *a: seen.append(a))
        assert seen == [] and os.listdir(tmp_path) == []


def test_keygen_writes_both_keys_or_neither(tmp_path):
    with pytest.raises(BadFileError, match="cannot be written"):
        steps.keygen(tmp_path / "absent" / "a.pub", tmp_path / "a.sec", "sender")
    with pytest.raises(BadFileError, match="cannot be written"):
        steps.keygen(tmp_path / "a.pub", tmp_path / "absent" / "a.sec", "sender")
    assert os.listdir(tmp_path) == []
    steps.keygen(tmp_path / "a.pub", tmp_path / "a.sec", "sender")
    assert sorted(os.listdir(tmp_path)) == ["a.pub", "a.sec"]


def test_column_collisions_do_not_match(tmp_path):
    """["ab", "c"] and ["a", "bc"] are one key when strings are joined plainly; not through the tools."""
    for role in ("sender", "receiver", "network"):
        steps.keygen(tmp_path / f"{role}.pub", tmp_path / f"{role}.sec", role)
    write_table(tmp_path / "s.csv", ["x", "y"], [("ab", "c"), ("a b", "d")])
    write_table(tmp_path / "r.csv", ["x", "y"], [("r", "1")])
    write_table(tmp_path / "p.csv", ["sx", "sy", "rx", "ry"],
                [("a", "bc", "r", "1"), ("ab", "c", "r", "1"), ("abc", "", "r", "1"), ("AB", "d", "r", "1")])
    results = {}
    for normalise in ("none", "identifier"):
        w = tmp_path / normalise
        w.mkdir()
        for bank, table in (("sender", "s.csv"), ("receiver", "r.csv")):
            steps.build_store(tmp_path / f"{bank}.pub", tmp_path / table, ["x", "y"], w / f"{bank}.store",
                              normalise, CONSTRUCTIONS[0])
        # "abc","" would be "ab","c" joined plainly; an empty key value is now left out (no match) instead.
        steps.initiate(tmp_path / "p.csv", ["sx", "sy"], ["rx", "ry"], w / "sender.store",
                       w / "receiver.store", tmp_path / "network.pub", w / "q", normalise, skip_invalid=True)
        steps.randomize(w / "q", w / "q1")
        steps.randomize(w / "q", w / "q2")
        steps.combine(*(w / n for n in ("q1", "q2", "ps", "pr", "g", "d")))
        steps.decrypt(w / "ps", tmp_path / "sender.sec", w / "ds")
        steps.decrypt(w / "pr", tmp_path / "receiver.sec", w / "dr")
        steps.finish(*(w / n for n in ("ds", "dr", "g", "d")), tmp_path / "network.sec", tmp_path / "p.csv",
                     w / "out.csv")
        results[normalise] = read_results(w / "out.csv")
    assert results["none"] == [False, True, None, False]
    assert results["identifier"] == [False, True, None, True]  # "AB","d" is "a b","d" once normalised


def test_module_failures_are_tool_errors(tmp_path):
    # A public key file whose key is not a curve point: the module fails; the tools raise their own Exception.
    files.write_file(tmp_path / "bad.pub", kinds.PUBLIC_KEY.name, b"\x02" + bytes(31), 1, None, {"role": "sender"})
    write_table(tmp_path / "s.csv", ["x"], [("a",)])
    with pytest.raises(ModuleError) as caught:
        steps.build_store(tmp_path / "bad.pub", tmp_path / "s.csv", ["x"], tmp_path / "out", construction="specified")
    assert isinstance(caught.value, ToolError) and isinstance(caught.value, Exception)
    assert "public key" in caught.value.message
    assert not (tmp_path / "out").exists()


def test_progress_reports(run, tmp_path, capsys):
    seen = []
    steps.randomize(run / "queries.ost", tmp_path / "r", chunk_size=64, progress=lambda *a: seen.append(a))
    counts = [done for step, done, total in seen]
    assert {step for step, _, _ in seen} == {"randomize"} and seen[0][2] == 300
    assert counts[0] == 0 and counts[-1] == 300 and counts == sorted(counts)
    assert max(b - a for a, b in zip(counts, counts[1:])) <= 64
    # The command: quiet without a terminal unless asked, a line per report when asked, a bar on a terminal.
    assert cli.main(["randomize", str(run / "queries.ost"), "--out", str(tmp_path / "q")]) == 0
    assert capsys.readouterr().err == ""
    assert cli.main(["randomize", str(run / "queries.ost"), "--out", str(tmp_path / "q"), "--progress", "always",
                     "--force"]) == 0
    lines = capsys.readouterr().err.splitlines()
    assert lines[0].startswith("randomize") and "0/300" in lines[0] and "300/300" in lines[-1]

    class Terminal:
        text = ""

        def isatty(self):
            return True

        def write(self, s):
            self.text += s

        def flush(self):
            pass

    terminal = Terminal()
    bar = cli.ProgressBar("auto", terminal)
    bar("decrypt", 0, 10)
    bar("decrypt", 10, 10)
    assert terminal.text.startswith("\rdecrypt") and "[" + "#" * 30 + "] 10/10" in terminal.text
    assert terminal.text.endswith("\n")


@pytest.mark.parametrize("costs", [[30e-6], [2e-3], [30e-6, 3e-3, 30e-6], [1e-7]])
def test_chunks_follow_the_cost_of_an_entry(monkeypatch, costs):
    """Chunks are sized so that a call takes about a quarter of a second whatever an entry costs, follow a cost
    that changes midway, never exceed the limit and grow at most fourfold a call; every entry is called once, in
    order."""
    clock = [0.0]
    monkeypatch.setattr(steps.calls.time, "monotonic", lambda: clock[0])
    spans = []
    total = 300_000

    def call(start, stop):
        spans.append((start, stop))
        cost = costs[min(len(costs) - 1, start * len(costs) // total)]
        clock[0] += cost * (stop - start)

    chunks = steps.calls.Chunks("initiate", total, 4096, None)
    chunks.run(total, call)
    assert spans[0] == (0, 256) and spans[-1][1] == total
    assert all(a[1] == b[0] for a, b in zip(spans, spans[1:]))
    sizes = [b - a for a, b in spans]
    assert max(sizes) <= 4096 and all(b <= 4 * a for a, b in zip(sizes, sizes[1:-1]))
    for cost in costs:
        # Once settled on a cost, calls of that cost last at most a quarter of a second and, unless the limit holds
        # them back, no less than a tenth (a change of cost is followed within one call).
        settled = [n for (a, b), n in zip(spans[1:-1], sizes[2:]) if costs[min(len(costs) - 1, a * len(costs) // total)] == cost]
        longest = max(cost * n for n in settled)
        assert longest <= 0.25 + 1e-9 and (longest > 0.1 or max(settled) == 4096)


# `python -m ostrelline_tools ARGS` with the default SIGINT handler installed first.
INTERRUPTIBLE = (
    "import runpy, signal, sys; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "sys.argv[0] = 'ostrelline_tools'; runpy.run_module('ostrelline_tools', run_name='__main__', alter_sys=True)"
)


def _interrupt(args, cwd, started_when, signal_number=signal.SIGINT):
    """Starts the command, sends SIGINT (or ``signal_number``) once
    ``started_when(line)`` holds for a progress line, and returns (exit
    status, seconds from the signal to the exit).

    The work given is sized by count so that no machine finishes it within
    many seconds, whatever its speed; the test then rests on events (the
    progress line, the exit status), not on how long the step takes."""
    # The command runs with Python's own Ctrl-C handler even when this test
    # runs with SIGINT ignored (a background job of a non-interactive shell,
    # or nohup), which a child would otherwise inherit and keep.
    process = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTIBLE, *args, "--progress", "always"],
        cwd=cwd, env=_env(), stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True,
    )
    deadline = time.monotonic() + 600
    try:
        while True:
            assert time.monotonic() < deadline, "no progress line came"
            ready, _, _ = select.select([process.stderr], [], [], 1)
            line = process.stderr.readline() if ready else ""
            if started_when(line):
                break
            assert process.poll() is None, "the step ended before it could be interrupted"
        # Into the work, past the report: the signal lands during a call.
        time.sleep(0.3)
        assert process.poll() is None, "the step ended before it could be interrupted"
        sent = time.monotonic()
        process.send_signal(signal_number)
        status = process.wait(timeout=120)
        return status, time.monotonic() - sent
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()


def write_big_table(path, rows):
    """A CSV of ``rows`` rows "A<i>,B<i>": enough work that even the fastest
    backend needs far longer than the test waits before it interrupts."""
    with open(path, "w") as file:
        file.write("a,b\n")
        for start in range(0, rows, 100_000):
            file.write("".join(f"A{i},B{i}\n" for i in range(start, min(rows, start + 100_000))))


# Seconds from Ctrl-C to the exit: a generous bound for a loaded machine, far
# below what the rest of the work would take on any machine.
STOPS_WITHIN = 10.0


def test_ctrl_c_stops_quickly_and_writes_nothing(tmp_path):
    write_big_table(tmp_path / "big.csv", 1_500_000)
    for role in ("sender", "receiver", "network"):
        steps.keygen(tmp_path / f"{role}.pub", tmp_path / f"{role}.sec", role)
    write_table(tmp_path / "r.csv", ["b"], [("B1",)])
    steps.build_store(tmp_path / "receiver.pub", tmp_path / "r.csv", ["b"], tmp_path / "r.store",
                      construction="specified")
    steps.build_store(tmp_path / "sender.pub", tmp_path / "r.csv", ["b"], tmp_path / "s.store",
                      construction="specified")
    cases = [
        # one long call of the module, run apart so that it can be stopped
        (["build-store", "--key", "sender.pub", "--input", "big.csv", "--columns", "a,b", "--specified", "--out",
          "big.store"], lambda line: line.startswith("build-store")),
        # chunked calls, interrupted once some are done
        (["initiate", "--payments", "big.csv", "--sender-columns", "a", "--receiver-columns", "b", "--sender-store",
          "s.store", "--receiver-store", "r.store", "--network-key", "network.pub", "--out", "big.ost"],
         lambda line: line.startswith("initiate") and not line.split()[-2].startswith("0/")),
    ]
    before = set(os.listdir(tmp_path))
    for args, started in cases:
        status, seconds = _interrupt(args, tmp_path, started)
        assert status == 130 and seconds < STOPS_WITHIN, (args[0], status, seconds)
        assert set(os.listdir(tmp_path)) == before


def test_demo_runs_the_parties(tmp_path):
    """The demo's body (scripts/demo.sh runs it after the set-up), on small tables."""
    script = os.path.join(os.path.dirname(PYTHON_DIR), "examples", "parties.sh")
    env = dict(_env(), PYTHON=sys.executable, TMPDIR=str(tmp_path))
    result = subprocess.run(["bash", script, "--accounts", "80", "--payments", "120"], env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-2000:]
    assert "agreement with the generated truth: 120/120 (all correct)" in result.stdout
    assert result.stdout.count("ostrelline: error: ") == 5 and "no refused step wrote anything" in result.stdout
    assert os.listdir(tmp_path) == []  # the temporary folder is gone
