"""The recording options that `zelm run` and `pytest --zelm` share.

Both commands take the same options (pytest's with the prefix "zelm-"):
what to record (--include, --ignore, --include-package), how values are
shown (--repr) and how much of each (--lightweight-repr, --max-text,
--max-items, --max-depth, --max-value-bytes), which values are masked as
credentials (--scrub-keys, --no-scrub) and how large a trace may grow
(--trace-budget). This
module defines them once, parses sizes such as "64MiB", and turns the
parsed values into the profiler's config dict.

Pure Python without the compiled module, msgpack or sqlite3: the pytest
plugin imports it in every pytest run. Like the rest of zelm, its frames are
never recorded.
"""

import argparse
import importlib.util
import os
import re

__all__ = ["DEFAULT_TRACE_BUDGET_BYTES", "parse_size", "positive_int", "add_recording_options", "recording_config", "package_paths"]

# Bytes of records one trace may hold before the profiler cuts it.
DEFAULT_TRACE_BUDGET_BYTES = 256 * 1024 * 1024

_SIZE = re.compile(r"(\d+)\s*(?:([kmgt])(ib|b)?|b)?", re.IGNORECASE)
_UNLIMITED = ("none", "unlimited")


def parse_size(text):
    """Bytes given as "1000", "1000B", "64K", "64KiB" (powers of 1024) or
    "64KB" (powers of 1000), with K, M, G or T. "0", "none" and "unlimited"
    give None: no limit. Raises ValueError for anything else."""
    stripped = text.strip()
    if stripped.lower() in _UNLIMITED:
        return None
    match = _SIZE.fullmatch(stripped)
    if match is None:
        raise ValueError(f"expected a size such as 64MiB, 500KB, 1000000 or none, not {text!r}")
    number, prefix, suffix = int(match.group(1)), match.group(2), match.group(3)
    if prefix:
        base = 1000 if suffix and suffix.lower() == "b" else 1024
        number *= base ** ("kmgt".index(prefix.lower()) + 1)
    return number or None


def _size(text):
    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _cap(text):
    # 0 stands for "no cap", None being "not given".
    size = _size(text)
    return 0 if size is None else size


def _names(text):
    """A comma-separated list of names; empty entries are dropped."""
    return [name.strip() for name in text.split(",") if name.strip()]


