"""The ``ostrelline`` command: one subcommand per protocol step.

Each subcommand reads and checks its input files, runs its step and writes
its outputs atomically, never over an existing file unless ``--force`` is
given (and never over a secret key, a link or a device). A refused file or a
failure prints one line naming the file and the problem to standard error
and exits with status 1; Ctrl-C exits with status 130, SIGTERM with 143 and
SIGHUP with 129; in every case nothing is written. A usage error (an unknown
option, a missing or malformed argument, a count below its least value, an
argument a step refuses before reading anything) exits with status 2 before
anything is read.

What the command says goes through ``logging`` (see ``reporting``): its
output on standard output (``-q`` leaves it out), warnings and errors on
standard error, detail with ``-v``. ``--json`` replaces the output with one
JSON object on standard output, also on a failure (then with ``"ok":
false`` and the ``error``; the one-line message still goes to standard
error and the exit status is the same).

Flags follow one scheme (``NAMING``): a party's own key files are
``--public-key`` and ``--secret-key``; another party's public key
``--sender-key`` or ``--receiver-key``; the table a step reads ``--table``;
the streams a step reads are named by what they are (``--queries``,
``--copies``, ``--points``, ``--sender-points``, ...); what it writes is
``--out``, or ``--WHAT-out`` where it writes several. ``-`` is standard
input for a table and standard output for ``finish --out`` and ``inspect
--export``. The spellings of earlier versions are still taken, unlisted.

A standard output that is closed (its reader gone, as with ``| head -1``)
ends the command's output quietly: the step goes on, the rest of its output
is discarded, and the exit status is the step's.

With the package ``argcomplete`` installed (``pip install
'ostrelline[completion]'``), ``eval "$(register-python-argcomplete
ostrelline)"`` completes subcommands, options and file names in bash and zsh.
"""
from __future__ import annotations

import argparse
import contextlib
import json
import os
import re
import select
import sys
import textwrap
import warnings
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence

from ostrelline_parallel import __version__

from . import audit, engines, files, results, rows, steps
from .errors import BadFileError, ModuleError, Terminated, ToolError, ToolWarning, UsageError, on_stopping_signals
from .progress import MODES, ProgressBar
from .reporting import LOGGER, StepReport, detail, level_for, say, shown, write_json, write_stdout
from . import reporting

__all__ = ["main", "ProgressBar", "shown", "NAMING", "EXIT_FAILURE", "EXIT_USAGE", "EXIT_INTERRUPTED"]

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
STDIO = "-"

NAMING = """\
flags name files one way in every subcommand:
  --public-key, --secret-key   the party's own key files
  --sender-key, --receiver-key a bank's public key, checked by another party
  --table                      the table the step reads (- for standard input)
  --sender-store, ...          what a step reads, named by what it is
                               (--queries, --copies, --points, --sender-points)
  --out, --WHAT-out            what it writes (- for standard output where it
                               streams: finish's results, inspect --export)
common options (before or after the subcommand): -q/--quiet, -v/--verbose,
--json (one JSON object on standard output, also on a failure)"""


# --------------------------------------------------------------------------- the parser


class _Parser(argparse.ArgumentParser):
    """An ArgumentParser that keeps the message of a usage error (for
    ``--json``) and words a missing required flag as argparse words a
    missing argument, whether or not it has a hidden old spelling."""

    last_error: Optional[str] = None

    def error(self, message: str) -> Any:
        message = re.sub(r"^one of the arguments (\S+) is required$", r"the following arguments are required: \1",
                         message)
        _Parser.last_error = message
        super().error(message)


def _aliased(
    sub: argparse.ArgumentParser, flag: str, old: Sequence[str], dest: str, required: bool = True, **kwargs: Any
) -> None:
    """``flag``, with the spellings ``old`` taken as well but not listed. A
    required one is a required group of one shown flag and its hidden old
    spellings, so that each names the file and giving two is refused."""
    group: Any = sub.add_mutually_exclusive_group(required=required) if old else sub
    group.add_argument(flag, dest=dest, **kwargs, **({} if old else {"required": required}))
    for spelling in old:
        group.add_argument(spelling, dest=dest, help=argparse.SUPPRESS, metavar=kwargs.get("metavar"))


# The positional arguments of earlier versions, now flags: (subcommand, dest of the flag, flag, how many).
_POSITIONAL = {"randomize": ("queries", "--queries", 1), "combine": ("copies", "--copies", 2),
               "decrypt": ("points", "--points", 1)}


