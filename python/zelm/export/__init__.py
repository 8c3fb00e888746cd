"""The formats of `zelm export` other than the viewer's page (html, made
by zelm.view.export): chrome.py writes Chrome trace events, speedscope.py
speedscope's file, json.py the stored document, and any value of a
trace, as JSON; times.py places a trace's times on their time line.
"""

from zelm.export.chrome import chrome_trace_json, to_chrome_trace
from zelm.export.json import JSON_DICT_KEY, JSON_REPR_KEY, JSON_TUPLE_KEY, document_json, to_json_safe
from zelm.export.speedscope import to_speedscope
from zelm.export.times import NonFiniteTimeError

__all__ = ["to_chrome_trace", "chrome_trace_json", "to_speedscope", "NonFiniteTimeError", "to_json_safe",
           "document_json", "JSON_REPR_KEY", "JSON_TUPLE_KEY", "JSON_DICT_KEY"]
