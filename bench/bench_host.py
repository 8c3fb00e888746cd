"""What the benchmarks share: a host object and a profiled run of a callable."""
import contextlib
import threading

from zelm import _zelm


class Host:
    """The smallest host object register_profiler accepts; nothing is saved."""

    def __init__(self, config=None, source="bench"):
        self.config = {"threading": True} if config is None else config
        self.db_path = "unused.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_01KC0000000000000000000000"
        self.source = source

    def __call__(self):
        pass


@contextlib.contextmanager
def recording(config=None, source="bench"):
    """Records the block under a new profiler; yields the host object, whose
    "rust_profiler" builds the trace afterwards."""
    host = Host(config, source)
    _zelm.register_profiler(host)
    try:
        yield host
    finally:
        _zelm.register_noop_profiler()
        threading.setprofile(None)


def traced(run, config=None, source="bench"):
    """Runs `run` under a new profiler and returns the trace document."""
    with recording(config, source) as host:
        run()
    return host.rust_profiler.build_trace()
