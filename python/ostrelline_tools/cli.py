"""The ``ostrelline`` command: one subcommand per protocol step.

Each subcommand reads and checks its input files, runs its step and writes
its outputs atomically, never over an existing file unless ``--force`` is
given (and never over a secret key, a link or a device). A refused file or a
failure prints one line naming the file and the problem to standard error
and exits with status 1; Ctrl-C exits with status 130, SIGTERM with 143 and
SIGHUP with 129; in every case nothing is written. A usage error (an unknown
option, a missing or malformed argument, a count below its least value)
exits with status 2 before anything is read.

A standard output that is closed (its reader gone, as with ``| head -1``)
ends the command's output quietly: the step goes on, the rest of its output
is discarded, and the exit status is the step's.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
import warnings
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, TextIO

from ostrelline_parallel import __version__

from . import audit, engines, files, results, rows, steps
from .errors import ModuleError, Terminated, ToolError, ToolWarning, on_stopping_signals

__all__ = ["main", "ProgressBar", "shown"]

EXIT_FAILURE = 1
EXIT_INTERRUPTED = 130


class ProgressBar:
    """A progress callback: a bar redrawn in place on a terminal; with
    ``mode="always"`` and no terminal, a line a second (and the first and last).
    ``mode="auto"`` draws only on a terminal; ``"never"`` draws nothing."""

    def __init__(self, mode: str = "auto", stream: Optional[TextIO] = None):
        self.stream = stream if stream is not None else sys.stderr
        self.terminal = bool(getattr(self.stream, "isatty", lambda: False)())
        self.enabled = mode == "always" or (mode == "auto" and self.terminal)
        self._last = 0.0
        self._started: Dict[str, float] = {}

    def __call__(self, step: str, done: int, total: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        started = self._started.setdefault(step, now)
        final = done >= total
        interval = 0.1 if self.terminal else 1.0
        if done and not final and now - self._last < interval:
            return
        self._last = now
        width = 30
        filled = width * done // total if total else width
        rate = done / (now - started) if now > started else 0.0
        line = f"{step:<12} [{'#' * filled}{'.' * (width - filled)}] {done:,}/{total:,} ({rate:,.0f}/s)"
        if self.terminal:
            self.stream.write("\r" + line + ("\n" if final else ""))
        else:
            self.stream.write(line + "\n")
        self.stream.flush()


def shown(text: object) -> str:
    """``text`` as it may go to a terminal: names and metadata come from files
    another party wrote, so control characters (escape sequences that would
    move the cursor, retitle the window or hide a line) are written escaped."""
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in str(text))


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


@contextlib.contextmanager
def _warnings_shown() -> Iterator[None]:
    """The tools' warnings, each as one line on standard error."""

    def show(message: Any, category: Any, *rest: Any, **named: Any) -> None:
        print(f"ostrelline: warning: {shown(message)}", file=sys.stderr)

    with warnings.catch_warnings():
        warnings.simplefilter("always", ToolWarning)
        warnings.showwarning = show
        yield


def _output_closed() -> None:
    """Standard output's reader is gone: what is left of the output, and what
    the interpreter would flush at exit, goes to the null device instead (as
    the Python documentation recommends for a closed pipe)."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, sys.stdout.fileno())
    finally:
        os.close(devnull)


def _flush_output() -> None:
    stream = sys.stdout
    if stream is None:  # started with standard output closed: nothing was written
        return
    try:
        stream.flush()
    except BrokenPipeError:
        _output_closed()
    except ValueError:  # closed in this process
        pass


def _say(text: str) -> None:
    """One line of the command's output on standard output."""
    if sys.stdout is None:
        return
    try:
        print(text)
    except BrokenPipeError:
        _output_closed()
    _flush_output()


def _size(path: str) -> str:
    return f"{os.path.getsize(path):,} bytes"


def _keygen(args: argparse.Namespace, progress: ProgressBar) -> None:
    fp = steps.keygen(args.public, args.secret, args.role, overwrite=args.force)
    _say(f"{args.role} key {fp}")
    _say(f"  public key {args.public}: give it to the other parties")
    _say(f"  secret key {args.secret} (mode 0600): keep it")


