"""The host profiler object that drives the native profiler.

A Profiler carries what the native module reads when it is registered: the
config dict, the database path, the one-trace-per-test flag, the trace id and
the source label. start() registers it with zelm._zelm, which records every
Python call and return on the calling thread (and, with config "threading",
on threads started afterwards) and leaves the native profiler in the
attribute "rust_profiler"; build_trace() and save() then take the recorded
trace from there.

Three config keys are the host's own: "value_limits" (a dict of some of
max_text, max_items, max_depth, max_value_bytes) sets how much of each value
the serializer keeps in the mode "lightweight_repr" selects, missing entries
keeping that mode's defaults (zelm.serialize), and "repr" ("safe", the
default, or "full") how it shows objects; the profiler applies both,
process-wide, when it starts and puts the previous ones back when it stops;
so it does with "scrub_keys", the names whose values are masked as
credentials (a list of str; None or missing for the default names, an
empty list for none; zelm.serialize.scrub).
"trace_budget_bytes" (an int, or None for no budget) is read by the native
profiler: a trace stops taking frame records once they fill that many bytes.

A process forked while a profiler records goes on with a trace of its own:
in the child, every started profiler takes a new trace id and keeps the old
one as its parent_trace_id, and the one recording on the forking thread
starts a new native profiler, so the child's trace holds only what the
child did from the fork on (the parent's records stay with the parent).
"""

import functools
import importlib
import os
import sys
import threading
import weakref

from zelm.ids import new_trace_id
from zelm.store import location

__all__ = ["Profiler", "DEFAULT_CONFIG", "DEFAULT_DB_PATH", "DEFAULT_SOURCE", "DEFAULT_SQLITE_BUSY_TIMEOUT"]

DEFAULT_CONFIG = {"threading": True}
DEFAULT_DB_PATH = location.DEFAULT_DB_PATH
DEFAULT_SOURCE = "python"
# Seconds a save waits for another writer of the database (config
# "sqlite_busy_timeout"); the native profiler falls back to the same.
DEFAULT_SQLITE_BUSY_TIMEOUT = 60


def _native_module():
    # Imported on first use so that the pure-Python parts of zelm work
    # without the compiled module.
    return importlib.import_module("zelm._zelm")


# Marks the thread inside Profiler.save(): a save it makes is stored before
# save() returns, even into a database whose saves go through the background
# saver (zelm.db).
_saving_in_place = threading.local()


def saving_in_place():
    """Whether the calling thread is inside Profiler.save()."""
    return getattr(_saving_in_place, "active", False)


