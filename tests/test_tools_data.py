"""The party tools' tables in every form a data engineer has them: CSV in other
dialects and encodings, Arrow IPC, JSON lines, folders of Parquet files,
standard input, and pyarrow Tables, RecordBatchReaders and pandas DataFrames
in memory; the results in the format the output's name asks for."""
import gzip
import io
import os
import re
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")
import pyarrow.feather as feather  # noqa: E402
import pyarrow.csv  # noqa: E402,F401 - pa.csv below
import pyarrow.parquet as pq  # noqa: E402

from test_tools import PYTHON_DIR, run_cli  # noqa: E402

from ostrelline_tools import InputError, UsageError, results, rows, steps  # noqa: E402
from ostrelline_tools.errors import BadFileError  # noqa: E402

SENDERS = [("DE01", "BNPAFRPP"), ("DE02", "COBADEFF"), ("DE03", "BNPAFRPP"), ("DÉ04", "MÜLLERXX")]
RECEIVERS = [("FR01", "SOGEFRPP"), ("FR02", "CRLYFRPP")]
# Payments: (sender iban, sender bic, receiver iban, receiver bic, id).
PAYMENTS = [
    ("DE01", "BNPAFRPP", "FR01", "SOGEFRPP", "p0"),
    ("DE02", "COBADEFF", "FR09", "SOGEFRPP", "p1"),
    ("DE09", "BNPAFRPP", "FR02", "CRLYFRPP", "p2"),
    ("DÉ04", "MÜLLERXX", "FR02", "CRLYFRPP", "p3"),
    ("DE03", "BNPAFRPP", "FR01", "SOGEFRPP", "p4"),
    ("DE03", "COBADEFF", "FR01", "SOGEFRPP", "p5"),
]
# The environment of a command run here: the checkout's python/ first on the path.
ENV = dict(os.environ, PYTHONPATH=PYTHON_DIR + os.pathsep + os.environ.get("PYTHONPATH", ""))
NAMES = ["s_iban", "s_bic", "r_iban", "r_bic", "id"]
TRUTH = [p[:2] in SENDERS and p[2:4] in RECEIVERS for p in PAYMENTS]


def payments_table():
    return pa.table({name: [p[i] for p in PAYMENTS] for i, name in enumerate(NAMES)})


def write_delimited(path, header, table, delimiter=",", encoding="utf-8", quote='"'):
    """A delimited text table, every field quoted with ``quote``."""
    lines = [delimiter.join(f"{quote}{v}{quote}" for v in row) for row in [header, *table]]
    path.write_bytes(("\n".join(lines) + "\n").encode(encoding))


@pytest.fixture(scope="module")
def bank(tmp_path_factory):
    """Keys of the three parties, and both banks' stores, built from CSV."""
    d = tmp_path_factory.mktemp("bank")
    for role in ("sender", "receiver", "network"):
        steps.keygen(d / f"{role}.pub", d / f"{role}.sec", role)
    write_delimited(d / "s.csv", ["iban", "bic"], SENDERS)
    write_delimited(d / "r.csv", ["iban", "bic"], RECEIVERS)
    steps.build_store(d / "sender.pub", d / "s.csv", ["iban", "bic"], d / "sender.store", construction="specified")
    steps.build_store(d / "receiver.pub", d / "r.csv", ["iban", "bic"], d / "receiver.store",
                      construction="specified")
    return d


def streams(bank, d, payments, csv=None, sender_store=None):
    """initiate .. decrypt through the API; returns the four streams' paths for finish."""
    steps.initiate(payments, [("s_iban", "iban"), ("s_bic", "bic")], [("r_iban", "iban"), ("r_bic", "bic")],
                   sender_store or bank / "sender.store", bank / "receiver.store", bank / "network.pub", d / "q",
                   csv=csv)
    steps.randomize(d / "q", d / "q1")
    steps.randomize(d / "q", d / "q2")
    steps.combine(d / "q1", d / "q2", d / "ts", d / "tr", d / "g", d / "dl")
    steps.decrypt(d / "ts", bank / "sender.sec", d / "fs", audit_log=d / "s.audit")
    steps.decrypt(d / "tr", bank / "receiver.sec", d / "fr", audit_log=d / "r.audit")
    return [d / "fs", d / "fr", d / "g", d / "dl", bank / "network.sec"]


