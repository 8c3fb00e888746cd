"""A line on the terminal saying how far a long piece of work is ("zelm:
saving trace ... 45%"), redrawn in place and cleared when the work ends.

It is drawn on file descriptor 2 only when that is a terminal, so that a
pipe, a file or a test reading stderr gets nothing of it; it goes to the
descriptor, not to sys.stderr, which a profiled program may have replaced.
Work shorter than a few seconds shows nothing. A thread of its own draws
it: the work only hands over a number, so that a loop that reports each
step (a save's compression) costs no more for it.
"""

import os
import threading
import time

__all__ = ["Progress"]

_TERMINAL = 2
# Seconds between redraws.
_REDRAW_SECONDS = 0.25


class Progress:
    """While entered, draws "zelm: LABEL ... N%" once the work has taken
    ``shown_after`` seconds or will take that long by the fraction done so
    far; work that is not ``counted`` (it never calls update()) shows the
    seconds it has taken instead of a fraction."""

    def __init__(self, label, shown_after, counted=False, enabled=True):
        self._label = label
        self._shown_after = shown_after
        self._enabled = enabled
        self._fraction = 0.0 if counted else None
        self._done = threading.Event()
        self._drawer = None
        self._width = 0  # of the widest line drawn, to clear it

    def update(self, done, total):
        """Note that ``done`` of ``total`` is done (a save's progress callback)."""
        self._fraction = done / total if total else 1.0

    def __enter__(self):
        if self._enabled and _is_terminal():
            self._started = time.monotonic()
            self._drawer = threading.Thread(target=self._draw_until_done, name="zelm-progress", daemon=True)
            self._drawer.start()
        return self

    def __exit__(self, *exc_info):
        if self._drawer is None:
            return
        self._done.set()
        self._drawer.join()
        if self._width:
            _write("\r" + " " * self._width + "\r")

    def _draw_until_done(self):
        while True:
            elapsed, fraction = time.monotonic() - self._started, self._fraction
            if self._worth_showing(elapsed, fraction):
                state = f"{int(100 * fraction)}%" if fraction is not None else f"{elapsed:.0f} s"
                line = f"zelm: {self._label} ... {state}"
                _write("\r" + line.ljust(self._width))
                self._width = max(self._width, len(line))
            if self._done.wait(_REDRAW_SECONDS):
                return

    def _worth_showing(self, elapsed, fraction):
        if elapsed >= self._shown_after:
            return True
        # Judged from a quarter of the time on: the first pieces of work are not its pace yet.
        return bool(fraction) and elapsed >= self._shown_after / 4 and elapsed / fraction >= self._shown_after


def _is_terminal():
    try:
        return os.isatty(_TERMINAL)
    except OSError:
        return False


def _write(text):
    try:
        os.write(_TERMINAL, text.encode("utf-8", "replace"))
    except OSError:
        pass  # a terminal gone: the work goes on without its line
