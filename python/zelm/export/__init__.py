"""The formats of `zelm export` other than the viewer's page (html, made
by zelm.view.export): Chrome trace events and the document as JSON.
"""

from zelm.export.chrome import JSON_DICT_KEY, JSON_REPR_KEY, JSON_TUPLE_KEY, to_chrome_trace, to_json_safe

__all__ = ["to_chrome_trace", "to_json_safe", "JSON_REPR_KEY", "JSON_TUPLE_KEY", "JSON_DICT_KEY"]