def matches_of(table, column="match"):
    return table.column(column).to_pylist()


# --------------------------------------------------------------------------- input formats


def input_forms(d):
    """The payments in every file format the tools read, each with the CSV options it needs."""
    table = payments_table()
    write_delimited(d / "semicolon.csv", NAMES, PAYMENTS, ";")
    write_delimited(d / "tab.tsv", NAMES, PAYMENTS, "\t", quote="")
    write_delimited(d / "latin1.csv", NAMES, PAYMENTS, encoding="latin-1")
    write_delimited(d / "single.csv", NAMES, PAYMENTS, quote="'")
    feather.write_feather(table, d / "p.feather")
    with pa.OSFile(str(d / "p.arrows"), "wb") as sink, pa.ipc.new_stream(sink, table.schema) as writer:
        for batch in table.to_batches(max_chunksize=2):
            writer.write_batch(batch)
    (d / "p.jsonl").write_text("".join(
        "{" + ", ".join(f'"{n}": "{v}"' for n, v in zip(NAMES, p)) + "}\n" + ("\n" if i == 2 else "")
        for i, p in enumerate(PAYMENTS)), encoding="utf-8")
    os.makedirs(d / "folder" / "part=a")
    os.makedirs(d / "folder" / "part=b")
    pq.write_table(table.slice(0, 4), d / "folder" / "part=a" / "0.parquet")
    pq.write_table(table.slice(4), d / "folder" / "part=b" / "0.parquet")
    (d / "folder" / "_SUCCESS").write_bytes(b"")
    return {
        "semicolon.csv": rows.CsvOptions(delimiter=";"),
        "tab.tsv": rows.CsvOptions.parse("tab", None, ""),
        "latin1.csv": rows.CsvOptions(encoding="latin-1"),
        "single.csv": rows.CsvOptions(quote_char="'"),
        "p.feather": None,
        "p.arrows": None,
        "p.jsonl": None,
        "folder": None,
    }


def test_every_input_format_gives_the_same_matches(bank, tmp_path):
    forms = input_forms(tmp_path)
    for name, csv in forms.items():
        d = tmp_path / f"run-{name}"
        d.mkdir()
        parts = streams(bank, d, tmp_path / name, csv)
        table = steps.finish(*parts, tmp_path / name, d / "r.parquet", csv=csv)
        assert matches_of(table) == TRUTH, name
        assert matches_of(pq.read_table(d / "r.parquet")) == TRUTH, name
        assert table.column("id").to_pylist() == [p[4] for p in PAYMENTS], name
        assert results.check(d / "r.parquet")["entries"] == len(PAYMENTS)
    # The folder's partition column is a column of the table, and of the results.
    assert set(pq.read_table(tmp_path / "run-folder" / "r.parquet").column("part").to_pylist()) == {"a", "b"}


def test_a_csv_read_without_its_options_is_refused_helpfully(bank, tmp_path):
    input_forms(tmp_path)
    columns = (["s_iban", "s_bic"], ["r_iban", "r_bic"], bank / "sender.store", bank / "receiver.store",
               bank / "network.pub", tmp_path / "q")
    with pytest.raises(InputError, match=r"has no column 's_iban', .*: a file separated by ';'\? name its delimiter"):
        steps.initiate(tmp_path / "semicolon.csv", *columns)
    with pytest.raises(InputError, match=r"not UTF-8 text .*--encoding latin-1"):
        steps.initiate(tmp_path / "latin1.csv", *columns)
    # Read as UTF-8 text, Latin-1 bytes that happen to decode would give other values: the encoding named wins.
    values = next(rows.read_batches(rows.tables.source_of(tmp_path / "latin1.csv", rows.CsvOptions(encoding="cp1252")),
                                    ["s_iban"]))[0].to_pylist()
    assert values == [p[0] for p in PAYMENTS]
    assert not (tmp_path / "q").exists()


