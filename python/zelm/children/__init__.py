"""Traces of the processes a traced program starts.

Under `zelm run` (unless --no-trace-children) every child process of the
program is traced into the same database, each in a trace of its own whose
parent_trace_id names the trace of the process that started it:

- a forked child (os.fork, multiprocessing's fork and forkserver workers)
  goes on with a new trace from the fork on (zelm.profiler does that for
  every profiler), and here learns how its trace is saved when it ends;
- a new interpreter (python run by subprocess, multiprocessing's spawn
  workers and forkserver) starts recording as it starts: zelm run sets the
  environment variable VARIABLE, which the start-up file installed beside
  the package (zelm_child_processes.pth) hands to startup.start() in every
  interpreter of the environment.

A child saves its trace when it ends: at exit, at os._exit (multiprocessing's
forked workers end with it) and at SIGTERM (Pool.terminate() ends its
workers with it); see ending.py. A child that ran no recorded code
saves an empty trace all the same: its children's traces name it.
"""

import os

from zelm.children import ending
from zelm.children.settings import VARIABLE, ChildSettings, encode
from zelm.store import location

__all__ = ["VARIABLE", "trace_children", "take_over_startup_profiler", "save_and_end"]

save_and_end = ending.save_and_end


def trace_children(profiler, enabled=True):
    """Trace the child processes of the program ``profiler`` records (zelm
    run's, on the main thread), or with ``enabled`` false make sure none
    is traced: sets or removes VARIABLE in os.environ. Returns a function
    that puts things back as they were."""
    before = os.environ.get(VARIABLE)
    if enabled:
        # The database's whole URL: the text of a PostgreSQL one hides its password.
        os.environ[VARIABLE] = encode(ChildSettings(location.connection_url(profiler.db_path), profiler.trace_id,
                                                    profiler.config))
        ending.follow_forks(profiler)
    else:
        os.environ.pop(VARIABLE, None)

    def restore():
        ending.follow_forks(None)
        if before is None:
            os.environ.pop(VARIABLE, None)
        else:
            os.environ[VARIABLE] = before

    return restore


def take_over_startup_profiler():
    """For `zelm run` run as a child of a traced program: stop the profiler
    this interpreter started at start-up, without saving its trace, and
    return its parent trace id (None when there is none), for zelm run's
    own trace to take over."""
    return ending.forget()
