"""outbound_http's hooks on urllib3 1.x and 2.x, and so on requests, which
sends through it.

HTTPConnectionPool._make_request makes one request and reads the head of its
response: its call and return are the exchange's "outbound_request" and
"outbound_response". A request left by an exception reaches Retry.increment
next, with the error in hand: that call is the "outbound_error".
"""

from zelm.plugins.frames import attribute, local
from zelm.plugins.outbound_http.exchange import (definition, error_data, masked_url, origin, request_body_size,
                                                 request_data, response_data)

__all__ = ["Urllib3Hooks"]

CLIENT = "urllib3"


def _pool_url(pool, url):
    """The absolute URL of a request target sent through a urllib3 pool."""
    if not isinstance(url, str) or "://" in url or pool is None:
        return masked_url(url)
    return masked_url(origin(attribute(pool, "scheme"), attribute(pool, "host"), attribute(pool, "port")) + url)


class Urllib3Hooks:
    """The urllib3 processors of one profiler; ``state`` is the HttpState
    that outbound_http's hooks on every client share."""

    def __init__(self, state):
        self.state = state

    def definitions(self):
        return [
            # One request and response per _make_request; failures reach Retry.increment.
            definition("_make_request", "/urllib3/connectionpool.py", "outbound_request", "outbound_response",
                       self.exchange_call, self.exchange),
            definition("increment", "/urllib3/util/retry.py", "outbound_error", "outbound_error",
                       self.retry_after_error, self.error, ["call"]),
        ]

    def exchange_call(self, frame, event, arg, context):
        if event == "call":
            self.state.take("failed")
            return True
        if arg is None:
            # Left by an exception; urlopen hands it to Retry.increment next.
            self.state.local.failed = (local(frame, "method"), _frame_url(frame),
                                       self.state.finish(local(frame, "conn"))[2])
            return False
        return True

    def exchange(self, frame, event, arg, context):
        method = local(frame, "method")
        url = _frame_url(frame)
        connection = local(frame, "conn")
        if event == "call":
            # urllib3 1.x passes body and headers on in a dict of keywords.
            keywords = local(frame, "httplib_request_kw")
            if isinstance(keywords, dict):
                body, headers = keywords.get("body"), keywords.get("headers")
            else:
                body, headers = local(frame, "body"), local(frame, "headers")
            self.state.start(connection, method, url)
            return request_data(CLIENT, method, url, headers, request_body_size(body, "utf-8"))
        _, _, started = self.state.finish(connection)
        return response_data(CLIENT, method, url, arg, attribute(arg, "status"), attribute(arg, "headers"), started)

    def retry_after_error(self, frame, event, arg, context):
        return local(frame, "error") is not None

    def error(self, frame, event, arg, context):
        failed = self.state.take("failed") or (None, None, None)
        url = _pool_url(local(frame, "_pool"), local(frame, "url"))
        return error_data(CLIENT, local(frame, "method"), url, local(frame, "error"), failed[2])


def _frame_url(frame):
    return _pool_url(local(frame, "self"), local(frame, "url"))