@pytest.mark.parametrize("options, problem", [
    (dict(delimiter=";;"), "delimiter is one character"),
    (dict(delimiter="\n"), "cannot be a line break"),
    (dict(delimiter="'", quote_char="'"), "both \"'\""),
    (dict(encoding="klingon"), "no text encoding Python knows"),
    (dict(quote_char=""), "quote character is one character"),
])
def test_bad_csv_options_are_usage_errors(options, problem):
    with pytest.raises(UsageError, match=problem) as caught:
        rows.CsvOptions(**options)
    assert isinstance(caught.value, ValueError)


def test_csv_parse_errors_name_the_line_in_any_dialect(bank, tmp_path):
    text = "a;b;c\n1;2;3\n\n4;5;6\n7;8\n9;10;11\n"
    (tmp_path / "short.csv").write_text(text)
    (tmp_path / "short16.csv").write_bytes(text.encode("utf-16"))
    (tmp_path / "quote.csv").write_text("a;b\n1;2\n'3;4\n")
    for name, csv, problem in (
        ("short.csv", rows.CsvOptions(delimiter=";"), "line 5 has 2 fields, the header 3"),
        ("short16.csv", rows.CsvOptions(delimiter=";", encoding="utf-16"), "line 5 has 2 fields, the header 3"),
        ("quote.csv", rows.CsvOptions(delimiter=";", quote_char="'"), "line 3"),
    ):
        with pytest.raises(InputError) as caught:
            steps.build_store(bank / "sender.pub", tmp_path / name, ["a"], tmp_path / "x.store", csv=csv,
                              construction="specified")
        assert caught.value.path == str(tmp_path / name) and problem in caught.value.problem, caught.value.problem
        assert "9;10" not in str(caught.value) and not (tmp_path / "x.store").exists()


def test_json_lines_errors_name_the_line(bank, tmp_path):
    (tmp_path / "bad.jsonl").write_text(
        '{"iban": "DE01", "bic": "A"}\n\n{"iban": "DE02", "bic": "B"}\n{"iban": "DE03"\n')
    with pytest.raises(InputError, match=r"bad.jsonl: cannot be read as JSON lines: line 4: JSON parse error"):
        steps.build_store(bank / "sender.pub", tmp_path / "bad.jsonl", ["iban", "bic"], tmp_path / "x.store",
                          construction="specified")
    (tmp_path / "blank.jsonl").write_text('{"iban": "DE01", "bic": "A"}\n\n{"iban": " ", "bic": "B"}\n')
    with pytest.raises(InputError, match=r"column 'iban' in 1 \(line 3\)"):
        steps.build_store(bank / "sender.pub", tmp_path / "blank.jsonl", ["iban", "bic"], tmp_path / "x.store",
                          construction="specified")


def test_standard_input_is_read_once_and_checked_honestly(bank, tmp_path):
    """`--input -` and `--payments -`: the table comes from standard input, in any format; finish given
    the same file by name accepts the run, another table on standard input is refused."""
    write_delimited(tmp_path / "p.csv", NAMES, PAYMENTS)
    feather.write_feather(payments_table(), tmp_path / "p.arrow")
    common = ["--sender-columns", "s_iban=iban,s_bic=bic", "--receiver-columns", "r_iban=iban,r_bic=bic",
              "--sender-store", str(bank / "sender.store"), "--receiver-store", str(bank / "receiver.store"),
              "--network-key", str(bank / "network.pub")]
    for source in ("p.csv", "p.arrow"):
        with open(tmp_path / source, "rb") as stdin:
            done = subprocess.run([sys.executable, "-m", "ostrelline_tools", "initiate", "--payments", "-", *common,
                                   "--out", "q"], cwd=tmp_path, env=ENV, stdin=stdin, capture_output=True)
        assert done.returncode == 0, done.stderr
        assert not [n for n in os.listdir(tmp_path) if n.startswith("-")]
        d = tmp_path / f"run-{source}"
        d.mkdir()
        os.replace(tmp_path / "q", d / "q")
        steps.randomize(d / "q", d / "q1")
        steps.randomize(d / "q", d / "q2")
        steps.combine(d / "q1", d / "q2", d / "ts", d / "tr", d / "g", d / "dl")
        steps.decrypt(d / "ts", bank / "sender.sec", d / "fs", audit_log=d / "s.audit")
        steps.decrypt(d / "tr", bank / "receiver.sec", d / "fr", audit_log=d / "r.audit")
        parts = [d / "fs", d / "fr", d / "g", d / "dl", bank / "network.sec"]
        assert matches_of(steps.finish(*parts, tmp_path / source)) == TRUTH
    # finish reading the payments from standard input, writing the results to standard output.
    finish = ["finish", "--sender", str(d / "fs"), "--receiver", str(d / "fr"), "--gamma", str(d / "g"), "--delta",
              str(d / "dl"), "--secret-key", str(bank / "network.sec"), "--payments", "-", "--out", "-"]
    with open(tmp_path / "p.arrow", "rb") as stdin:
        done = subprocess.run([sys.executable, "-m", "ostrelline_tools", *finish], cwd=tmp_path, env=ENV,
                              stdin=stdin, capture_output=True)
    assert done.returncode == 0, done.stderr
    shown = pa.csv.read_csv(io.BytesIO(done.stdout))
    assert shown.column("match").to_pylist() == TRUTH and shown.column("id").to_pylist()[0] == "p0"
    with open(tmp_path / "p.csv", "rb") as stdin:  # the same rows, but not the table the queries were made from
        done = subprocess.run([sys.executable, "-m", "ostrelline_tools", *finish], cwd=tmp_path, env=ENV,
                              stdin=stdin, capture_output=True, text=True)
    assert done.returncode == 1 and "<stdin>: is not the payments table the queries of this run" in done.stderr
    assert done.stdout == ""