def positive_int(text):
    """argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return value


_BUDGET_HELP = (
    "stop adding records to a trace once it holds SIZE bytes of them (such as 64MiB; "
    f"0 or none: no budget; default {DEFAULT_TRACE_BUDGET_BYTES // (1024 * 1024)}MiB); "
    "the trace then ends with a record saying how much was left out"
)

# (option name, argparse keywords); the value limits default to the mode's own.
_OPTIONS = [
    ("include", dict(metavar="FRAGMENT", action="append", default=[],
                     help="record frames whose file path contains FRAGMENT even where they would be left out "
                          "(repeatable)")),
    ("ignore", dict(metavar="FRAGMENT", action="append", default=[],
                    help="leave out frames whose file path contains FRAGMENT (repeatable)")),
    ("include-package", dict(metavar="NAME", action="append", default=[],
                             help="record the installed package NAME (its directory), which is left out by "
                                  "default (repeatable)")),
    ("repr", dict(choices=("safe", "full"), default="safe",
                  help="how objects are shown: 'safe' (default) runs none of the program's code to show a value "
                       "(objects whose __repr__ is Python code are shown as <module.Class object at 0x…>, "
                       "dataclasses, attrs classes, named tuples and enums from their fields); 'full' calls every "
                       "__repr__, which may run queries, consume iterators or start coroutines")),
    ("lightweight-repr", dict(action="store_true", default=False,
                              help="store short summaries of arguments, locals and return values")),
    ("max-text", dict(metavar="N", type=positive_int, default=None,
                      help="characters of a text (bytes of a bytes) kept per value "
                           "(default 4096, or 100 with --lightweight-repr)")),
    ("max-items", dict(metavar="N", type=positive_int, default=None,
                       help="items of a list, tuple, dict or set kept (default 256, or 10 with --lightweight-repr)")),
    ("max-depth", dict(metavar="N", type=positive_int, default=None,
                       help="levels of nested containers kept, at most 100 (default 20, or 3 with --lightweight-repr)")),
    ("max-value-bytes", dict(metavar="SIZE", type=_cap, default=None,
                             help="about how many encoded bytes one value may take (default 64KiB; "
                                  "none with --lightweight-repr; 0 or none: no cap)")),
    ("scrub-keys", dict(metavar="NAMES", type=_names, default=None,
                        help="mask the values under keys (dict keys, fields, locals, headers, URL query parameters) "
                             "that contain one of these comma-separated names, ignoring case, '_' and '-' "
                             "(default: password,passwd,secret,token,api_key,apikey,authorization,cookie,session,"
                             "csrf,private_key; an empty list masks nothing)")),
    ("no-scrub", dict(action="store_true", default=False,
                      help="mask no values, credentials included (as --scrub-keys '')")),
    ("trace-budget", dict(metavar="SIZE", type=_size, default=DEFAULT_TRACE_BUDGET_BYTES, help=_BUDGET_HELP)),
]

_LIMIT_OPTIONS = {"max_text": "max-text", "max_items": "max-items", "max_depth": "max-depth",
                  "max_value_bytes": "max-value-bytes"}


def add_recording_options(add_option, prefix=""):
    """Define the options with ``add_option`` (argparse's add_argument or
    pytest's addoption), each named "--" + prefix + name."""
    for name, keywords in _OPTIONS:
        add_option(f"--{prefix}{name}", dest=f"{prefix}{name}".replace("-", "_"), **keywords)


def recording_config(get_option, prefix=""):
    """The config entries the parsed options ask for; ``get_option(dest)``
    returns an option's value. Raises ValueError for a package that is not
    installed or limits the serializer refuses."""

    def get(name):
        return get_option(f"{prefix}{name}".replace("-", "_"))

    include = list(get("include"))
    for package in get("include-package"):
        include.extend(package_paths(package))
    limits = {key: get(option) for key, option in _LIMIT_OPTIONS.items() if get(option) is not None}
    if limits.get("max_value_bytes") == 0:
        limits["max_value_bytes"] = None
    scrub_keys = [] if get("no-scrub") else get("scrub-keys")
    # Checked now, for a usage error before anything runs (imported here:
    # the serializer needs msgpack).
    from zelm.serialize import checked_scrub_keys, limits_from_config

    limits_from_config(limits, lightweight=bool(get("lightweight-repr")))
    if scrub_keys is not None:
        checked_scrub_keys(scrub_keys)
    return {
        "repr": get("repr"),
        "lightweight_repr": bool(get("lightweight-repr")),
        "filters": {"include_frames": include, "ignore_frames": list(get("ignore"))},
        "value_limits": limits,
        "scrub_keys": scrub_keys,
        "trace_budget_bytes": get("trace-budget"),
    }


def package_paths(name):
    """The path fragments that select the files of the installed package
    (or module) ``name``: its directories, or its one file. The package is
    located without being run (a dotted name imports its parent packages).
    Raises ValueError when it cannot be found or has no files."""
    try:
        found = importlib.util.find_spec(name)
    except (ImportError, ValueError) as error:
        raise ValueError(f"cannot find the package {name!r}: {error}") from None
    if found is None:
        raise ValueError(f"no installed package {name!r}")
    if found.submodule_search_locations:
        return [os.path.join(os.path.abspath(path), "") for path in found.submodule_search_locations]
    if found.origin and os.path.isfile(found.origin):
        return [os.path.abspath(found.origin)]
    raise ValueError(f"the package {name!r} has no Python files to record ({found.origin or 'no origin'})")
