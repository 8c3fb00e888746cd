"""`zelm export --format json`, and the values the viewer sends: any
decoded value of a trace, the whole document included, in JSON types, with
what JSON has no form for marked.
"""

import math

from zelm.serialize import values

__all__ = ["to_json_safe", "JSON_REPR_KEY", "JSON_TUPLE_KEY", "JSON_DICT_KEY"]


# Keys of the JSON objects that mark what JSON has no form for.
JSON_REPR_KEY, JSON_TUPLE_KEY, JSON_DICT_KEY = "$repr", "$tuple", "$dict"
_JSON_MARKER_KEYS = frozenset({JSON_REPR_KEY, JSON_TUPLE_KEY, JSON_DICT_KEY})


def to_json_safe(value):
    """``value`` made of JSON types only, with what JSON has no form for
    marked by a one-entry object:

    - {"$repr": TEXT} for a repr the trace holds in place of an object
      (zelm.values.Repr), and for a decoded value JSON cannot hold (bytes,
      a float that is not finite, a timestamp), as its repr;
    - {"$tuple": [ITEMS]} for a tuple;
    - {"$dict": [[KEY, VALUE], ...]} for a dict whose keys were not all
      text (zelm.values.ObjectKeyDict), and for a dict whose one key is
      one of these three, so that it is not taken for a marker.

    Other dicts become objects with their keys as text (int keys as
    json.dumps writes them, other keys as their repr)."""
    value_type = type(value)
    if value_type is str or value is None or value_type is bool or value_type is int:
        return value
    if value_type is values.Repr:
        return {JSON_REPR_KEY: str.__str__(value)}
    if value_type is float:
        return value if math.isfinite(value) else {JSON_REPR_KEY: repr(value)}
    if value_type is list:
        return [to_json_safe(item) for item in value]
    if value_type is tuple:
        return {JSON_TUPLE_KEY: [to_json_safe(item) for item in value]}
    if value_type is values.ObjectKeyDict or (value_type is dict and len(value) == 1
                                              and next(iter(value)) in _JSON_MARKER_KEYS):
        return {JSON_DICT_KEY: [[to_json_safe(key), to_json_safe(item)] for key, item in value.items()]}
    if isinstance(value, dict):
        return {_json_key(key): to_json_safe(item) for key, item in value.items()}
    # msgpack's ExtType is a tuple too, but no array.
    return {JSON_REPR_KEY: repr(value)}


def _json_key(key):
    if isinstance(key, str):
        return key
    if isinstance(key, (int, float, bool)) or key is None:
        return str(key)  # what json.dumps does with such keys
    return repr(key)