# --------------------------------------------------------------------------- tables in memory


def test_tables_in_memory_run_the_protocol(bank, tmp_path):
    pandas = pytest.importorskip("pandas")
    table = payments_table()
    frame = table.to_pandas()
    # A bank's store from a DataFrame, a payment network's payments as a Table.
    steps.build_store(bank / "sender.pub", pandas.DataFrame(SENDERS, columns=["iban", "bic"]), ["iban", "bic"],
                      tmp_path / "frame.store", construction="specified")
    d = tmp_path / "table"
    d.mkdir()
    parts = streams(bank, d, table, sender_store=tmp_path / "frame.store")
    returned = steps.finish(*parts, pa.Table.from_batches(table.to_batches(max_chunksize=1)))  # chunked otherwise
    assert matches_of(returned) == TRUTH and returned.column_names == NAMES + ["match"]
    assert results.counts(returned) == (len(PAYMENTS), sum(TRUTH), 0)
    before = set(os.listdir(d))
    steps.finish(*parts, table)
    assert set(os.listdir(d)) == before  # nothing written without an output
    with pytest.raises(BadFileError, match=r"<pyarrow Table>: is not the payments table the queries"):
        steps.finish(*parts, table.set_column(4, "id", pa.array(["x"] * len(PAYMENTS))))
    with pytest.raises(BadFileError, match="is not the payments table"):  # the same rows in a file: another digest
        write_delimited(d / "p.csv", NAMES, PAYMENTS)
        steps.finish(*parts, d / "p.csv")

    d = tmp_path / "frame"
    d.mkdir()
    parts = streams(bank, d, frame)
    returned = steps.finish(*parts, frame.copy(), d / "r.csv.gz")
    assert matches_of(returned) == TRUTH
    assert returned.to_pandas()["id"].tolist() == frame["id"].tolist()
    assert pa.csv.read_csv(io.BytesIO(gzip.decompress((d / "r.csv.gz").read_bytes()))).column("match").to_pylist() \
        == TRUTH

    d = tmp_path / "reader"
    d.mkdir()
    parts = streams(bank, d, pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=2)))
    again = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=4))
    assert matches_of(steps.finish(*parts, again, d / "r.arrow")) == TRUTH
    written = feather.read_table(d / "r.arrow")
    assert matches_of(written) == TRUTH and results.METADATA_KEY in written.schema.metadata
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".spool")]


def test_a_dataframe_with_a_named_index_keeps_it(bank, tmp_path):
    pandas = pytest.importorskip("pandas")
    frame = payments_table().to_pandas().set_index("id")
    parts = streams(bank, tmp_path, frame)
    returned = steps.finish(*parts, frame).to_pandas()
    assert returned.index.tolist() == [p[4] for p in PAYMENTS] and returned["match"].tolist() == TRUTH
    assert isinstance(returned, pandas.DataFrame)