class _Columns(argparse.Action):
    """``--columns A,B`` (repeatable; the names add up in order). An empty or a
    repeated name is refused. With ``mapping``, an item ``NAME=STORE`` maps a
    payment column onto the column name the store records."""

    def __init__(self, *args: Any, mapping: bool = False, **kwargs: Any) -> None:
        self.mapping = mapping
        super().__init__(*args, **kwargs)

    def __call__(self, parser: Any, namespace: Any, values: Any, option_string: Optional[str] = None) -> None:
        items: List[Any] = list(getattr(namespace, self.dest, None) or [])
        for part in str(values).split(","):
            if self.mapping and "=" in part:
                name, _, label = part.partition("=")
                items.append((name.strip(), label.strip()))
            else:
                items.append(part.strip())
        try:
            rows.check_names([item if isinstance(item, str) else item[0] for item in items])
            mapped = [item[1] for item in items if not isinstance(item, str)]
            if mapped:
                rows.check_names(mapped, "store columns of the mapping")
        except ValueError as error:
            raise argparse.ArgumentError(self, str(error)) from None
        setattr(namespace, self.dest, items)


def _whole_number(value: str, least: int) -> Optional[int]:
    try:
        number = int(value)
    except ValueError:
        return None
    return number if number >= least else None


def _count(least: int) -> Callable[[str], int]:
    """An argument type: a whole number of at least ``least``."""

    def parse(value: str) -> int:
        number = _whole_number(value, least)
        if number is None:
            raise argparse.ArgumentTypeError(f"a whole number of at least {least}, not {value!r}")
        return number

    return parse


def _shard_count(value: str) -> Any:
    if value == "auto":
        return value
    count = _whole_number(value, 1)
    if count is None:
        raise argparse.ArgumentTypeError(f"a whole number of at least 1 or auto, not {value!r}")
    return count


def _column_name(value: str) -> str:
    if not value:
        raise argparse.ArgumentTypeError("the match column needs a name")
    return value