def _build_store(args: argparse.Namespace, progress: ProgressBar) -> None:
    construction = "specified" if args.specified else "hiding"
    with _warnings_shown():
        report = steps.build_store(
            args.key, args.input, args.columns, args.out, args.normalise, construction, progress,
            shards=args.shards, engine=args.engine, overwrite=args.force, skip_invalid=args.skip_invalid,
            allow_empty=args.allow_empty,
        )
    duplicates = report.rows_read - report.rows_skipped - report.rows_stored
    layout = f" in {report.header.meta['shards']:,} shards" if args.shards is not None else ""
    _say(
        f"wrote {args.out}: {'membership-hiding' if construction == 'hiding' else 'specified'} store of {report.rows_stored:,} rows{layout}, {_size(args.out)}; "
        "send it to the payment network"
    )
    if duplicates:
        _say(f"  {duplicates:,} rows repeated an earlier row and were stored once")
    if report.rows_skipped:
        _say(f"  {report.rows_skipped:,} rows with an empty key value were left out (--skip-invalid)")


def _initiate(args: argparse.Namespace, progress: ProgressBar) -> None:
    with _warnings_shown():
        header = steps.initiate(
            args.payments,
            args.sender_columns,
            args.receiver_columns,
            args.sender_store,
            args.receiver_store,
            args.network_key,
            args.out,
            args.normalise,
            args.sender_key,
            args.receiver_key,
            args.chunk_size,
            progress,
            engine=args.engine,
            overwrite=args.force,
            skip_invalid=args.skip_invalid,
            allow_empty=args.allow_empty,
        )
    _say(f"wrote {args.out}: {header.count:,} queries, {_size(args.out)} (keep it; randomize it twice)")
    skipped = header.meta.get("skipped")
    if skipped:
        _say(f"  {skipped['rows']:,} payments with an empty key value were left out (--skip-invalid): "
             "finish writes no match for them")


def _randomize(args: argparse.Namespace, progress: ProgressBar) -> None:
    header = steps.randomize(args.queries, args.out, args.chunk_size, progress, engine=args.engine, overwrite=args.force)
    _say(f"wrote {args.out}: randomized copy of {header.count:,} queries, {_size(args.out)}")


def _combine(args: argparse.Namespace, progress: ProgressBar) -> None:
    header = steps.combine(
        args.first,
        args.second,
        args.sender_out,
        args.receiver_out,
        args.gamma_out,
        args.delta_out,
        args.chunk_size,
        progress,
        engine=args.engine,
        overwrite=args.force,
    )
    _say(f"combined {header.count:,} entries:")
    _say(f"  {args.sender_out}: {_size(args.sender_out)}, send it to the sending bank")
    _say(f"  {args.receiver_out}: {_size(args.receiver_out)}, send it to the receiving bank")
    _say(f"  {args.gamma_out}, {args.delta_out}: keep them")


def _decrypt(args: argparse.Namespace, progress: ProgressBar) -> None:
    header = steps.decrypt(
        args.points, args.secret_key, args.out, args.chunk_size, progress, engine=args.engine, overwrite=args.force,
        audit_log=args.audit_log, again=args.again, max_entries=args.max_entries,
    )
    _say(f"wrote {args.out}: {header.count:,} decrypted points, {_size(args.out)}; send it to the payment network")
    log = args.audit_log if args.audit_log is not None else audit.default_path(args.secret_key)
    _say(f"  recorded in the audit log {log}")


def _finish(args: argparse.Namespace, progress: ProgressBar) -> None:
    payments, matches = steps.finish(
        args.sender,
        args.receiver,
        args.gamma,
        args.delta,
        args.secret_key,
        args.payments,
        args.out,
        args.column,
        args.chunk_size,
        progress,
        engine=args.engine,
        overwrite=args.force,
    )
    skipped = files.read_header(args.gamma).meta.get("skipped")
    left_out = f", {skipped['rows']:,} left out (no match: an empty key value)" if skipped else ""
    _say(f"wrote {args.out}: {payments:,} payments, {matches:,} with both accounts held{left_out} "
         f"(column {args.column!r})")
    if results.output_format(args.out, args.payments) == "csv":
        _say("  a CSV result carries no header: keep the Parquet form where the checks of `inspect` matter")