def test_what_is_no_table_is_refused_by_type(bank, tmp_path):
    for value, problem in ((b"s_iban\nDE01\n", "not bytes"), ([("DE01", "A")], "not list"), (None, "not NoneType")):
        with pytest.raises(TypeError, match=problem):
            steps.build_store(bank / "sender.pub", value, ["iban"], tmp_path / "x.store")
    assert not (tmp_path / "x.store").exists()


# --------------------------------------------------------------------------- results


def test_results_take_the_format_their_name_asks_for(bank, tmp_path):
    write_delimited(tmp_path / "p.csv", NAMES, PAYMENTS)
    parts = streams(bank, tmp_path, tmp_path / "p.csv")
    readers = {
        "r.csv": lambda p: pa.csv.read_csv(p),
        "r.CSV.GZ": lambda p: pa.csv.read_csv(io.BytesIO(gzip.decompress(p.read_bytes()))),
        "r.parquet": pq.read_table,
        "r.pq": pq.read_table,
        "r.arrow": feather.read_table,
        "r.feather": feather.read_table,
        "r": lambda p: pa.csv.read_csv(p),  # no suffix: the payments' format
    }
    for name, read in readers.items():
        steps.finish(*parts, tmp_path / "p.csv", tmp_path / name)
        assert matches_of(read(tmp_path / name)) == TRUTH, name
    assert (tmp_path / "r.CSV.GZ").read_bytes()[:2] == b"\x1f\x8b"
    # An unknown suffix is refused before anything is read: the streams may as well be missing.
    for name in ("r.json", "r.txt", "r.out"):
        with pytest.raises(UsageError, match=rf"{name}: results are written as \.csv, \.csv\.gz, \.parquet") as caught:
            steps.finish(tmp_path / "missing", *parts[1:], tmp_path / "p.csv", tmp_path / name)
        assert isinstance(caught.value, ValueError) and not (tmp_path / name).exists()
    done = run_cli("finish", "--sender", "fs", "--receiver", "fr", "--gamma", "g", "--delta", "dl", "--secret-key",
                   str(bank / "network.sec"), "--payments", "p.csv", "--out", "res.json", cwd=tmp_path)
    assert done.returncode != 0 and ".json names none of them" in done.stderr and not (tmp_path / "res.json").exists()
    with pytest.raises(UsageError, match="name the results' format"):
        steps.finish(*parts, payments_table(), tmp_path / "plain")