def _common(parser: argparse.ArgumentParser, after: bool) -> None:
    """-q, -v and --json, taken before the subcommand and after it (added up)."""
    suffix = "_after" if after else ""
    parser.add_argument("-q", "--quiet", action="count", default=0, dest="quiet" + suffix,
                        help="say less: no output, no progress bar (-qq: no warnings either); errors are "
                        "always shown")
    parser.add_argument("-v", "--verbose", action="count", default=0, dest="verbose" + suffix,
                        help="say more on standard error: each file read and written, timings, and on a "
                        "failure inside the module its own fault report")
    parser.add_argument("--json", action="store_true", dest="json" + suffix,
                        help="write one JSON object on standard output, what the step read and wrote "
                        "(paths, kinds, counts, checks, fingerprints, timings), instead of its output")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="ostrelline",
        description="Party tools of the record-matching protocol. Every file they write starts with a\n"
        "self-checking header; `inspect --export` takes out the module's bytes.",
        epilog=NAMING,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"ostrelline {__version__}")
    _common(parser, after=False)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)

    def command(
        name: str, run: Callable[..., Any], help_text: str, chunks: bool = True, progress: bool = True
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=textwrap.fill(help_text, 79), epilog=NAMING,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run, command_parser=sub, shows_progress=progress)
        _common(sub, after=True)
        sub.add_argument(
            "--force",
            action="store_true",
            help="replace existing output files (a secret-key file is never replaced; "
            "links, devices and FIFOs are never written)",
        )
        sub.add_argument(
            "--progress",
            choices=MODES,
            default="auto",
            # A step without a bar takes it still, so that scripts giving it to every step keep working.
            help="progress on standard error, with the time elapsed and an estimate of the time left: on a "
            "terminal only (auto, the default), always, or never"
            if progress
            else argparse.SUPPRESS,
        )
        if chunks:
            sub.add_argument(
                "--chunk-size",
                type=_count(1),
                default=steps.DEFAULT_CHUNK_SIZE,
                metavar="N",
                help=f"at most N entries per call of the module (default {steps.DEFAULT_CHUNK_SIZE})",
            )
        return sub

    def beyond(sub: argparse.ArgumentParser) -> None:
        group = sub.add_argument_group(
            "beyond one process",
            "run the step's chunks on a process pool of this machine or on a Dask\n"
            "scheduler's workers (same results); a secret key travels to a scheduler only over TLS",
        )
        where = group.add_mutually_exclusive_group()
        where.add_argument("--workers", type=_count(1), metavar="N", help="run on a pool of N worker processes")
        where.add_argument(
            "--scheduler", metavar="ADDRESS", help="run on the workers of the Dask scheduler at ADDRESS (tls://HOST:PORT)"
        )
        group.add_argument("--tls-ca-file", metavar="FILE", help="with --scheduler: the CA certificate of the cluster")
        group.add_argument("--tls-cert", metavar="FILE", help="with --scheduler: this client's certificate")
        group.add_argument(
            "--tls-key", metavar="FILE", help="with --scheduler: this client's private key (if not in --tls-cert)"
        )

    def normalise(sub: argparse.ArgumentParser, what: str) -> None:
        sub.add_argument(
            "--normalise",
            "--normalize",
            choices=rows.NORMALISATIONS,
            default="none",
            help="identifier: remove white space and upper-case every value before encoding; name (names of "
            "people and companies): Unicode NFKC, case folding, white space collapsed to single spaces and "
            "trimmed; none (the default): values as written. Stores and queries must agree",
        )
        sub.add_argument(
            "--skip-invalid",
            action="store_true",
            help=f"leave out the {what} whose key value is empty, white space only or null (they are refused "
            "otherwise, since such values would match each other)",
        )
        sub.add_argument(
            "--allow-empty", action="store_true", help=f"accept a table without {what} (refused otherwise)"
        )

    def table(sub: argparse.ArgumentParser, old: Sequence[str], what: str) -> None:
        _aliased(sub, "--table", old, "table", metavar="TABLE",
                 help=f"{what}: CSV, Parquet, Arrow IPC or JSON lines, or - for standard input")
        group = sub.add_argument_group("CSV tables", "how a CSV table is read (other formats ignore these)")
        group.add_argument("--delimiter", metavar="CHAR", help="the field delimiter (default ,; tab for a tab)")
        group.add_argument("--encoding", metavar="NAME", help="the text encoding (default utf-8; latin-1, ...)")
        group.add_argument("--quote-char", metavar="CHAR", help="the quote character (default \"; '' for none)")

    sub = command(
        "keygen", _keygen, "write a key pair: a public-key file and a secret-key file (mode 0600)", False, False
    )
    sub.add_argument("--role", required=True, choices=steps.ROLES, help="the party the key is for")
    _aliased(sub, "--public-key", ["--public"], "public_key", metavar="FILE", help="public-key file to write")
    _aliased(sub, "--secret-key", ["--secret"], "secret_key", metavar="FILE", help="secret-key file to write")

    sub = command("build-store", _build_store, "a bank: build its store from its table", False)
    _aliased(sub, "--public-key", ["--key"], "public_key", metavar="FILE", help="the bank's public-key file")
    table(sub, ["--input"], "the bank's rows")
    sub.add_argument(
        "--columns", required=True, action=_Columns, metavar="A,B", help="the columns that make a row, in order "
        "(repeatable; the store records their names, in order)"
    )
    sub.add_argument(
        "--specified",
        action="store_true",
        help="build the specified kind of store, for a payment network running another implementation "
        "(it reveals which rows the bank holds); the default is the membership-hiding kind",
    )
    sub.add_argument("--out", required=True, metavar="FILE", help="store file to write")
    sub.add_argument(
        "--shards",
        type=_shard_count,
        metavar="K",
        help="write a sharded store of K shards (auto: about 25,000 rows a shard), one build task per shard",
    )
    normalise(sub, "rows")
    beyond(sub)

    sub = command("initiate", _initiate, "the payment network: query both banks' stores for every payment")
    table(sub, ["--payments"], "the payments")
    sub.add_argument(
        "--sender-columns", required=True, action=_Columns, mapping=True, metavar="A,B",
        help="the payment columns of the sender row, in the order of the sending bank's store; "
        "PAYMENT=STORE maps a column of yours onto the store's column name (payer_iban=iban,payer_bic=bic)",
    )
    sub.add_argument(
        "--receiver-columns", required=True, action=_Columns, mapping=True, metavar="C,D",
        help="the payment columns of the receiver row, likewise",
    )
    sub.add_argument("--sender-store", required=True, metavar="FILE", help="the sending bank's store")
    sub.add_argument("--receiver-store", required=True, metavar="FILE", help="the receiving bank's store")
    _aliased(sub, "--public-key", ["--network-key"], "public_key", metavar="FILE",
             help="the payment network's public-key file")
    sub.add_argument("--sender-key", metavar="FILE", help="the sending bank's public-key file, checked against its store")
    sub.add_argument(
        "--receiver-key", metavar="FILE", help="the receiving bank's public-key file, checked against its store"
    )
    sub.add_argument("--out", required=True, metavar="FILE", help="query stream to write")
    normalise(sub, "payments")
    beyond(sub)

    sub = command("randomize", _randomize, "the payment network: a freshly blinded copy of the query stream")
    sub.add_argument("--queries", metavar="FILE", help="the query stream (required)")
    sub.add_argument("old_queries", nargs="?", help=argparse.SUPPRESS)
    sub.add_argument("--out", required=True, metavar="FILE", help="randomized copy to write")
    beyond(sub)

    sub = command("combine", _combine, "the payment network: add two randomized copies; one stream per bank")
    sub.add_argument("--copies", nargs=2, metavar=("COPY1", "COPY2"), help="the two randomized copies (required)")
    sub.add_argument("old_copies", nargs="*", help=argparse.SUPPRESS)
    sub.add_argument("--sender-out", required=True, metavar="FILE", help="points for the sending bank")
    sub.add_argument("--receiver-out", required=True, metavar="FILE", help="points for the receiving bank")
    sub.add_argument("--gamma-out", required=True, metavar="FILE", help="gamma points, kept")
    sub.add_argument("--delta-out", required=True, metavar="FILE", help="delta points, kept")
    beyond(sub)

    sub = command("decrypt", _decrypt, "a bank: decrypt partially the points the payment network sent it")
    sub.add_argument("--points", metavar="FILE", help="the point stream from the payment network (required)")
    sub.add_argument("old_points", nargs="?", help=argparse.SUPPRESS)
    sub.add_argument("--secret-key", required=True, metavar="FILE", help="the bank's secret-key file")
    sub.add_argument("--out", required=True, metavar="FILE", help="decrypted points to write")
    sub.add_argument(
        "--audit-log", metavar="FILE", help="the bank's audit log, one record per stream decrypted "
        "(default: the secret-key file's name with .audit.jsonl added)"
    )
    sub.add_argument(
        "--again", action="store_true", help="decrypt a second stream of a run the audit log says was answered"
    )
    sub.add_argument(
        "--max-entries", type=_count(0), metavar="N",
        help="refuse a stream of more than N entries (default: no limit)",
    )
    beyond(sub)

    sub = command("finish", _finish, "the payment network: the match bit of every payment")
    for part, what in (("sender", "points decrypted by the sending bank"),
                       ("receiver", "points decrypted by the receiving bank"),
                       ("gamma", "gamma points from combine"), ("delta", "delta points from combine")):
        _aliased(sub, f"--{part}-points", [f"--{part}"], f"{part}_points", metavar="FILE", help=what)
    sub.add_argument("--secret-key", required=True, metavar="FILE", help="the payment network's secret-key file")
    table(sub, ["--payments"], "the payments table given to initiate")
    sub.add_argument("--column", type=_column_name, default="match", help="name of the match column (default match)")
    sub.add_argument(
        "--out",
        required=True,
        metavar="FILE",
        help="results to write: the payments table with the match column, by the suffix (.csv, .csv.gz, "
        ".parquet, .arrow), else in the payments table's format; - writes CSV to standard output",
    )
    beyond(sub)

    sub = command(
        "inspect",
        _inspect,
        "show a file's header and check it (a Parquet result: its header record and checksums); "
        "optionally export its payload",
        False,
        False,
    )
    sub.add_argument("file", metavar="FILE", help="any file of the tools, or a Parquet result")
    sub.add_argument(
        "--export", metavar="OUT", help="write the payload alone (the module's bytes) to OUT; - for standard output"
    )
    return parser


