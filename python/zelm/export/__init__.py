"""The formats of `zelm export` other than the viewer's page (html, made
by zelm.view.export): chrome.py writes Chrome trace events, json.py the
decoded document, and any value of a trace, as JSON.
"""

from zelm.export.chrome import NonFiniteTimeError, to_chrome_trace
from zelm.export.json import JSON_DICT_KEY, JSON_REPR_KEY, JSON_TUPLE_KEY, to_json_safe

__all__ = ["to_chrome_trace", "NonFiniteTimeError", "to_json_safe", "JSON_REPR_KEY", "JSON_TUPLE_KEY", "JSON_DICT_KEY"]