def test_results_to_standard_output(bank, tmp_path):
    write_delimited(tmp_path / "p.csv", NAMES, PAYMENTS)
    streams(bank, tmp_path, tmp_path / "p.csv")
    done = run_cli("finish", "--sender", "fs", "--receiver", "fr", "--gamma", "g", "--delta", "dl", "--secret-key",
                   str(bank / "network.sec"), "--payments", "p.csv", "--out", "-", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    table = pa.csv.read_csv(io.BytesIO(done.stdout.encode()))
    assert table.column_names == NAMES + ["match"] and table.column("match").to_pylist() == TRUTH
    assert not (tmp_path / "-").exists()


def test_the_readme_example_on_a_dataframe_and_a_table_prints_what_it_says(tmp_path):
    pytest.importorskip("pandas")
    readme = open(os.path.join(os.path.dirname(PYTHON_DIR), "README.md"), encoding="utf-8").read()
    (block,) = [b for b in re.findall(r"^```python\n(.*?)^```$", readme, re.M | re.S) if "pd.DataFrame" in b]
    code, printed = block.split("# prints:\n")
    (tmp_path / "example.py").write_text(code)
    done = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, env=ENV, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [line[2:] for line in printed.splitlines()]


def test_the_csv_options_on_the_command_line(bank, tmp_path):
    """`--delimiter`, `--encoding`, `--quote-char` as an operator types them, through the command."""
    write_delimited(tmp_path / "s.csv", ["iban", "bic"], SENDERS, ";", encoding="cp1252", quote="'")
    write_delimited(tmp_path / "p.tsv", NAMES, PAYMENTS, "\t", quote="")
    c = lambda *args: run_cli(*[str(a) for a in args], cwd=tmp_path)  # noqa: E731
    done = c("build-store", "--key", bank / "sender.pub", "--input", "s.csv", "--columns", "iban,bic", "--out",
             "s.store", "--specified", "--delimiter", ";", "--encoding", "cp1252", "--quote-char", "'")
    assert done.returncode == 0, done.stderr
    done = c("initiate", "--payments", "p.tsv", "--sender-columns", "s_iban=iban,s_bic=bic", "--receiver-columns",
             "r_iban=iban,r_bic=bic", "--sender-store", "s.store", "--receiver-store", bank / "receiver.store",
             "--network-key", bank / "network.pub", "--out", "q", "--delimiter", "tab", "--quote-char", "")
    assert done.returncode == 0, done.stderr
    steps.randomize(tmp_path / "q", tmp_path / "q1")
    steps.randomize(tmp_path / "q", tmp_path / "q2")
    steps.combine(tmp_path / "q1", tmp_path / "q2", tmp_path / "ts", tmp_path / "tr", tmp_path / "g", tmp_path / "dl")
    steps.decrypt(tmp_path / "ts", bank / "sender.sec", tmp_path / "fs", audit_log=tmp_path / "s.audit")
    steps.decrypt(tmp_path / "tr", bank / "receiver.sec", tmp_path / "fr", audit_log=tmp_path / "r.audit")
    done = c("finish", "--sender", "fs", "--receiver", "fr", "--gamma", "g", "--delta", "dl", "--secret-key",
             bank / "network.sec", "--payments", "p.tsv", "--delimiter", "\\t", "--out", "r.parquet")
    assert done.returncode == 0, done.stderr
    assert matches_of(pq.read_table(tmp_path / "r.parquet")) == TRUTH  # DÉ04 read as cp1252 matches DÉ04
    # A bad option is a usage error, found before anything is read or written.
    for option, problem in ((["--delimiter", ";;"], "delimiter is one character"),
                            (["--encoding", "klingon"], "no text encoding Python knows")):
        done = c("build-store", "--key", bank / "sender.pub", "--input", "missing.csv", "--columns", "iban",
                 "--out", "x.store", *option)
        assert done.returncode == 2 and problem in done.stderr and "missing.csv" not in done.stderr, done.stderr
    assert not (tmp_path / "x.store").exists()


def test_an_arrow_result_is_inspected_and_checked_like_a_parquet_one(bank, tmp_path):
    write_delimited(tmp_path / "p.csv", NAMES, PAYMENTS)
    parts = streams(bank, tmp_path, tmp_path / "p.csv")
    steps.finish(*parts, tmp_path / "p.csv", tmp_path / "r.arrow")
    steps.finish(*parts, tmp_path / "p.csv", tmp_path / "r.csv.gz")
    shown = steps.describe(tmp_path / "r.arrow")
    assert (shown["description"], shown["checksum"], shown["entries"]) == ("results table (Arrow IPC)", "ok", 6)
    assert shown["meta.format"] == "arrow"
    assert shown["key fingerprint"] == steps.describe(bank / "network.pub")["key fingerprint"]
    table = feather.read_table(tmp_path / "r.arrow")
    index = table.schema.get_field_index("match")
    feather.write_feather(table.set_column(index, "match", pa.array([not m for m in TRUTH])), tmp_path / "bits.arrow")
    assert steps.describe(tmp_path / "bits.arrow")["checksum"] == "MISMATCH"
    with pytest.raises(BadFileError, match="match column does not match its checksum"):
        results.check(tmp_path / "bits.arrow")
    with pytest.raises(BadFileError, match="any Arrow reader opens it as it is"):
        steps.export(tmp_path / "r.arrow", tmp_path / "payload")
    with pytest.raises(BadFileError, match="a CSV result carries no header to check"):
        steps.describe(tmp_path / "r.csv.gz")
    assert not (tmp_path / "payload").exists()


def test_results_to_a_standard_output_of_text_only(bank, tmp_path, monkeypatch):
    """Where standard output takes text alone (a notebook's), `-` still writes the CSV."""
    write_delimited(tmp_path / "p.csv", NAMES, PAYMENTS)
    parts = streams(bank, tmp_path, tmp_path / "p.csv")
    shown = io.StringIO()
    monkeypatch.setattr(sys, "stdout", shown)
    steps.finish(*parts, tmp_path / "p.csv", "-")
    table = pa.csv.read_csv(io.BytesIO(shown.getvalue().encode()))
    assert table.column("match").to_pylist() == TRUTH and table.column("s_iban").to_pylist()[3] == "DÉ04"


def test_what_is_spooled_is_private_and_removed(tmp_path, monkeypatch):
    """Standard input and a reader are copied once to a file only this user reads, gone when the step ends."""
    class Stdin:
        buffer = io.BytesIO(b"iban,bic\nDE01,A\nDE02,B\n")

    monkeypatch.setattr(sys, "stdin", Stdin)
    table = payments_table()
    seen = []
    for given in ("-", pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=2))):
        with rows.open_table(given) as source:
            assert source.spooled and os.stat(source.path).st_mode & 0o777 == 0o600
            assert source.count_rows(source.columns()[:1]) in (2, len(PAYMENTS))
            assert source.digest() == source.digest()  # read again, the same
            seen.append(source.path)
        assert not os.path.exists(source.path)
    with pytest.raises(InputError):  # removed when the step fails too
        with rows.open_table(pa.RecordBatchReader.from_batches(table.schema, table.to_batches())) as source:
            seen.append(source.path)
            source.check(["nope"])
    assert not [p for p in seen if os.path.exists(p)]
    with rows.open_table(table) as source:
        assert not source.spooled and source.path is None


