"""outbound_http's hooks on http.client, and so on urllib.request, which
sends through it.

HTTPConnection.request opens the exchange ("outbound_request"), or fails it
when it is left by an exception; getresponse closes it ("outbound_response")
or fails it. A connection error that the library handles (a refused address
before the next one, a server that hung up) is in reach only while it is
handled: the close that follows notes it for the failure record. urllib3
drives http.client itself and records its own requests, so these hooks
stand back when their caller is urllib3.
"""

import sys

from zelm.plugins.frames import attribute, caller_name, local, no_data
from zelm.plugins.outbound_http.exchange import (definition, error_data, masked_url, origin, request_body_size,
                                                 request_data, response_data, unwinding)

__all__ = ["HttpClientHooks"]

CLIENT = "http.client"


def _request_url(connection, url):
    """The absolute URL of a request line's target sent on an http.client connection."""
    if not isinstance(url, str):
        return None
    if "://" in url:
        # The absolute form, as sent to a proxy.
        return masked_url(url)
    scheme = "https" if attribute(connection, "default_port") == 443 else "http"
    return masked_url(origin(scheme, attribute(connection, "host"), attribute(connection, "port")) + url)


class HttpClientHooks:
    """The http.client processors of one profiler; ``state`` is the
    HttpState that outbound_http's hooks on every client share."""

    def __init__(self, state):
        self.state = state

    def definitions(self):
        return [
            # The request on call; its failure when it is left by an exception.
            definition("request", "/http/client.py", "outbound_request", "outbound_error",
                       self.request_call, self.request),
            definition("getresponse", "/http/client.py", "outbound_response", "outbound_response",
                       self.getresponse_succeeded, self.response, ["return"]),
            definition("getresponse", "/http/client.py", "outbound_error", "outbound_error",
                       self.getresponse_failed, self.response),
            definition("close", "/socket.py", "outbound_error", "outbound_error", self.note_handled_error, no_data,
                       ["call"]),
            definition("close", "/http/client.py", "outbound_error", "outbound_error", self.note_handled_error,
                       no_data, ["call"]),
        ]

    def called_by_program(self, frame, event, arg, context):
        try:
            caller = frame.f_back.f_code.co_filename
        except Exception:
            return True
        # urllib3 drives http.client itself; its own hooks record the request.
        return "/urllib3/" not in caller

    def request_call(self, frame, event, arg, context):
        if not self.called_by_program(frame, event, arg, context):
            return False
        return event == "call" or unwinding(frame)

    def request(self, frame, event, arg, context):
        connection = local(frame, "self")
        method = local(frame, "method")
        url = _request_url(connection, local(frame, "url"))
        if event == "call":
            self.state.take("error")
            self.state.start(connection, method, url)
            return request_data(CLIENT, method, url, local(frame, "headers"), request_body_size(local(frame, "body")))
        _, _, started = self.state.finish(connection)
        # An error noted while connecting explains the failure only if no
        # connection was made (a later address may have connected).
        error = self.state.take("error") if attribute(connection, "sock") is None else None
        return error_data(CLIENT, method, url, error, started)

    def response(self, frame, event, arg, context):
        method, url, started = self.state.finish(local(frame, "self"))
        if arg is None:
            # getresponse never returns None: it was left by an exception.
            return error_data(CLIENT, method, url, self.state.take("error"), started)
        return response_data(CLIENT, method, url, arg, attribute(arg, "status"), attribute(arg, "msg"), started)

    def getresponse_succeeded(self, frame, event, arg, context):
        return arg is not None and self.called_by_program(frame, event, arg, context)

    def getresponse_failed(self, frame, event, arg, context):
        if event == "call":
            # Only an error noted while this getresponse runs can be its own.
            self.state.take("error")
            return False
        return arg is None and self.called_by_program(frame, event, arg, context)

    def note_handled_error(self, frame, event, arg, context):
        # socket.create_connection closes the socket of each address it
        # failed to connect to, and getresponse closes the connection when
        # the server hung up, both while handling the error: the only moment
        # it is in reach. The request's failure record takes it later (a
        # later address may still connect).
        if caller_name(frame) in ("create_connection", "getresponse"):
            error = sys.exc_info()[1]
            if error is not None:
                self.state.local.error = error
        return False
