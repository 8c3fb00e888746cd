"""Small web applications served on 127.0.0.1 by real servers, for the
middleware tests and benchmark: a Flask app and a Django project under
waitress (threads), a Starlette app under uvicorn (one event loop).

    python web_servers.py flask|django|starlette DB_PATH
    python web_servers.py django-wsgi|django-asgi PROJECT_DIRECTORY

binds a free port, prints "PORT <n>" on stdout and serves until it is
terminated. The second form serves the Django project whose settings are
the module project.settings in the directory (zelm's Django middleware
among them): under waitress, or under uvicorn.

In the first form, a request with the header "X-Plain: 1" goes to the same
application without the middleware, so that responses can be compared.

Every app has the same routes: /hello/<n> (its view calls compute(n);
Starlette's also lets the loop run other requests first; /quick/<n> of the
Flask and Starlette apps does not, for the benchmark),
/stream/<n> (n chunks made by the generator chunks), /fail (the view
raises ValueError), /static/<name> (left out by the path filter) and
/stats (the middleware's counters as JSON, left out too).

The Starlette app also serves /interleave/<n>?round=R&of=C, whose request
calls tag(n, where) from every place a request's code runs on the loop: a
BaseHTTPMiddleware around it, the endpoint, a task it creates, gather, an
anyio task group, its streamed body and its background task. It waits
until all C requests of round R have arrived, letting the loop run the
others between its calls, so that their steps surely interleave.
"""

import asyncio
import json
import os
import socket
import sys
from collections import defaultdict

PATHS = {"exclude": ["/static/", "/stats"]}
# More options of the middleware (the benchmark's keep rules and sampling), as JSON.
OPTIONS_VARIABLE = "WEB_SERVERS_OPTIONS"


def options_from_environment():
    return json.loads(os.environ.get(OPTIONS_VARIABLE, "{}"))


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


def tag(n, where):
    """A call of request n's, made at ``where``."""
    return f"{where} {n}"


async def tagged(n, where):
    await asyncio.sleep(0)
    return tag(n, where)


# Per round of /interleave requests: how many arrived, and the event set when all have.
_arrivals = defaultdict(lambda: [0, asyncio.Event()])
GATHERING_SECONDS = 60


async def all_arrived(round_name, count):
    """Wait until ``count`` requests of the round have called this one."""
    arrivals = _arrivals[round_name]
    arrivals[0] += 1
    if arrivals[0] >= count:
        arrivals[1].set()
    await asyncio.wait_for(arrivals[1].wait(), GATHERING_SECONDS)


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
    middleware = WSGIMiddleware(plain, db=db_path, paths=PATHS, **options_from_environment())
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
    middleware = WSGIMiddleware(plain, db=db_path, paths=PATHS, **options_from_environment())
    return plain_or_traced(plain, middleware)


def starlette_app(db_path):
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, PlainTextResponse, StreamingResponse
    from starlette.routing import Mount, Route

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
        Mount("/interleave", interleaving_app()),
    ])
    middleware = ASGIMiddleware(plain, db=db_path, paths=PATHS, **options_from_environment())

    async def dispatch(scope, receive, send):
        plain_request = scope["type"] == "http" and (b"x-plain", b"1") in scope["headers"]
        await (plain if plain_request else middleware)(scope, receive, send)

    return dispatch


def interleaving_app():
    """The Starlette app of /interleave/<n> (see the module's docstring)."""
    import anyio
    from starlette.applications import Starlette
    from starlette.background import BackgroundTask
    from starlette.middleware import Middleware
    from starlette.middleware.base import BaseHTTPMiddleware
    from starlette.responses import StreamingResponse
    from starlette.routing import Route

    async def around(request, call_next):
        n = int(request.url.path.rsplit("/", 1)[1])
        tag(n, "middleware")
        response = await call_next(request)
        await tagged(n, "middleware")
        return response

    async def interleaved(request):
        n = request.path_params["n"]
        tag(n, "endpoint")
        await all_arrived(request.query_params["round"], int(request.query_params["of"]))
        task = asyncio.create_task(tagged(n, "task"))
        await asyncio.gather(tagged(n, "gather"), tagged(n, "gather"))
        async with anyio.create_task_group() as group:
            group.start_soon(tagged, n, "task group")
        await task

        async def body():
            for _ in range(2):
                yield (await tagged(n, "stream")).encode() + b"\n"

        return StreamingResponse(body(), media_type="text/plain", background=BackgroundTask(tagged, n, "background"))

    return Starlette(routes=[Route("/{n:int}", interleaved)], middleware=[Middleware(BaseHTTPMiddleware, dispatch=around)])


def django_project_app(directory, interface):
    """The "wsgi" or "asgi" application of the Django project in ``directory``."""
    sys.path.insert(0, directory)
    os.environ["DJANGO_SETTINGS_MODULE"] = "project.settings"
    if interface == "asgi":
        from django.core.asgi import get_asgi_application

        return get_asgi_application()
    from django.core.wsgi import get_wsgi_application

    return get_wsgi_application()


def serve(kind, argument):
    """Serve the app of ``kind``: its database path, or its project's directory, is ``argument``."""
    # IPPROTO_TCP named, or asyncio leaves Nagle's algorithm on for the
    # connections accepted from it (a 40 ms stall per keep-alive response).
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    listener.bind(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    # Listening before the port is announced: a client that connects before
    # the server's loop has started waits in the backlog instead of being
    # refused; there is room for the hundreds of clients of /interleave at once.
    listener.listen(1024)
    if kind in ("starlette", "django-asgi"):
        import uvicorn

        app = starlette_app(argument) if kind == "starlette" else django_project_app(argument, "asgi")
        server = uvicorn.Server(uvicorn.Config(app, log_level="critical", lifespan="off"))
        print(f"PORT {port}", flush=True)
        server.run(sockets=[listener])
    else:
        import waitress

        if kind == "django-wsgi":
            app = django_project_app(argument, "wsgi")
        else:
            app = flask_app(argument) if kind == "flask" else django_app(argument)
        print(f"PORT {port}", flush=True)
        waitress.serve(app, sockets=[listener], threads=8, _quiet=True)


if __name__ == "__main__":
    serve(sys.argv[1], sys.argv[2])