def test_the_output_format_follows_the_name(tmp_path):
    pq.write_table(payments_table(), tmp_path / "p.parquet")
    write_delimited(tmp_path / "p.csv", NAMES, PAYMENTS)
    feather.write_feather(payments_table(), tmp_path / "p.arrow")
    named = {"r.CSV": "csv", "r.csv.gz": "csv.gz", "r.tar.csv": "csv", "r.parq": "parquet", "r.PQ": "parquet",
             "r.Feather": "arrow", "-": "csv", "dir.d/r": "parquet"}
    for name, fmt in named.items():
        assert results.output_format(tmp_path / name if name != "-" else name, tmp_path / "p.parquet").value == fmt
    assert results.output_format("r", tmp_path / "p.csv") is results.Format.CSV
    assert results.output_format("r", tmp_path / "p.arrow") is results.Format.ARROW
    for name in ("r.gz", "r.json", "r.xlsx", ".csv.bak"):
        with pytest.raises(UsageError, match="names none of them"):
            results.output_format(name, tmp_path / "p.csv")
    for payments in ("-", payments_table()):  # no file whose format a name without a suffix could take
        with pytest.raises(UsageError, match="name the results' format by the name's end"):
            results.output_format("r", payments)


def test_a_changed_parquet_folder_is_not_the_runs_payments(bank, tmp_path):
    input_forms(tmp_path)
    parts = streams(bank, tmp_path, tmp_path / "folder")
    assert matches_of(steps.finish(*parts, tmp_path / "folder")) == TRUTH
    os.rename(tmp_path / "folder" / "part=b" / "0.parquet", tmp_path / "folder" / "part=b" / "1.parquet")
    with pytest.raises(BadFileError, match="folder: is not the payments table the queries of this run"):
        steps.finish(*parts, tmp_path / "folder")


def test_json_lines_and_csv_without_quoting(bank, tmp_path):
    (tmp_path / "late.jsonl").write_text('{"iban": "DE01"}\n' * 3 + '{"bic": "B"}\n')
    with pytest.raises(InputError, match=r"late.jsonl: has 1 row whose key value .*column 'iban' in 1 \(line 4\)"):
        steps.build_store(bank / "sender.pub", tmp_path / "late.jsonl", ["iban"], tmp_path / "x.store",
                          construction="specified")
    (tmp_path / "quotes.csv").write_text('iban\n"DE01"\nDE02\n')
    source = rows.tables.source_of(tmp_path / "quotes.csv", rows.CsvOptions(quote_char=None))
    assert next(rows.read_batches(source, ["iban"]))[0].to_pylist() == ['"DE01"', "DE02"]  # read as written
    assert next(rows.read_batches(tmp_path / "quotes.csv", ["iban"]))[0].to_pylist() == ["DE01", "DE02"]
