"""What a traced program tells the interpreters it starts: the environment
variable's value, JSON of the database, the parent's trace id and the
recording config."""

import json
from typing import NamedTuple

__all__ = ["VARIABLE", "ChildSettings", "encode", "decode"]

VARIABLE = "ZELM_TRACE_CHILDREN"


class ChildSettings(NamedTuple):
    db_path: str
    parent_trace_id: str
    config: dict


def encode(settings):
    return json.dumps({"db": settings.db_path, "parent": settings.parent_trace_id, "config": settings.config},
                      separators=(",", ":"))


def decode(text):
    """The settings in ``text``; ValueError saying what is wrong when it is
    not a value encode() made."""
    try:
        value = json.loads(text)
    except ValueError:
        raise ValueError("not JSON") from None
    if not isinstance(value, dict):
        raise ValueError("not a JSON object")
    db_path, parent, config = value.get("db"), value.get("parent"), value.get("config")
    if not isinstance(db_path, str) or not db_path:
        raise ValueError('no database path "db"')
    if not isinstance(parent, str) or not parent:
        raise ValueError('no parent trace id "parent"')
    if not isinstance(config, dict):
        raise ValueError('no recording config "config"')
    return ChildSettings(db_path, parent, config)
