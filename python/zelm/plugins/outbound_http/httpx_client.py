"""outbound_http's hooks on httpx, sync and async: the sync steps of
Client._send_single_request.

_transport_for_url, called by _send_single_request with the request at
hand, opens the exchange ("outbound_request"); the response's request
setter closes it ("outbound_response"), and an error's request setter, in
the request_context that wraps the transport, reports its failure
("outbound_error").
"""

from zelm.plugins.frames import attribute, caller_name, local
from zelm.plugins.outbound_http.exchange import (definition, error_data, header, masked_url, request_data,
                                                 response_data)

__all__ = ["HttpxHooks"]

CLIENT = "httpx"


class HttpxHooks:
    """The httpx processors of one profiler. httpx's own objects carry all
    that its records need, so they keep no state between events."""

    def definitions(self):
        return [
            # _transport_for_url opens the exchange, the response's request
            # setter closes it, and the error's request setter reports a failure.
            definition("_transport_for_url", "/httpx/_client.py", "outbound_request", "outbound_request",
                       self.in_send_single_request, self.request, ["call"]),
            definition("request", "/httpx/_models.py", "outbound_response", "outbound_response",
                       self.in_send_single_request, self.response, ["call"]),
            definition("request", "/httpx/_exceptions.py", "outbound_error", "outbound_error",
                       self.in_request_context, self.error, ["call"]),
        ]

    def in_send_single_request(self, frame, event, arg, context):
        return caller_name(frame) == "_send_single_request"

    def in_request_context(self, frame, event, arg, context):
        return caller_name(frame) == "request_context"

    def request(self, frame, event, arg, context):
        request = local(frame.f_back, "request")
        headers = attribute(request, "headers")
        return request_data(CLIENT, attribute(request, "method"), _url(request), headers, _body_size(headers))

    def response(self, frame, event, arg, context):
        response = local(frame, "self")
        request = local(frame, "value")
        started = local(frame.f_back, "start")
        return response_data(CLIENT, attribute(request, "method"), _url(request), response,
                             attribute(response, "status_code"), attribute(response, "headers"),
                             started if isinstance(started, float) else None)

    def error(self, frame, event, arg, context):
        request = local(frame, "request")
        # The request's start, if the error came out of _send_single_request.
        started, caller = None, frame.f_back
        for _ in range(4):
            if caller is None:
                break
            if caller.f_code.co_name == "_send_single_request":
                started = local(caller, "start")
                break
            caller = caller.f_back
        return error_data(CLIENT, attribute(request, "method"), _url(request), local(frame, "self"),
                          started if isinstance(started, float) else None)


def _body_size(headers):
    # httpx states the size of a body it holds; a streamed one goes chunked.
    length = header(headers, "content-length")
    if length is not None:
        return int(length) if length.isdigit() else None
    return None if header(headers, "transfer-encoding") is not None else 0


def _url(request):
    url = attribute(request, "url")
    try:
        return masked_url(str(url)) if url is not None else None
    except Exception:
        return None
