"""log_messages: one "log_message" per record the logging module handles.

Logger.callHandlers runs once per record that passed the logger's level
and filters, whichever logging call made it, and has the record at hand.
"""

from zelm.plugins.frames import attribute, local, location
from zelm.text import RECORD_LINE, clip

__all__ = ["definitions", "DESCRIBERS"]


def _formatted_message(record):
    try:
        return record.getMessage()
    except Exception:
        # Arguments that do not fit the format: keep the unformatted message.
        return attribute(record, "msg")


def _user_location(frame):
    """file:line of the innermost caller outside the logging module."""
    try:
        logging_file = frame.f_code.co_filename
        caller = frame.f_back
        while caller is not None and caller.f_code.co_filename == logging_file:
            caller = caller.f_back
        if caller is None:
            return None
        # An instruction without a line shows its code's first line, as frame records do.
        line = caller.f_lineno if caller.f_lineno is not None else caller.f_code.co_firstlineno
        return location(caller.f_code.co_filename, line)
    except Exception:
        return None


def _log_message_data(frame, event, arg, context):
    record = local(frame, "record")
    return {
        "level": attribute(record, "levelname"),
        "logger": attribute(record, "name"),
        "message": _formatted_message(record),
        "location": _user_location(frame),
    }


def definitions(config):
    return [
        {
            "co_names": ["callHandlers"],
            "path_fragment": "/logging/__init__.py",
            "call_type": "log_message",
            "return_type": "log_message",
            "events": ["call"],
            "process": _log_message_data,
        }
    ]


def _describe_log_message(data):
    text = f"log {data.get('level')} {data.get('logger')}: {data.get('message')}"
    if data.get("location"):
        text += f"  ({data['location']})"
    return clip(text, RECORD_LINE)


DESCRIBERS = {"log_message": _describe_log_message}