# Outputs that may be standard output ("-"): where the step streams.
_STREAMED = {("finish", "out"), ("inspect", "export")}
_OUTPUTS = ("out", "sender_out", "receiver_out", "gamma_out", "delta_out", "export")


def _parse(argv: Optional[Sequence[str]], parser: Optional[argparse.ArgumentParser] = None) -> argparse.Namespace:
    _Parser.last_error = None
    args, unknown = (parser or _parser()).parse_known_args(argv)
    sub = args.command_parser
    if unknown:  # told with the subcommand's usage, not the whole command's
        sub.error(f"unrecognized arguments: {' '.join(unknown)}")
    for name in ("quiet", "verbose", "json"):
        after = getattr(args, name + "_after")
        setattr(args, name, (getattr(args, name) or after) if name == "json" else getattr(args, name) + after)
    if args.command in _POSITIONAL:
        dest, flag, count = _POSITIONAL[args.command]
        old = getattr(args, "old_" + dest)
        old = ([old] if old is not None else []) if count == 1 else list(old)
        given = getattr(args, dest)
        if old and given is not None:
            sub.error(f"argument {flag}: not allowed with the same file{'s' if count > 1 else ''} given before it")
        if not old and given is None:
            sub.error(f"the following arguments are required: {flag}")
        if old and len(old) != count:
            sub.error(f"argument {flag}: expected {count} arguments")
        if old:
            setattr(args, dest, old[0] if count == 1 else old)
    tls = [getattr(args, name, None) for name in ("tls_ca_file", "tls_cert", "tls_key")]
    if getattr(args, "scheduler", None) is None and any(value is not None for value in tls):
        sub.error("the TLS options (--tls-ca-file, --tls-cert, --tls-key) go with --scheduler")
    for name in _OUTPUTS:
        if getattr(args, name, None) != STDIO:
            continue
        flag = "--" + name.replace("_", "-")
        if (args.command, name) not in _STREAMED:
            sub.error(f"argument {flag}: {args.command} writes files of the tools, not a stream: name a file "
                      "(- is standard output for finish --out and inspect --export only)")
        if args.json:
            sub.error(f"argument {flag}: - writes to standard output, which --json takes: name a file")
    args.csv = _csv_options(sub, args)
    return args


