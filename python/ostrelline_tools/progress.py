"""The command's progress bar: a step's entries done, the time elapsed and an
estimate of the time left, on one line that fits the terminal.

A step reports ``progress(step, done, total)``: 0 first, then after each
chunk. A report that repeats the last one is a tick (the step is inside one
long call): the bar redraws the elapsed time. A step named in
``indeterminate`` is one call of the module whose length nothing measures
(``build-store``'s build): its bar bounces and says "no estimate" rather
than showing a count that stays at 0 until the end, and while it runs on a
terminal an interval timer (SIGALRM, a few times a second) redraws it, so
that the elapsed time moves although no report comes. That call runs in a
child process while this one only waits for its result, so the timer
interrupts nothing but that wait (which Python resumes); the timer is not
used where another one is set, or off the main thread.
"""
from __future__ import annotations

import enum
import os
import shutil
import signal
import sys
import threading
import time
from typing import Any, Collection, Dict, List, Optional, TextIO

__all__ = ["ProgressBar", "duration", "Mode", "MODES"]


class Mode(str, enum.Enum):
    """When a bar is drawn (``--progress``)."""

    #: on a terminal only
    AUTO = "auto"
    #: on a terminal, else a line a second
    ALWAYS = "always"
    NEVER = "never"


MODES = tuple(m.value for m in Mode)
# The widest bar drawn; a narrower terminal gets a narrower bar, or none.
BAR_WIDTH = 30
_LEAST_BAR = 5
# A line at most this often: redrawn in place on a terminal, appended to a log otherwise.
_TERMINAL_INTERVAL = 0.1
_LOG_INTERVAL = 1.0
# A log gets a tick's line at most this often (a terminal's bar moves at every tick).
_LOG_TICK_INTERVAL = 10.0
_BOUNCER = "<=>"
_BOUNCES_PER_SECOND = 8
# Seconds between the redraws of an indeterminate bar on a terminal.
BEAT = 0.25
_LEAST_RATE_TIME = 0.05