class Profiler:
    """Configuration and handle of one profiling session.

    ``config`` entries override DEFAULT_CONFIG. ``db_path``, a SQLite file's
    path or a PostgreSQL URL, defaults to ZELM_DB's database, else to
    .zelm/traces.sqlite3 under the current directory at construction. A new
    "trc_" trace id is made unless one is given.

    Calling the profiler on a function decorates it, so that every call runs
    with the profiler started and stops it afterwards; the profiler is also a
    context manager doing the same around a block. Entries nested in one
    another (a decorated function calling itself) share the outermost one's
    recording. Neither saves the trace: call save() or build_trace() when
    done.
    """

    def __init__(self, config=None, db_path=None, one_trace_per_test=False, source=DEFAULT_SOURCE, trace_id=None,
                 parent_trace_id=None):
        self.config = {**DEFAULT_CONFIG, **(config or {})}
        budget = self.config.get("trace_budget_bytes")
        if budget is not None and (type(budget) is not int or budget < 1):
            raise ValueError(f"config trace_budget_bytes must be None or a whole number of bytes of at least 1, "
                             f"not {budget!r}")
        # Checked now, so that a bad entry fails here rather than at start().
        self._value_limits()
        self._repr_mode()
        self._scrub_keys()
        self.db_path = location.resolve(db_path)
        self.one_trace_per_test = bool(one_trace_per_test)
        self.source = source
        self.trace_id = new_trace_id() if trace_id is None else trace_id
        # The trace of the process this one is a child of, stored with the trace.
        self.parent_trace_id = parent_trace_id
        # Set by zelm._zelm.register_profiler to the native profiler.
        self.rust_profiler = None
        self._active_entries = 0

    def start(self):
        """Start recording on the calling thread (and on threads started
        later, when config "threading" is true)."""
        with _settings_lock:
            previous = _apply_settings(self._settings())
            try:
                _native_module().register_profiler(self)
            except BaseException:
                _apply_settings(previous)
                raise
            global _settings_before_first
            if not _settings_holders:
                _settings_before_first = previous
            if self not in _settings_holders:
                _settings_holders.append(self)
        _started_profilers.add(self)

    def stop(self):
        """Stop recording on the calling thread and stop new threads from
        joining this profiler. Threads that already joined keep recording
        until they install another profile function."""
        _native_module().register_noop_profiler()
        if self.rust_profiler is not None and threading.getprofile() == self.rust_profiler.register_threading_profiler:
            threading.setprofile(None)
        with _settings_lock:
            if self not in _settings_holders:
                return
            _settings_holders.remove(self)
            # Profilers overlapping in time may stop in any order (requests
            # served side by side): the settings go back to the latest one
            # still recording, never to those from before it, whose scrub
            # keys could leave its values unmasked.
            _apply_settings(_settings_holders[-1]._settings() if _settings_holders else _settings_before_first)

    def _settings(self):
        """The serializer's process-wide settings this profiler records with:
        (limits mode, limits, repr mode, scrub keys)."""
        return (self._limits_mode(), self._value_limits(), self._repr_mode(), self._scrub_keys())

    @property
    def sqlite_busy_timeout(self):
        """Seconds a save of this profiler's trace waits for the database."""
        return self.config.get("sqlite_busy_timeout", DEFAULT_SQLITE_BUSY_TIMEOUT)

    @property
    def entered(self):
        """Whether a with block or a decorated call of this profiler is running."""
        return self._active_entries > 0

    def _limits_mode(self):
        return "lightweight" if self.config.get("lightweight_repr") else "full"

    def _repr_mode(self):
        # Imported here, as below.
        from zelm.serialize import checked_repr_mode

        try:
            return checked_repr_mode(self.config.get("repr", "safe"))
        except ValueError:
            raise ValueError(f"config repr must be 'safe' or 'full', not {self.config['repr']!r}") from None

    def _scrub_keys(self):
        # Imported here, as below.
        from zelm.serialize import DEFAULT_SCRUB_KEYS, checked_scrub_keys

        keys = self.config.get("scrub_keys")
        try:
            return DEFAULT_SCRUB_KEYS if keys is None else checked_scrub_keys(keys)
        except ValueError as error:
            raise ValueError(f"config scrub_keys: {error}") from None

    def _value_limits(self):
        # Imported here: the pytest plugin imports this module in every run.
        from zelm.serialize import limits_from_config

        return limits_from_config(self.config.get("value_limits"), lightweight=self._limits_mode() == "lightweight")

    def build_trace(self):
        """Return the trace document recorded since the last build or save
        as MessagePack bytes."""
        return self._started_native_profiler().build_trace()

    def save(self):
        """Store the trace recorded since the last build or save in the
        database at ``db_path``; it is there when this returns."""
        _saving_in_place.active = True
        try:
            self._started_native_profiler().save_request_in_db()
        finally:
            _saving_in_place.active = False

    def __enter__(self):
        # Nested entries (a decorated function calling itself) keep the one
        # running native profiler: registering again would drop its records.
        if self._active_entries == 0:
            self.start()
        self._active_entries += 1
        return self

    def __exit__(self, *exc_info):
        self._active_entries -= 1
        if self._active_entries == 0:
            self.stop()

    def __call__(self, function):
        """Decorate ``function`` so that it runs under this profiler."""

        @functools.wraps(function)
        def profiled(*args, **kwargs):
            with self:
                return function(*args, **kwargs)

        return profiled

    def _started_native_profiler(self):
        if self.rust_profiler is None:
            raise RuntimeError("the profiler has not been started; call start() first")
        return self.rust_profiler


# Every profiler started in this process, for the fork handler below.
_started_profilers = weakref.WeakSet()

# The serializer's limits, repr mode and scrub keys are one set per process:
# the profilers started and not yet stopped, oldest first (the latest sets
# them), and the settings from before the first of them.
_settings_lock = threading.Lock()
_settings_holders = []
_settings_before_first = None


def _apply_settings(settings):
    """Make ``settings`` (a Profiler._settings() value, or what this returns)
    the serializer's; what they were before, in a form this takes back."""
    from zelm.serialize import set_limits, set_repr_mode, set_scrub_keys

    mode, limits, repr_mode, scrub_keys = settings
    if mode is None:
        previous_limits = set_limits(*limits)
    else:
        previous_limits = set_limits(**{mode: limits})
    return (None, previous_limits, set_repr_mode(repr_mode), set_scrub_keys(scrub_keys))


def _continue_in_child():
    """In a forked child: each started profiler goes on with a new trace,
    the parent's trace as its parent. The one recording on this thread
    (the child's only thread) gets a new native profiler, which drops the
    parent's records; the others record nothing more here and let go of
    theirs, so that a save in the child stores nothing of the parent."""
    for profiler in list(_started_profilers):
        parent_native = profiler.rust_profiler
        if parent_native is None:
            continue
        profiler.parent_trace_id, profiler.trace_id = profiler.trace_id, new_trace_id()
        if sys.getprofile() is parent_native:
            try:
                _native_module().register_profiler(profiler)
                continue
            except Exception:
                # The child runs on untraced rather than fail in the fork.
                _native_module().register_noop_profiler()
        profiler.rust_profiler = None
        if threading.getprofile() == parent_native.register_threading_profiler:
            threading.setprofile(None)


os.register_at_fork(after_in_child=_continue_in_child)