def _csv_options(sub: argparse.ArgumentParser, args: argparse.Namespace) -> Optional[rows.CsvOptions]:
    """The CSV options of a step that reads a table, checked before anything is read."""
    given = [getattr(args, name, None) for name in ("delimiter", "encoding", "quote_char")]
    if all(value is None for value in given):
        return None
    try:
        return rows.CsvOptions.parse(*given)
    except UsageError as error:
        sub.error(str(error))
    return None  # not reached: error() exits


# --------------------------------------------------------------------------- the steps


class _Run:
    """What a subcommand has while it runs: its arguments, the progress
    callback (the bar, and the report's timings) and its JSON report."""

    def __init__(self, args: argparse.Namespace, bar: ProgressBar):
        self.args = args
        self.bar = bar
        self.report = StepReport(args.command)

    def progress(self, step: str, done: int, total: int) -> None:
        self.report.phase(step, done, total)
        self.bar(step, done, total)


def _size(path: str) -> str:
    return f"{os.path.getsize(path):,} bytes"


@contextlib.contextmanager
def _warnings_logged(report: StepReport) -> Iterator[None]:
    """The tools' warnings as WARNING records, one line each, and in the report."""

    def show(message: Any, category: Any, *rest: Any, **named: Any) -> None:
        report.warnings.append(str(message))
        LOGGER.warning(str(message))

    with warnings.catch_warnings():
        warnings.simplefilter("always", ToolWarning)
        warnings.showwarning = show
        yield


def _keygen(run: _Run) -> None:
    args, report = run.args, run.report
    fp = steps.keygen(args.public_key, args.secret_key, args.role, overwrite=args.force)
    report.fields.update(role=args.role, fingerprint=fp)
    report.wrote(args.public_key, "public key")
    report.wrote(args.secret_key, "secret key", mode="0600")
    report.checks += ["outputs are new files (or --force), not links, devices or folders",
                      "no secret-key file replaced"]
    say(f"{args.role} key {fp}")
    say(f"  public key {args.public_key}: give it to the other parties")
    say(f"  secret key {args.secret_key} (mode 0600): keep it")


def _table_checks(args: argparse.Namespace, what: str) -> List[str]:
    blank = (f"{what} with an empty, white-space-only or null key value left out (--skip-invalid)"
             if args.skip_invalid else f"no {what} with an empty, white-space-only or null key value")
    return ["table: every named column present, once", blank]


def _build_store(run: _Run) -> None:
    args, report = run.args, run.report
    construction = "specified" if args.specified else "hiding"
    built = steps.build_store(
        args.public_key, args.table, args.columns, args.out, args.normalise, construction, run.progress,
        shards=args.shards, engine=args.engine, overwrite=args.force, skip_invalid=args.skip_invalid,
        allow_empty=args.allow_empty, csv=args.csv,
    )
    duplicates = built.rows_read - built.rows_skipped - built.rows_stored
    report.read(args.public_key, "public key")
    report.read(args.table, "table", rows=built.rows_read)
    report.wrote(args.out, "store", construction=construction, shards=built.header.meta.get("shards"))
    report.counts.update(rows_read=built.rows_read, rows_stored=built.rows_stored, rows_repeated=duplicates,
                         rows_skipped=built.rows_skipped)
    report.fields.update(columns=list(args.columns), normalise=args.normalise, construction=construction)
    report.checks += ["public key: a bank's public-key file, its checksums hold"] + _table_checks(args, "rows")
    layout = f" in {built.header.meta['shards']:,} shards" if args.shards is not None else ""
    say(
        f"wrote {args.out}: {'membership-hiding' if construction == 'hiding' else 'specified'} store of "
        f"{built.rows_stored:,} rows{layout}, {_size(args.out)}; send it to the payment network"
    )
    if duplicates:
        say(f"  {duplicates:,} rows repeated an earlier row and were stored once")
    if built.rows_skipped:
        say(f"  {built.rows_skipped:,} rows with an empty key value were left out (--skip-invalid)")


def _initiate(run: _Run) -> None:
    args, report = run.args, run.report
    header = steps.initiate(
        args.table,
        args.sender_columns,
        args.receiver_columns,
        args.sender_store,
        args.receiver_store,
        args.public_key,
        args.out,
        args.normalise,
        args.sender_key,
        args.receiver_key,
        args.chunk_size,
        run.progress,
        engine=args.engine,
        overwrite=args.force,
        skip_invalid=args.skip_invalid,
        allow_empty=args.allow_empty,
        csv=args.csv,
    )
    skipped = (header.meta.get("skipped") or {}).get("rows", 0)
    report.read(args.table, "payments", rows=header.count + skipped)
    report.read(args.sender_store, "sender store")
    report.read(args.receiver_store, "receiver store")
    report.read(args.public_key, "network public key")
    report.read(args.sender_key, "sender public key")
    report.read(args.receiver_key, "receiver public key")
    report.wrote(args.out, "queries")
    report.fields.update(run=header.meta.get("run"), normalise=args.normalise)
    report.counts.update(payments=header.count + skipped, queries=header.count, payments_skipped=skipped)
    report.checks += [
        "network key: the payment network's public-key file, its checksums hold",
        "stores: each bank's own, in its place, their checksums hold",
        "stores and queries: the same row encoding, normalisation and column count",
        "columns: in the stores' recorded order, or mapped onto their names",
    ]
    for bank, key in (("sender", args.sender_key), ("receiver", args.receiver_key)):
        if key is not None:
            report.checks.append(f"the {bank} store was made under --{bank}-key")
    report.checks += _table_checks(args, "payments")
    say(f"wrote {args.out}: {header.count:,} queries, {_size(args.out)} (keep it; randomize it twice)")
    if skipped:
        say(f"  {skipped:,} payments with an empty key value were left out (--skip-invalid): "
            "finish writes no match for them")


