"""Whose profile hook a thread has while requests take turns on it.

A request's code runs in steps (the WSGI application call and each body
chunk; each step of an ASGI request's coroutine and of the tasks it
starts), and requests served on one thread, as on an event loop, take turns
between steps. A step installs its request's hook (the native profiler's
take_over_thread, which leaves the calls another request has open on the
thread with that one) and the end of the step hands the hook back: to the
request whose step it ran inside, if any (a request begun by another's
code, an inner middleware), else to no one.
"""

import sys
import threading

__all__ = ["this_thread"]

# From 3.12 on, giving a thread the first profile hook of the process or
# taking the last one away makes the interpreter instrument every function
# anew when it next runs: each step would pay for its own code and for the
# event loop's. So between the steps of the requests still open on a
# thread it keeps a hook that does nothing, until the last one ends.
KEEPS_A_HOOK_BETWEEN_STEPS = sys.version_info >= (3, 12)


class ThreadRequests:
    """The requests begun on one thread and not ended yet, and those whose
    code runs on it now."""

    def __init__(self):
        # Innermost last: its hook is the thread's.
        self.running = []
        self._open = 0
        # A WSGI body may be closed, and its request ended, on another thread.
        self._open_lock = threading.Lock()

    def opened(self):
        with self._open_lock:
            self._open += 1

    def closed(self):
        with self._open_lock:
            self._open -= 1

    def make_room(self):
        """Take the hook of the running request away before a profiler
        starts here: starting in its place would unregister it from the
        thread, with the calls it has open."""
        if self.running:
            sys.setprofile(None)

    def resume(self, tracing):
        running = self.running
        running.append(tracing)
        # Last: whatever runs in this method once the hook is on costs an event.
        if len(running) == 1 or running[-2] is not tracing:
            tracing.take_thread()

    def pause(self, tracing):
        running = self.running
        if not running or running[-1] is not tracing:
            return  # resumed once finished: nothing was installed
        running.pop()
        if not running or running[-1] is not tracing:
            self.hand_back()

    def leave(self, tracing):
        """Forget a request that has ended, in whatever step it was."""
        self.running[:] = [running for running in self.running if running is not tracing]

    def hand_back(self):
        """Give the thread's hook to the innermost request still running
        here, else to no one."""
        if self.running:
            self.running[-1].take_thread()
        elif KEEPS_A_HOOK_BETWEEN_STEPS and self._open > 0:
            # Imported by the first request's profiler already.
            from zelm import _zelm

            _zelm.register_noop_profiler()
        else:
            sys.setprofile(None)

    def records_here(self, hook):
        """Whether ``hook`` (the thread's profile hook) is a request's."""
        return bool(self.running) and hook is self.running[-1].profiler.rust_profiler


class _Threads(threading.local):
    def __init__(self):
        self.requests = ThreadRequests()


_threads = _Threads()


def this_thread():
    """The calling thread's ThreadRequests."""
    return _threads.requests
