"""Plugin definitions handed to the native profiler.

The native module calls load_plugin_data(config) once per profiler and turns
every definition dict it returns into processors keyed by function name: on
each call or return of a function listed in "co_names" whose file name
contains "path_fragment", it asks "call" (when given) whether to make a
record, restricts itself to the "events" listed (when given), and merges
what "process" returns into the record, whose type is "call_type" or
"return_type". Both callables get (frame, event, arg, context).

They run inside the profile hook on every matching event, so they stay
small and never raise: an exception would cost the record and log a
warning. Odd inputs (missing locals, unexpected types, attributes that
raise) give None values instead.

load_plugin_data runs when a profiler is made, which may be while the
profiler of an enclosing block records: like zelm's other files that run
then, this package is left out of traces by name.

Each plugin also says how its records read in one line (`zelm show`, the
viewer): describe(record_type, data) asks the plugin that makes records of
that type.

Config key "plugins" maps plugin names to booleans; every plugin is on
unless switched off there, e.g. {"plugins": {"log_messages": False}}.

The plugins are test_markers.py, log_messages.py, outbound_http/ and
inbound_http.py, each with its definitions and its describers; frames.py
holds how their callables read a frame, http.py what the two HTTP plugins
share.
"""

import logging
from collections.abc import Mapping
from typing import Callable, Dict, NamedTuple

from zelm.plugins import inbound_http, log_messages, outbound_http, test_markers
from zelm.plugins.test_markers import TEST_OUTCOMES

__all__ = ["load_plugin_data", "describe", "PLUGIN_NAMES", "TEST_OUTCOMES"]

_logger = logging.getLogger("zelm")


class _Plugin(NamedTuple):
    # Takes the config dict, returns the definitions of the plugin's processors.
    definitions: Callable[[Mapping], list]
    # Record type -> the one line that says what a record of it holds, from
    # the record's own data (PluginRecord.data). A type missing here reads
    # as its entries.
    describers: Dict[str, Callable[[dict], str]]


_PLUGINS = {
    "test_markers": _Plugin(test_markers.definitions, test_markers.DESCRIBERS),
    "log_messages": _Plugin(log_messages.definitions, log_messages.DESCRIBERS),
    "outbound_http": _Plugin(outbound_http.definitions, outbound_http.DESCRIBERS),
    "inbound_http": _Plugin(inbound_http.definitions, inbound_http.DESCRIBERS),
}

PLUGIN_NAMES = tuple(_PLUGINS)

_DESCRIBERS = {record_type: describer for plugin in _PLUGINS.values()
               for record_type, describer in plugin.describers.items()}


def describe(record_type, data):
    """The one line a plugin gives its record of ``record_type`` with the
    plugin's own entries ``data``; None for a type no plugin describes."""
    describer = _DESCRIBERS.get(record_type)
    return None if describer is None else describer(data)


def _plugin_switches(config):
    switches = config.get("plugins") if isinstance(config, Mapping) else None
    if switches is None:
        return {}
    if not isinstance(switches, Mapping):
        _logger.warning("config \"plugins\" should map plugin names to booleans, not %r; all plugins stay on", switches)
        return {}
    for name in switches:
        if name not in _PLUGINS:
            _logger.warning("config \"plugins\" names unknown plugin %r; known plugins: %s", name, ", ".join(_PLUGINS))
    return switches


def load_plugin_data(config):
    """Return a new list of the plugin definition dicts enabled by ``config``.

    This must not raise: the native profiler treats any failure here as an
    internal error.
    """
    switches = _plugin_switches(config)
    definitions = []
    for name, plugin in _PLUGINS.items():
        if switches.get(name, True):
            definitions.extend(plugin.definitions(config))
    return definitions