def _stream_report(report: StepReport, header: files.Header) -> None:
    report.fields["run"] = header.meta.get("run")
    report.counts["entries"] = header.count


def _randomize(run: _Run) -> None:
    args, report = run.args, run.report
    header = steps.randomize(args.queries, args.out, args.chunk_size, run.progress, engine=args.engine,
                             overwrite=args.force)
    report.read(args.queries, "queries")
    report.wrote(args.out, "randomized queries", copy=header.meta.get("copy"))
    _stream_report(report, header)
    report.checks.append("queries: a query stream, its checksums hold")
    say(f"wrote {args.out}: randomized copy of {header.count:,} queries, {_size(args.out)}")


def _combine(run: _Run) -> None:
    args, report = run.args, run.report
    first, second = args.copies
    header = steps.combine(
        first,
        second,
        args.sender_out,
        args.receiver_out,
        args.gamma_out,
        args.delta_out,
        args.chunk_size,
        run.progress,
        engine=args.engine,
        overwrite=args.force,
    )
    report.read(first, "randomized queries")
    report.read(second, "randomized queries")
    for component in ("sender", "receiver", "gamma", "delta"):
        report.wrote(getattr(args, f"{component}_out"), f"{component} points")
    _stream_report(report, header)
    report.checks += ["copies: two randomized copies of one run, not one copy twice, their checksums hold",
                      "outputs: four different files, none an input"]
    say(f"combined {header.count:,} entries:")
    say(f"  {args.sender_out}: {_size(args.sender_out)}, send it to the sending bank")
    say(f"  {args.receiver_out}: {_size(args.receiver_out)}, send it to the receiving bank")
    say(f"  {args.gamma_out}, {args.delta_out}: keep them")


def _decrypt(run: _Run) -> None:
    args, report = run.args, run.report
    header = steps.decrypt(
        args.points, args.secret_key, args.out, args.chunk_size, run.progress, engine=args.engine,
        overwrite=args.force, audit_log=args.audit_log, again=args.again, max_entries=args.max_entries,
    )
    log = args.audit_log if args.audit_log is not None else audit.default_path(args.secret_key)
    report.read(args.points, "points")
    report.read(args.secret_key, "secret key")
    report.wrote(args.out, "decrypted points", component=header.meta.get("component"))
    report.wrote(log, "audit log")
    _stream_report(report, header)
    report.checks += [
        "points: a bank's stream, not yet decrypted, its checksums hold",
        "secret key: this bank's, the key the stream was made for, readable by its owner only",
        "audit log: the first answer for this run" + (" (or --again)" if args.again else ""),
    ]
    if args.max_entries is not None:
        report.checks.append(f"no more than {args.max_entries:,} entries (--max-entries)")
    say(f"wrote {args.out}: {header.count:,} decrypted points, {_size(args.out)}; send it to the payment network")
    say(f"  recorded in the audit log {log}")


def _reader_gone() -> bool:
    """Whether standard output is a pipe whose reader has closed it."""
    try:
        poller = select.poll()
        poller.register(sys.stdout.fileno(), select.POLLOUT)
        return any(events & select.POLLERR for _, events in poller.poll(0))
    except (AttributeError, OSError, ValueError):
        return False


