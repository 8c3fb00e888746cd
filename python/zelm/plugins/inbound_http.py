"""inbound_http: the requests a web application serves.

zelm.web's middleware calls two marker functions of its own at the start
and at the end of each traced request; their arguments are the record:
  "inbound_request":  method, path, query_string, headers, body_size,
                      traceparent (the W3C header the request arrived
                      with, when well formed), otel_trace_id (the trace id
                      of OpenTelemetry's current span, when the application
                      uses OpenTelemetry)
  "inbound_response": status, headers, body_size, duration, error (the
                      application's exception as outbound_error's "error")
Credentials are masked as in outbound records (headers and query
parameters), and so are the session cookies the application hands out
(Set-Cookie).
"""

from zelm.plugins.frames import local
from zelm.plugins.http import error_text, masked, masked_query, took
from zelm.text import RECORD_LINE, clip

__all__ = ["definitions", "DESCRIBERS"]


def _inbound_header_pairs(pairs):
    """[[name, value], ...] of header pairs, credentials masked."""
    if pairs is None:
        return []
    try:
        return [[name, masked(name, value)] for name, value in pairs]
    except Exception:
        return None


def _marker_arguments(*names):
    def data(frame, event, arg, context):
        record = {name: local(frame, name) for name in names}
        record["headers"] = _inbound_header_pairs(record.get("headers"))
        if "query_string" in record:
            record["query_string"] = masked_query(record["query_string"])
        if "error" in record:
            record["error"] = error_text(record["error"])
        return record
    return data


def definitions(config):
    return [
        {
            "co_names": ["_inbound_request"],
            "path_fragment": "/zelm/web/tracing.py",
            "call_type": "inbound_request",
            "return_type": "inbound_request",
            "events": ["call"],
            "process": _marker_arguments("method", "path", "query_string", "headers", "body_size", "traceparent",
                                         "otel_trace_id"),
        },
        {
            "co_names": ["_inbound_response"],
            "path_fragment": "/zelm/web/tracing.py",
            "call_type": "inbound_response",
            "return_type": "inbound_response",
            "events": ["call"],
            "process": _marker_arguments("status", "headers", "body_size", "duration", "error"),
        },
    ]


def _describe_inbound_request(data):
    query = f"?{data['query_string']}" if data.get("query_string") else ""
    return clip(f"request {data.get('method')} {data.get('path')}{query}", RECORD_LINE)


def _describe_inbound_response(data):
    text = f"response {data.get('status')}, {data.get('body_size')} bytes{took(data.get('duration'))}"
    return clip(text + (f"  error {data['error']}" if data.get("error") else ""), RECORD_LINE)


DESCRIBERS = {"inbound_request": _describe_inbound_request, "inbound_response": _describe_inbound_response}