def duration(seconds: float) -> str:
    """``seconds`` as M:SS, or H:MM:SS from an hour."""
    whole = int(max(seconds, 0.0) + 0.5)
    hours, rest = divmod(whole, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"


class _Phase:
    def __init__(self, now: float, total: int):
        self.started = now
        self.total = total
        self.done = 0
        self.finished = False


class ProgressBar:
    """A progress callback for the steps. With ``mode="auto"`` it draws on a
    terminal only, redrawn in place; ``"always"`` draws on any stream (a
    line a second, and the first and last, where it is no terminal);
    ``"never"`` draws nothing. The line never grows past the terminal's
    width (measured at each draw, so a resized window is followed): the bar
    narrows, then the rate and the bar are left out, then the line is cut."""

    def __init__(
        self, mode: str = "auto", stream: Optional[TextIO] = None, indeterminate: Collection[str] = ()
    ) -> None:
        try:
            mode = Mode(mode)
        except ValueError:
            raise ValueError(f"progress is one of {', '.join(MODES)}, not {mode!r}") from None
        self.stream = stream if stream is not None else sys.stderr
        self.terminal = bool(getattr(self.stream, "isatty", lambda: False)())
        self.enabled = mode is Mode.ALWAYS or (mode is Mode.AUTO and self.terminal)
        self.indeterminate = frozenset(indeterminate)
        self._phases: Dict[str, _Phase] = {}
        self._last_draw = 0.0
        self._open = 0  # characters of the unfinished line on the terminal (0: none)
        self._drawing = False
        self._beating: Optional[str] = None  # the indeterminate step the timer redraws
        self._saved_alarm: Any = None

    # ------------------------------------------------------------------ reports

    def __call__(self, step: str, done: int, total: int) -> None:
        if not self.enabled:
            return
        if self._beating is not None and (self._beating != step or done >= total):
            self._stop_beat()
        now = time.monotonic()
        phase = self._phases.get(step)
        if phase is None or phase.finished or done < phase.done:
            phase = self._phases[step] = _Phase(now, total)
            first = True
        else:
            first = False
        tick = not first and done == phase.done and not done >= total
        phase.total, phase.done = total, done
        final = done >= total
        if not (first or final):
            interval = _TERMINAL_INTERVAL if self.terminal else (_LOG_TICK_INTERVAL if tick else _LOG_INTERVAL)
            if now - self._last_draw < interval:
                return
        self._last_draw = now
        phase.finished = final
        self._draw(self.line(step, phase, now), final)
        if first and not final and step in self.indeterminate and self.terminal:
            self._start_beat(step)

    def close(self) -> None:
        """Ends an unfinished line on the terminal (a step stopped midway), so
        that what is written next starts a line of its own."""
        self._stop_beat()
        if self._open:
            self._write("\n")
            self._open = 0

    # ------------------------------------------------------------------ the timer of an indeterminate bar

    def _start_beat(self, step: str) -> None:
        if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "setitimer"):
            return
        if signal.getitimer(signal.ITIMER_REAL) != (0.0, 0.0):
            return  # someone else's timer: left alone
        try:
            self._saved_alarm = signal.signal(signal.SIGALRM, self._beat)
        except (OSError, ValueError):
            return
        self._beating = step
        signal.setitimer(signal.ITIMER_REAL, BEAT, BEAT)

    def _stop_beat(self) -> None:
        if self._beating is None:
            return
        # The timer first: an alarm already on its way then finds ``_beating`` unset.
        signal.setitimer(signal.ITIMER_REAL, 0.0, 0.0)
        self._beating = None
        signal.signal(signal.SIGALRM, self._saved_alarm if self._saved_alarm is not None else signal.SIG_DFL)
        self._saved_alarm = None

    def _beat(self, signum: int, frame: Any) -> None:
        """The timer's redraw of the indeterminate bar (skipped while a line is being written)."""
        step = self._beating
        phase = self._phases.get(step) if step is not None else None
        if phase is None or phase.finished or self._drawing:
            return
        self._draw(self.line(step, phase, time.monotonic()), False)  # type: ignore[arg-type]

    # ------------------------------------------------------------------ drawing

    def width(self) -> int:
        """Columns of the terminal the bar is drawn on."""
        try:
            return os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, OSError, ValueError):
            return shutil.get_terminal_size().columns

    def line(self, step: str, phase: _Phase, now: float) -> str:
        """The line for ``phase`` of ``step``, fitted to the terminal (a log's
        lines are not cut)."""
        elapsed = now - phase.started
        done, total = phase.done, phase.total
        unmeasured = step in self.indeterminate and done < total
        if done >= total:
            timing = f"{duration(elapsed)} elapsed, done"
        elif unmeasured:
            timing = f"{duration(elapsed)} elapsed, no estimate"
        elif done:
            timing = f"{duration(elapsed)} elapsed, ETA {duration(elapsed * (total - done) / done)}"
        else:
            timing = f"{duration(elapsed)} elapsed, ETA --:--"
        if unmeasured:
            count, rate = f"{total:,} rows in one call", ""
        else:
            count = f"{done:,}/{total:,}"
            # No rate from a step begun a moment ago: it would be noise.
            rate = f"({done / elapsed:,.0f}/s)" if done and elapsed >= _LEAST_RATE_TIME else "(-/s)"
        limit = self.width() - 1 if self.terminal else None  # the last column would wrap on some terminals
        name = f"{step:<12}"

        def assemble(name: str, bar: Optional[int], rate: str) -> str:
            parts: List[str] = [name, timing]
            if bar is not None:
                parts.append(f"[{self._bar(phase, bar, unmeasured, elapsed)}]")
            parts.append(count)
            if rate:
                parts.append(rate)
            return " ".join(parts)

        if limit is None:
            return assemble(name, BAR_WIDTH, rate)
        room = limit - len(assemble(name, 0, rate))
        if room >= _LEAST_BAR:
            return assemble(name, min(BAR_WIDTH, room), rate)
        # Narrower: the bar goes, then the rate, the padding and the word "elapsed"; then the line is cut.
        candidates = [assemble(name, None, rate), assemble(name, None, ""), assemble(step, None, "")]
        timing = timing.replace(" elapsed,", ",")
        candidates.append(assemble(step, None, ""))
        for candidate in candidates:
            if len(candidate) <= limit:
                return candidate
        return candidates[-1][: max(limit, 0)]

    @staticmethod
    def _bar(phase: _Phase, width: int, unmeasured: bool, elapsed: float) -> str:
        if unmeasured:
            if width < len(_BOUNCER):
                return "." * width
            span = width - len(_BOUNCER)
            position = int(elapsed * _BOUNCES_PER_SECOND) % (2 * span) if span else 0
            position = position if position <= span else 2 * span - position
            return " " * position + _BOUNCER + " " * (span - position)
        filled = width * phase.done // phase.total if phase.total else width
        filled = min(filled, width)
        return "#" * filled + "." * (width - filled)

    def _draw(self, line: str, final: bool) -> None:
        if self.terminal:
            # Spaces over what is left of a longer line drawn before, never past the width.
            padded = line.ljust(min(self._open, max(self.width() - 1, len(line))))
            self._write("\r" + padded + ("\n" if final else ""))
            self._open = 0 if final else max(len(padded), 1)
        else:
            self._write(line + "\n")

    def _write(self, text: str) -> None:
        self._drawing = True
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # standard error gone: progress is not worth failing the step for
            self.enabled = False
        finally:
            self._drawing = False
