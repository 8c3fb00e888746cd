"""What recording outbound HTTP costs per request.

    python bench/http_overhead.py [--requests N] [--repeat N]

Sends N requests with a requests.Session and with an httpx.Client to a
local server on 127.0.0.1, untraced and under zelm with the outbound_http
plugin off and on, and prints the best time per request of each.
"""
import argparse
import http.server
import sys
import threading
import time

import httpx
import requests
from bench_host import traced


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


def best(run, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_port}/"
    # Only the requesting thread is recorded; the server's threads are not.
    off = {"threading": False, "plugins": {"outbound_http": False}}
    on = {"threading": False}
    plain_requests = requests.Session()
    plain_requests.trust_env = False
    for name, session in (("requests", plain_requests), ("httpx", httpx.Client(trust_env=False))):
        def send(session=session):
            for _ in range(args.requests):
                session.get(url)

        send()  # connections and imports out of the way
        untraced = best(send, args.repeat)
        plugin_off = best(lambda: traced(send, off), args.repeat)
        plugin_on = best(lambda: traced(send, on), args.repeat)
        per_request = [value / args.requests * 1e6 for value in (untraced, plugin_off, plugin_on)]
        print(f"CPython {sys.version.split()[0]} {name}: per request untraced {per_request[0]:.0f} us, "
              f"traced with outbound_http off {per_request[1]:.0f} us, on {per_request[2]:.0f} us")
    server.shutdown()


if __name__ == "__main__":
    main()
