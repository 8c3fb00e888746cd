"""Which recorded requests' traces are stored: the keep rules, decided once
the response is complete, when its status, error and duration are known."""

import datetime
import fnmatch
import re
from collections.abc import Mapping

__all__ = ["Keep", "keep_rules"]


class Keep:
    """Store the trace of a recorded request only when one of the rules
    given holds (any of them; the traces of the others are discarded,
    never written):

    ``errors=True``: an exception was raised through the middleware, or the
    status is 5xx; ``slower_than``: the request took longer than this many
    seconds (a number or a datetime.timedelta); ``sample``: this share of
    requests, 0 to 1, chosen at random; ``paths``: the path matches one of
    these patterns, each a glob text ("/api/*"; "*" also matches "/", the
    whole path must match, the query is not part of it) or a compiled
    regular expression (searched in the path: anchor it with ^ and $).

        zelm.web.WSGIMiddleware(app, keep=zelm.web.Keep(errors=True, slower_than=0.5, sample=0.01))

    A mapping of the same names (Django's settings) reads as Keep(**mapping).
    """

    __slots__ = ("errors", "slower_than", "sample", "paths", "_patterns")

    def __init__(self, *, errors=False, slower_than=None, sample=None, paths=None):
        if not isinstance(errors, bool):
            raise ValueError(f"keep errors must be True or False, not {errors!r}")
        self.errors = errors
        self.slower_than = _seconds_or_none(slower_than)
        self.sample = _share_or_none(sample)
        self.paths, self._patterns = _path_patterns(paths)
        if not errors and self.slower_than is None and self.sample is None and not self.paths:
            raise ValueError("Keep needs at least one rule (errors, slower_than, sample or paths); "
                             "without the keep option every trace is kept")

    def keeps(self, path, status, error, duration, draw):
        """Whether the trace of this request is stored; ``draw()`` gives a
        random number in [0, 1) for the sample rule."""
        if self.errors and (error is not None or (type(status) is int and status >= 500)):
            return True
        if self.slower_than is not None and duration is not None and duration > self.slower_than:
            return True
        if self._patterns and any(pattern.search(path) for pattern in self._patterns):
            return True
        return self.sample is not None and draw() < self.sample

    def __repr__(self):
        rules = [f"{name}={getattr(self, name)!r}" for name in ("errors", "slower_than", "sample", "paths")
                 if getattr(self, name) not in (None, False, ())]
        return f"Keep({', '.join(rules)})"


def keep_rules(option):
    """The Keep of a middleware's ``keep`` option: a Keep, a mapping of its
    arguments, or None (keep every trace: returns None)."""
    if option is None or isinstance(option, Keep):
        return option
    if isinstance(option, Mapping):
        unknown = set(option) - {"errors", "slower_than", "sample", "paths"}
        if unknown:
            raise ValueError(f"keep has no rule {', '.join(sorted(map(repr, unknown)))}: "
                             "the rules are errors, slower_than, sample and paths")
        return Keep(**option)
    raise ValueError(f"keep must be a zelm.web.Keep, a mapping of its rules or None, not {option!r}")


def _seconds_or_none(value):
    if isinstance(value, datetime.timedelta):
        value = value.total_seconds()
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < float("inf"):
        raise ValueError(f"keep slower_than must be a number of seconds (or a timedelta) of at least 0, not {value!r}")
    return float(value)


def _share_or_none(value):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value <= 1:
        raise ValueError(f"keep sample must be a share between 0 and 1, not {value!r}")
    return float(value)


def _path_patterns(paths):
    """(the patterns as given, as a tuple; their compiled expressions)."""
    if paths is None:
        return (), ()
    if isinstance(paths, (str, bytes, re.Pattern)) or not hasattr(paths, "__iter__"):
        raise ValueError(f"keep paths must be a list of glob texts or compiled regular expressions, not {paths!r}")
    paths = tuple(paths)
    patterns = []
    for pattern in paths:
        if isinstance(pattern, str):
            patterns.append(re.compile(r"\A" + fnmatch.translate(pattern)))
        elif isinstance(pattern, re.Pattern) and isinstance(pattern.pattern, str):
            patterns.append(pattern)
        else:
            raise ValueError(f"keep paths: {pattern!r} is neither a glob text nor a compiled regular expression")
    return paths, tuple(patterns)
