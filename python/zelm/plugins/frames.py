"""What the plugins' callables read the frame they are given with, and the
objects in it: they run inside the profile hook, where an exception would
cost the record, so every read here gives None instead of raising.
"""

import os

__all__ = ["attribute", "local", "caller_name", "location", "bounded", "no_data"]


def attribute(obj, name):
    try:
        return getattr(obj, name, None)
    except Exception:
        return None


def local(frame, name):
    try:
        return frame.f_locals.get(name)
    except Exception:
        return None


def caller_name(frame):
    try:
        return frame.f_back.f_code.co_name
    except Exception:
        return None


def location(filename, line):
    """"file:line", the file relative to the working directory when inside
    it, as frame records show their path."""
    try:
        directory = os.path.join(os.getcwd(), "")
    except OSError:
        directory = None
    if directory and filename.startswith(directory):
        filename = filename[len(directory):]
    return f"{filename}:{line}"


def bounded(text, limit):
    if not isinstance(text, str):
        return None
    return text if len(text) <= limit else text[: limit - 3] + "..."


def no_data(frame, event, arg, context):
    # For processors whose "call" only takes note and never makes a record.
    return {}
