"""Small web applications served on 127.0.0.1 by real servers, for the
middleware tests and benchmark: a Flask app and a Django project under
waitress (threads), a Starlette app under uvicorn (one event loop).

    python web_servers.py flask|django|starlette DB_PATH

binds a free port, prints "PORT <n>" on stdout and serves until it is
terminated. A request with the header "X-Plain: 1" goes to the same
application without the middleware, so that responses can be compared.

Every app has the same routes: /hello/<n> (its view calls compute(n);
Starlette's also lets the loop run other requests first; /quick/<n> of the
Flask and Starlette apps does not, for the benchmark),
/stream/<n> (n chunks made by the generator chunks), /fail (the view
raises ValueError), /static/<name> (left out by the path filter) and
/stats (the middleware's counters as JSON, left out too).
"""

import asyncio
import json
import socket
import sys

PATHS = {"exclude": ["/static/", "/stats"]}


def compute(n):
    total = 0
    for step in range(n):
        total += step * n
    return total


def chunks(n):
    for index in range(n):
        yield f"chunk {index} of {n}\n".encode()


def fail():
    raise ValueError("boom")


def plain_or_traced(plain, traced):
    """A WSGI app sending "X-Plain: 1" requests to ``plain``, the others to ``traced``."""

    def dispatch(environ, start_response):
        app = plain if environ.get("HTTP_X_PLAIN") == "1" else traced
        return app(environ, start_response)

    return dispatch


def flask_app(db_path):
    import flask

    from zelm.web import WSGIMiddleware

    app = flask.Flask("web_servers")

    @app.route("/hello/<int:n>")
    def hello(n):
        return f"hello {n}: {compute(n)}"

    @app.route("/quick/<int:n>")
    def quick(n):
        return f"quick {n}: {compute(n)}"

    @app.route("/stream/<int:n>")
    def stream(n):
        return flask.Response(chunks(n), mimetype="text/plain")

    @app.route("/fail")
    def failing():
        fail()

    @app.route("/static/<name>")
    def static_file(name):
        return f"static {name}"

    @app.route("/stats")
    def stats():
        return {"traced": middleware.traced_requests, "skipped": middleware.skipped_requests}

    plain = app.wsgi_app
    middleware = WSGIMiddleware(plain, db=db_path, paths=PATHS)
    app.wsgi_app = plain_or_traced(plain, middleware)
    return app


def django_app(db_path):
    import django
    from django.conf import settings
    from django.http import HttpResponse, JsonResponse, StreamingHttpResponse
    from django.urls import path

    from zelm.web import WSGIMiddleware

    def hello(request, n):
        return HttpResponse(f"hello {n}: {compute(n)}")

    def stream(request, n):
        return StreamingHttpResponse(chunks(n), content_type="text/plain")

    def failing(request):
        fail()

    def static_file(request, name):
        return HttpResponse(f"static {name}")

    def stats(request):
        return JsonResponse({"traced": middleware.traced_requests, "skipped": middleware.skipped_requests})

    module = sys.modules[__name__]
    module.urlpatterns = [
        path("hello/<int:n>", hello),
        path("stream/<int:n>", stream),
        path("fail", failing),
        path("static/<str:name>", static_file),
        path("stats", stats),
    ]
    settings.configure(
        DEBUG=False, ROOT_URLCONF=__name__, ALLOWED_HOSTS=["127.0.0.1"], SECRET_KEY="tests",
        MIDDLEWARE=[], INSTALLED_APPS=[], LOGGING_CONFIG=None,
    )
    django.setup()
    from django.core.wsgi import get_wsgi_application

    plain = get_wsgi_application()
    middleware = WSGIMiddleware(plain, db=db_path, paths=PATHS)
    return plain_or_traced(plain, middleware)


def starlette_app(db_path):
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, PlainTextResponse, StreamingResponse
    from starlette.routing import Route

    from zelm.web import ASGIMiddleware

    async def hello(request):
        n = int(request.path_params["n"])
        # Let concurrent requests interleave on the loop.
        await asyncio.sleep(0.01)
        return PlainTextResponse(f"hello {n}: {compute(n)}")

    async def quick(request):
        n = int(request.path_params["n"])
        return PlainTextResponse(f"quick {n}: {compute(n)}")

    async def async_chunks(n):
        for chunk in chunks(n):
            await asyncio.sleep(0)
            yield chunk

    async def stream(request):
        return StreamingResponse(async_chunks(int(request.path_params["n"])), media_type="text/plain")

    async def failing(request):
        fail()

    async def static_file(request):
        return PlainTextResponse(f"static {request.path_params['name']}")

    async def stats(request):
        return JSONResponse({"traced": middleware.traced_requests, "skipped": middleware.skipped_requests})

    plain = Starlette(routes=[
        Route("/hello/{n:int}", hello),
        Route("/quick/{n:int}", quick),
        Route("/stream/{n:int}", stream),
        Route("/fail", failing),
        Route("/static/{name}", static_file),
        Route("/stats", stats),
    ])
    middleware = ASGIMiddleware(plain, db=db_path, paths=PATHS)

    async def dispatch(scope, receive, send):
        plain_request = scope["type"] == "http" and (b"x-plain", b"1") in scope["headers"]
        await (plain if plain_request else middleware)(scope, receive, send)

    return dispatch


def serve(kind, db_path):
    # IPPROTO_TCP named, or asyncio leaves Nagle's algorithm on for the
    # connections accepted from it (a 40 ms stall per keep-alive response).
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    # Listening before the port is announced: a client that connects before
    # the server's loop has started waits in the backlog instead of being refused.
    listener.listen(64)
    if kind == "starlette":
        import uvicorn

        server = uvicorn.Server(uvicorn.Config(starlette_app(db_path), log_level="critical", lifespan="off"))
        print(f"PORT {port}", flush=True)
        server.run(sockets=[listener])
    else:
        import waitress

        app = flask_app(db_path) if kind == "flask" else django_app(db_path)
        print(f"PORT {port}", flush=True)
        waitress.serve(app, sockets=[listener], threads=8, _quiet=True)


if __name__ == "__main__":
    serve(sys.argv[1], sys.argv[2])