def _finish(run: _Run) -> None:
    args, report = run.args, run.report
    try:
        outcome = steps.finish(
            args.sender_points,
            args.receiver_points,
            args.gamma_points,
            args.delta_points,
            args.secret_key,
            args.table,
            args.out,
            args.column,
            args.chunk_size,
            run.progress,
            engine=args.engine,
            overwrite=args.force,
            csv=args.csv,
        )
    except BrokenPipeError:
        if args.out != STDIO or not _reader_gone():
            raise
        # The results' reader has gone (``| head``): the output ends quietly, as every output does.
        reporting.output_closed()
        detail("standard output's reader has gone: the rest of the results was not read")
        return
    payments, matches, left_out = results.counts(outcome, args.column)
    for part in ("sender", "receiver", "gamma", "delta"):
        report.read(getattr(args, f"{part}_points"), f"{part} points")
    report.read(args.secret_key, "secret key")
    report.read(args.table, "payments", rows=payments)
    fmt = "csv" if args.out == STDIO else _format_of(args.out, args.table)
    report.wrote(args.out, "results", format=fmt, column=args.column)
    report.fields["run"] = files.read_header(args.gamma_points).meta.get("run")
    report.counts.update(payments=payments, matches=matches, payments_skipped=left_out)
    report.checks += [
        "streams: one run, each component in its place, decrypted by the run's banks, their checksums hold",
        "secret key: the payment network's, the run's key, readable by its owner only",
        "payments: the table the run's queries were made from (its digest)",
        f"match column {args.column!r}: not a column of the payments",
    ]
    gone = f", {left_out:,} left out (no match: an empty key value)" if left_out else ""
    where = "results on standard output" if args.out == STDIO else f"wrote {args.out}"
    say(f"{where}: {payments:,} payments, {matches:,} with both accounts held{gone} (column {args.column!r})")
    if fmt.startswith("csv"):
        say("  a CSV result carries no header: keep the Parquet form where the checks of `inspect` matter")


def _format_of(out: str, table: str) -> str:
    """The results' format, as ``finish`` chose it (by the suffix, else as the table is)."""
    try:
        chosen = results.output_format(out, None if table == STDIO else table)
    except (ToolError, ValueError, OSError):
        return "unknown"
    return str(getattr(chosen, "value", chosen))


def _json_value(value: Any) -> Any:
    return value if isinstance(value, (str, int, float, bool, type(None), list, dict)) else str(value)


def _inspect(run: _Run) -> int:
    args, report = run.args, run.report
    description = steps.describe(args.file)
    meta = {k[len("meta."):]: _json_value(v) for k, v in description.items() if k.startswith("meta.")}
    fields = {k.replace(" ", "_"): _json_value(v) for k, v in description.items() if not k.startswith("meta.")}
    fields.pop("file", None)
    report.read(args.file, "file", **{k: v for k, v in fields.items() if k in ("kind", "entries")})
    report.fields.update(fields, meta=meta)
    intact = description["checksum"] == "ok"
    report.checks.append("header and payload checksums" + (" hold" if intact else " do NOT hold"))
    width = max(len(k) for k in description)
    for key, value in description.items():
        text = json.dumps(value, sort_keys=True, ensure_ascii=False) if isinstance(value, (dict, list)) else value
        say(shown(f"{key:<{width}}  {text}"))
    if not intact:
        raise BadFileError(args.file, "is corrupted (its checksums do not match)")
    if args.export == STDIO:
        header = _export_to_stdout(args.file, description)
        report.wrote(STDIO, "payload", bytes=header.payload_length)
        say("exported the payload to standard output")
    elif args.export:
        steps.export(args.file, args.export, overwrite=args.force)
        report.wrote(args.export, "payload")
        say(f"exported the payload to {args.export}")
    return 0


def _export_to_stdout(path: str, description: Dict[str, Any]) -> files.Header:
    """The payload alone on standard output, for a pipe or a file: never a
    terminal (binary bytes), never a secret key's (its file would have had
    mode 0600; a pipe's reader is nobody's to vouch for)."""
    if description.get("kind") == "results":
        raise BadFileError(path, "is a results table already; any Parquet reader opens it as it is")
    out = sys.stdout
    if out is None:
        raise BadFileError(STDIO, "standard output is closed")
    if out.isatty():
        raise BadFileError(STDIO, "is a terminal: the payload is binary; redirect or pipe standard output")
    with files.open_file(path) as stored:
        if stored.kind.secret:
            raise BadFileError(path, "is a secret key: its payload goes to a file (mode 0600), not to standard output")
        out.flush()
        sink = out.buffer
        offset, length = 0, stored.header.payload_length
        try:
            while offset < length:
                block = stored.read(offset, 1 << 20)
                sink.write(block)
                offset += len(block)
            sink.flush()
        except BrokenPipeError:
            reporting.output_closed()
        return stored.header


def _run(run: _Run) -> Optional[int]:
    """Runs the subcommand, on the engine its options name (none by default)."""
    args = run.args
    with engines.open_engine(
        getattr(args, "workers", None),
        getattr(args, "scheduler", None),
        getattr(args, "tls_ca_file", None),
        getattr(args, "tls_cert", None),
        getattr(args, "tls_key", None),
        getattr(args, "chunk_size", steps.DEFAULT_CHUNK_SIZE),
    ) as engine:
        args.engine = engine
        if engine is not None:
            detail(f"{args.command}: on {type(engine).__name__}")
        with _warnings_logged(run.report):
            status: Optional[int] = args.run(run)
            return status