def _inspect(args: argparse.Namespace, progress: ProgressBar) -> int:
    description = steps.describe(args.file)
    width = max(len(k) for k in description)
    for key, value in description.items():
        _say(shown(f"{key:<{width}}  {value}"))
    if description["checksum"] != "ok":
        print(f"ostrelline: error: {shown(args.file)}: is corrupted (its checksums do not match)", file=sys.stderr)
        return EXIT_FAILURE
    if args.export:
        steps.export(args.file, args.export, overwrite=args.force)
        _say(f"exported the payload to {args.export}")
    return 0


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


def _run(args: argparse.Namespace, progress: ProgressBar) -> Optional[int]:
    """Runs the subcommand, on the engine its options name (none by default)."""
    with engines.open_engine(
        getattr(args, "workers", None),
        getattr(args, "scheduler", None),
        getattr(args, "tls_ca_file", None),
        getattr(args, "tls_cert", None),
        getattr(args, "tls_key", None),
        getattr(args, "chunk_size", steps.DEFAULT_CHUNK_SIZE),
    ) as engine:
        args.engine = engine
        return args.run(args, progress)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ostrelline",
        description="Party tools of the record-matching protocol. Every file they write starts with a "
        "self-checking header; `inspect --export` takes out the module's bytes.",
    )
    parser.add_argument("--version", action="version", version=f"ostrelline {__version__}")
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="on a failure inside the module, show the module's own fault report too",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(
        name: str, run: Callable[..., Any], help_text: str, chunks: bool = True, progress: bool = True
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.set_defaults(run=run, command_parser=sub)
        sub.add_argument(
            "--force",
            action="store_true",
            help="replace existing output files (a secret-key file is never replaced; "
            "links, devices and FIFOs are never written)",
        )
        sub.add_argument(
            "--progress",
            choices=("auto", "always", "never"),
            default="auto",
            # A step without a bar takes it still, so that scripts giving it to every step keep working.
            help="progress on standard error: on a terminal only (auto, the default), always, or never"
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
            "run the step's chunks on a process pool of this machine or on a Dask scheduler's workers "
            "(same results); a secret key travels to a scheduler only over TLS",
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

    sub = command(
        "keygen", _keygen, "write a key pair: a public-key file and a secret-key file (mode 0600)", False, False
    )
    sub.add_argument("--role", required=True, choices=steps.ROLES, help="the party the key is for")
    sub.add_argument("--public", required=True, metavar="FILE", help="public-key file to write")
    sub.add_argument("--secret", required=True, metavar="FILE", help="secret-key file to write")

    sub = command("build-store", _build_store, "a bank: build its store from a CSV or Parquet table", False)
    sub.add_argument("--key", required=True, metavar="FILE", help="the bank's public-key file")
    sub.add_argument("--input", required=True, metavar="TABLE", help="CSV or Parquet file of the bank's rows")
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
    sub.add_argument("--payments", required=True, metavar="TABLE", help="CSV or Parquet file of the payments")
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
    sub.add_argument("--network-key", required=True, metavar="FILE", help="the payment network's public-key file")
    sub.add_argument("--sender-key", metavar="FILE", help="the sending bank's public-key file, checked against its store")
    sub.add_argument(
        "--receiver-key", metavar="FILE", help="the receiving bank's public-key file, checked against its store"
    )
    sub.add_argument("--out", required=True, metavar="FILE", help="query stream to write")
    normalise(sub, "payments")
    beyond(sub)

    sub = command("randomize", _randomize, "the payment network: a freshly blinded copy of the query stream")
    sub.add_argument("queries", metavar="QUERIES", help="query stream")
    sub.add_argument("--out", required=True, metavar="FILE", help="randomized copy to write")
    beyond(sub)

    sub = command("combine", _combine, "the payment network: add two randomized copies; one stream per bank")
    sub.add_argument("first", metavar="COPY1", help="first randomized copy")
    sub.add_argument("second", metavar="COPY2", help="second randomized copy")
    sub.add_argument("--sender-out", required=True, metavar="FILE", help="points for the sending bank")
    sub.add_argument("--receiver-out", required=True, metavar="FILE", help="points for the receiving bank")
    sub.add_argument("--gamma-out", required=True, metavar="FILE", help="gamma points, kept")
    sub.add_argument("--delta-out", required=True, metavar="FILE", help="delta points, kept")
    beyond(sub)

    sub = command("decrypt", _decrypt, "a bank: decrypt partially the points the payment network sent it")
    sub.add_argument("points", metavar="POINTS", help="point stream from the payment network")
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
    sub.add_argument("--sender", required=True, metavar="FILE", help="points decrypted by the sending bank")
    sub.add_argument("--receiver", required=True, metavar="FILE", help="points decrypted by the receiving bank")
    sub.add_argument("--gamma", required=True, metavar="FILE", help="gamma points from combine")
    sub.add_argument("--delta", required=True, metavar="FILE", help="delta points from combine")
    sub.add_argument("--secret-key", required=True, metavar="FILE", help="the payment network's secret-key file")
    sub.add_argument("--payments", required=True, metavar="TABLE", help="the payments table given to initiate")
    sub.add_argument("--column", type=_column_name, default="match", help="name of the match column (default match)")
    sub.add_argument(
        "--out",
        required=True,
        metavar="FILE",
        help="results to write: the payments table with the match column, as CSV or Parquet by the suffix "
        "(.csv, .parquet), else in the payments table's format",
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
    sub.add_argument("file", metavar="FILE")
    sub.add_argument(
        "--export", metavar="OUT", help="write the payload alone (the module's bytes) to OUT"
    )
    return parser


def _parse(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    args = _parser().parse_args(argv)
    tls = [getattr(args, name, None) for name in ("tls_ca_file", "tls_cert", "tls_key")]
    if getattr(args, "scheduler", None) is None and any(value is not None for value in tls):
        args.command_parser.error("the TLS options (--tls-ca-file, --tls-cert, --tls-key) go with --scheduler")
    return args


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command; returns its exit status (argparse exits with 2 on a usage error)."""
    try:
        return _main(argv)
    finally:
        # What the interpreter would otherwise flush at exit, failing there
        # with a report on standard error when the output's reader is gone.
        _flush_output()


def _main(argv: Optional[Sequence[str]]) -> int:
    try:
        args = _parse(argv)
    except BrokenPipeError:  # --help or --version, their reader gone
        _output_closed()
        return 0
    progress = ProgressBar(args.progress)
    try:
        with on_stopping_signals():
            status = _run(args, progress)
    except KeyboardInterrupt:
        print("\nostrelline: interrupted; nothing written", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Terminated as error:
        print(f"\nostrelline: {error}; nothing written", file=sys.stderr)
        return 128 + error.signum
    except ModuleError as error:
        print(f"ostrelline: error: {shown(error)}", file=sys.stderr)
        if args.verbose and error.report:
            print(shown(f"ostrelline: the module's fault report: {error.report.strip()}"), file=sys.stderr)
        return EXIT_FAILURE
    except (ToolError, ValueError, ImportError) as error:
        print(f"ostrelline: error: {shown(error)}", file=sys.stderr)
        return EXIT_FAILURE
    except OSError as error:  # a disk that fills up, a file that goes away mid-step
        where = f"{error.filename}: " if error.filename else ""
        print(shown(f"ostrelline: error: {where}{error.strerror or error}; nothing written"), file=sys.stderr)
        return EXIT_FAILURE
    except MemoryError:
        print("ostrelline: error: out of memory; nothing written", file=sys.stderr)
        return EXIT_FAILURE
    return status or 0


if __name__ == "__main__":
    sys.exit(main())
