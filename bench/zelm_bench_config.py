"""pytest plugin of the benchmark (`-p zelm_bench_config`): adds the config
entries in the environment variable ZELM_BENCH_CONFIG (a JSON object) to the
profiler that `pytest --zelm` makes, for settings the zelm plugin has no
command-line option for."""
import json
import os

from zelm import pytest_plugin

_EXTRA = json.loads(os.environ.get("ZELM_BENCH_CONFIG", "{}"))
_Profiler = pytest_plugin.Profiler


class _ConfiguredProfiler(_Profiler):
    def __init__(self, config=None, **kwargs):
        super().__init__(config={**(config or {}), **_EXTRA}, **kwargs)


pytest_plugin.Profiler = _ConfiguredProfiler