def _details(report: Dict[str, Any]) -> None:
    """What -v shows once a step has run: each file read and written, and the timings."""
    for verb, entries in (("read", report["inputs"]), ("wrote", report["outputs"])):
        for entry in entries:
            facts = [entry["what"]]
            for field, label in (("kind", "kind {}"), ("entries", "{:,} entries"), ("rows", "{:,} rows"),
                                 ("fingerprint", "key {}"), ("bytes", "{:,} bytes")):
                if field in entry:
                    facts.append(label.format(entry[field]))
            detail(f"{verb} {entry['path']}: {', '.join(facts)}")
    for name, seconds in report["seconds"].get("phases", {}).items():
        detail(f"phase {name}: {seconds:.3f} s")
    detail(f"{report['command']}: {report['seconds']['total']:.3f} s in all")


# --------------------------------------------------------------------------- running


def _complete(parser: argparse.ArgumentParser) -> None:
    """Shell completion, where the shell asks for it and argcomplete is installed."""
    if "_ARGCOMPLETE" not in os.environ:
        return
    try:
        import argcomplete
    except ImportError:
        return
    argcomplete.autocomplete(parser)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command; returns its exit status (a usage error exits with 2)."""
    # pyarrow's own allocator keeps what a step frees for reuse: tens of MiB,
    # beside the stores and rows a step holds, for the tables it reads. The
    # command takes the system's instead, unless the environment names one.
    os.environ.setdefault("ARROW_DEFAULT_MEMORY_POOL", "system")
    try:
        return _main(argv)
    finally:
        # What the interpreter would otherwise flush at exit, failing there
        # with a report on standard error when the output's reader is gone.
        _flush_output()


def _flush_output() -> None:
    stream = sys.stdout
    if stream is None:
        return
    try:
        stream.flush()
    except BrokenPipeError:
        reporting.output_closed()
    except ValueError:  # closed in this process
        pass


def _wants_json(argv: Sequence[str]) -> bool:
    return "--json" in list(argv)[: list(argv).index("--")] if "--" in argv else "--json" in argv


def _main(argv: Optional[Sequence[str]]) -> int:
    given = list(sys.argv[1:] if argv is None else argv)
    parser = _parser()
    _complete(parser)
    try:
        args = _parse(given, parser)
    except BrokenPipeError:  # --help or --version, their reader gone
        reporting.output_closed()
        return 0
    except SystemExit as exit:
        if exit.code == EXIT_USAGE and _wants_json(given):
            write_json({"command": next((a for a in given if not a.startswith("-")), None), "ok": False,
                        "exit": EXIT_USAGE, "error": {"type": "UsageError", "message": _Parser.last_error}})
        raise
    quiet = args.quiet > 0
    mode = "never" if (quiet and args.progress == "auto") or not args.shows_progress else args.progress
    bar = ProgressBar(mode, indeterminate=("build-store",) if args.command == "build-store" else ())
    # The results or the payload on standard output: the output goes to standard error instead.
    data_on_stdout = STDIO in (getattr(args, "out", None), getattr(args, "export", None))
    run = _Run(args, bar)
    level = level_for(args.verbose, args.quiet)
    with reporting.configure(level, output=not args.json, before_message=bar.close, to_stderr=data_on_stdout):
        status = _guarded(run)
        bar.close()
        report = run.report.as_dict(status)
        _details(report)
    if args.json:
        write_json(report)
    return status


def _guarded(run: _Run) -> int:
    """Runs the step; a failure becomes its message and exit status."""
    args = run.args

    def failed(error: BaseException, status: int, message: str, plain: bool = False) -> int:
        run.bar.close()
        LOGGER.error(message, extra={"plain": plain})
        run.report.failed(error, status, message)
        return status

    try:
        with on_stopping_signals():
            return _run(run) or 0
    except KeyboardInterrupt as error:
        return failed(error, EXIT_INTERRUPTED, "interrupted; nothing written", plain=True)
    except Terminated as error:
        return failed(error, 128 + error.signum, f"{error}; nothing written", plain=True)
    except ModuleError as error:
        status = failed(error, EXIT_FAILURE, str(error))
        if error.report:
            LOGGER.debug(f"the module's fault report: {error.report.strip()}")
        return status
    except (ToolError, ValueError, ImportError) as error:
        if isinstance(error, UsageError):  # an argument the step refuses before it reads anything
            args.command_parser.print_usage(sys.stderr)
            return failed(error, EXIT_USAGE, str(error))
        return failed(error, EXIT_FAILURE, str(error))
    except OSError as error:  # a disk that fills up, a file that goes away mid-step
        where = f"{error.filename}: " if error.filename else ""
        return failed(error, EXIT_FAILURE, f"{where}{error.strerror or error}; nothing written")
    except MemoryError as error:
        return failed(error, EXIT_FAILURE, "out of memory; nothing written")


if __name__ == "__main__":
    sys.exit(main())
