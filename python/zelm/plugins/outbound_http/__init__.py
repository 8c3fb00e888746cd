"""outbound_http: requests made through the common HTTP clients.

Three records per exchange, whichever client made it:
  "outbound_request":  client, method, url, headers, body_size
  "outbound_response": client, method, url, status, reason, headers,
                       body_size, duration
  "outbound_error":    client, method, url, error, duration
Each is made at the level of the client the program called, once: urllib3
(and so requests) drives http.client itself, so the http.client hooks
stand back when their caller is urllib3. Header values, URL passwords
and query parameters that carry credentials are masked. "duration" is seconds from the request to the
response's head (or to the failure); "body_size" is None when it is not
known without reading the body.

Each client has its module of hooks: http_client.py, urllib3_client.py,
httpx_client.py; exchange.py holds what they share.
"""

from zelm.plugins.http import took
from zelm.plugins.outbound_http.exchange import HttpState
from zelm.plugins.outbound_http.http_client import HttpClientHooks
from zelm.plugins.outbound_http.httpx_client import HttpxHooks
from zelm.plugins.outbound_http.urllib3_client import Urllib3Hooks
from zelm.text import RECORD_LINE, clip

__all__ = ["definitions", "DESCRIBERS"]


def definitions(config):
    # One state per profiler: the requests in flight, the errors noted.
    state = HttpState()
    return [*HttpClientHooks(state).definitions(), *Urllib3Hooks(state).definitions(), *HttpxHooks().definitions()]


def _describe_outbound_request(data):
    return clip(f"HTTP request {data.get('method')} {data.get('url')}", RECORD_LINE)


def _describe_outbound_response(data):
    text = f"HTTP response {data.get('status')} {data.get('reason')} to {data.get('method')} {data.get('url')}"
    return clip(text + took(data.get("duration")), RECORD_LINE)


def _describe_outbound_error(data):
    # The error is what the reader came for: it is never clipped away by a long URL.
    text = clip(f"HTTP error on {data.get('method')} {data.get('url')}{took(data.get('duration'))}", RECORD_LINE)
    return f"{text}: {clip(str(data.get('error')), RECORD_LINE)}"


DESCRIBERS = {
    "outbound_request": _describe_outbound_request,
    "outbound_response": _describe_outbound_response,
    "outbound_error": _describe_outbound_error,
}
