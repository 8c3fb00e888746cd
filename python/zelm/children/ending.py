"""Saving a traced child process's trace when the child ends.

A child saves its trace once, whichever way it ends first: at exit (a new
interpreter, the way a program ends by itself), at os._exit (how
multiprocessing's forked workers end, where atexit handlers never run) and
at SIGTERM (how Pool.terminate() and Process.terminate() end workers; the
child then ends by that signal as it would have). Only SIGKILL, or
another signal that kills the child, loses it.

Python runs a signal handler between bytecodes, so a SIGTERM that arrives
just before a worker blocks (on the lock of a pool's task queue, which the
terminating pool holds for good) would wait for its handler forever. A
thread therefore watches the signal's wake-up file and, when the main
thread has not begun to save soon after a SIGTERM, saves and ends the
process itself.

The process's state is module state: it is what a forked child inherits.
"""

import atexit
import functools
import os
import signal
import sys
import threading
import time

from zelm.children.settings import VARIABLE, decode, encode

# The profiler whose trace this process saves when it ends, if any.
_watched = None
# The pid of the process that saved _watched's trace, so that a forked
# child (which inherits it) still saves its own.
_saved_in = None
# zelm run's profiler while it traces child processes: its forked children
# are watched; zelm run saves its own trace, and that of a forked child
# that comes back to it.
_followed = None
_fork_handler_registered = False
_exit_registered = False
_real_exit = os._exit
_save_lock = threading.Lock()
# The write end of the pipe the signal module wakes the watching thread
# through, in the process that made it (a forked child makes its own).
_wakeup = (None, None)
# How long the watching thread leaves the main thread to handle a SIGTERM.
_HANDLER_GRACE_SECONDS = 0.5


def watching():
    return _watched is not None


def watch(profiler, at_exit):
    """Save ``profiler``'s trace when this process ends: at os._exit, at
    SIGTERM and, with ``at_exit``, at exit."""
    global _watched, _exit_registered
    _watched = profiler
    _follow_forks_once()
    if at_exit and not _exit_registered:
        _exit_registered = True
        atexit.register(save)
    if os._exit is _real_exit:
        os._exit = _exit_after_saving
    _take_sigterm()
    _watch_again_in_workers()


def follow_forks(profiler):
    """Watch the forked children of the process ``profiler`` records (None:
    stop)."""
    global _followed
    _followed = profiler
    if profiler is not None:
        _follow_forks_once()


def forget():
    """Stop the watched profiler without saving its trace; return its
    parent trace id, or None when none was watched."""
    global _watched
    profiler, _watched = _watched, None
    if profiler is None:
        return None
    profiler.stop()
    return profiler.parent_trace_id


def save():
    """Stop recording and store the watched profiler's trace, once per
    process; a failure is one line on stderr, the trace then written to a
    file beside the database (zelm.store)."""
    global _saved_in
    with _save_lock:
        profiler = _watched
        if profiler is None or profiler.rust_profiler is None or _saved_in == os.getpid():
            return
        _saved_in = os.getpid()
        _store(profiler)


def _store(profiler):
    profiler.stop()
    # Imported only now: the start-up of a child stays light.
    from zelm import store

    try:
        # Saved even when empty: the traces of its children name it as their parent.
        store.save_trace_in_sqlite(profiler.db_path, profiler.trace_id, timeout=profiler.sqlite_busy_timeout,
                                   msgpack=profiler.build_trace())
    except Exception as error:
        reason = getattr(error, "reason", None) or " ".join(str(error).split()) or type(error).__name__
        written = getattr(error, "fallback_path", None)
        where = f"; the trace was written to {written} instead" if written else ""
        try:
            print(f"zelm: error: cannot store trace {profiler.trace_id} of child process {os.getpid()} in "
                  f"{profiler.db_path}: {reason}{where}", file=sys.stderr, flush=True)
        except Exception:
            pass  # the child closed its stderr


@functools.wraps(_real_exit)
def _exit_after_saving(status):
    save()
    _real_exit(status)


def _take_sigterm():
    """Save at SIGTERM where it would end the process (its default action)
    or where zelm run's handler, inherited by a fork, would stop it as it
    stops the program it runs."""
    try:
        current = signal.getsignal(signal.SIGTERM)
        if current == signal.SIG_DFL or str(getattr(current, "__module__", "")).startswith("zelm."):
            signal.signal(signal.SIGTERM, save_and_end)
            _watch_sigterm()
    except ValueError:
        pass  # not the main thread: signals stay as they are


def _watch_sigterm():
    """Start the thread that saves at a SIGTERM the main thread does not
    handle, unless the program has a wake-up file of its own."""
    global _wakeup
    pid, ours = _wakeup
    if pid == os.getpid():
        # Watching already; the file is put back where it was taken away.
        previous = signal.set_wakeup_fd(ours, warn_on_full_buffer=False)
        if previous not in (-1, ours):
            signal.set_wakeup_fd(previous)
        return
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    previous = signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
    if previous not in (-1, ours):
        signal.set_wakeup_fd(previous)  # the program's: its signals stay as they are
        os.close(read_end)
        os.close(write_end)
        return
    _wakeup = (os.getpid(), write_end)
    threading.Thread(target=_save_when_unhandled, args=(read_end,), name="zelm-sigterm", daemon=True).start()


def _watch_again_in_workers():
    """A forkserver's child clears the wake-up file after the fork, so the
    watch starts again as a multiprocessing worker starts its work."""
    process = sys.modules.get("multiprocessing.process")
    if process is None or getattr(process.BaseProcess._bootstrap, "watches_sigterm", False):
        return
    bootstrap = process.BaseProcess._bootstrap

    @functools.wraps(bootstrap)
    def watching_bootstrap(self, *args, **kwargs):
        _take_sigterm()
        return bootstrap(self, *args, **kwargs)

    watching_bootstrap.watches_sigterm = True
    process.BaseProcess._bootstrap = watching_bootstrap


def _save_when_unhandled(read_end):
    while True:
        woken_by = os.read(read_end, 64)
        if not woken_by:
            return
        if signal.SIGTERM in woken_by:
            time.sleep(_HANDLER_GRACE_SECONDS)
            if _saved_in != os.getpid():
                save()
                # Only the main thread may put the default action back.
                _real_exit(128 + signal.SIGTERM)


def save_and_end(signum, frame=None):
    """The handler of SIGTERM in a traced child: save the trace, then end
    by the signal as the child would have without it."""
    if _saved_in == os.getpid():
        # Already saving on its way out (a pool worker told to stop, then
        # terminated): ending now would cut the save short.
        return
    save()
    signal.signal(signum, signal.SIG_DFL)
    os.kill(os.getpid(), signum)


def _follow_forks_once():
    global _fork_handler_registered
    if not _fork_handler_registered:
        _fork_handler_registered = True
        # After zelm.profiler's own handler, which gave the child its new trace.
        os.register_at_fork(after_in_child=_in_forked_child)


def _in_forked_child():
    profiler = _followed if _followed is not None else _watched
    if profiler is None:
        return
    text = os.environ.get(VARIABLE)
    if text:
        try:
            # The grandchildren this child starts are its children.
            os.environ[VARIABLE] = encode(decode(text)._replace(parent_trace_id=profiler.trace_id))
        except ValueError:
            pass
    watch(profiler, at_exit=False)
