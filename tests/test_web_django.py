"""zelm.web.DjangoMiddleware in a real Django project (made in the test's
directory, with a SQLite database) served by waitress (WSGI) and uvicorn
(ASGI), asked by a real HTTP client; its settings in settings.ZELM."""

import pytest
from conftest import all_records, decode, frame_records, run_python, write_files
from test_web import start_server, stop_server, wait_for_traces

from zelm import store

pytest.importorskip("django")
httpx = pytest.importorskip("httpx")

PROJECT = {
    "project/__init__.py": "",
    "project/settings.py": """\
        import os

        DIRECTORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        SECRET_KEY = "tests"
        DEBUG = False
        ALLOWED_HOSTS = ["127.0.0.1"]
        ROOT_URLCONF = "project.urls"
        INSTALLED_APPS = ["django.contrib.contenttypes"]
        MIDDLEWARE = ["zelm.web.DjangoMiddleware"]
        DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3",
                                 "NAME": os.path.join(DIRECTORY, "app.sqlite3")}}
        USE_TZ = True
        LOGGING_CONFIG = None
        ZELM = {
            "db": os.path.join(DIRECTORY, "traces.sqlite3"),
            "paths": {"exclude": ["/plain/", "/queries"]},
            "keep": {"errors": True, "paths": ["/hello/*", "/kinds", "/async/*"]},
        }
        """,
    "project/views.py": """\
        import asyncio

        from django.contrib.contenttypes.models import ContentType
        from django.db.backends.signals import connection_created
        from django.http import HttpResponse, JsonResponse

        # The SQL statements run by every connection of the process.
        QUERIES = [0]


        def count_query(execute, sql, params, many, context):
            QUERIES[0] += 1
            return execute(sql, params, many, context)


        def watch_queries(sender, connection, **kwargs):
            connection.execute_wrappers.append(count_query)


        connection_created.connect(watch_queries)


        def compute(n):
            total = 0
            for step in range(n):
                total += step * n
            return total


        def hello(request, n):
            return HttpResponse(f"hello {n}: {compute(n)}")


        def kinds(request):
            # Never evaluated by the view: showing it must not query either.
            unread = ContentType.objects.all()
            models = sorted(kind.model for kind in ContentType.objects.filter(app_label="contenttypes"))
            return HttpResponse(" ".join(models))


        def failing(request):
            raise ValueError("boom")


        def dropped(request):
            return HttpResponse("not kept")


        async def async_hello(request, n):
            await asyncio.sleep(0)
            return HttpResponse(f"async {n}: {compute(n)}")


        def queries(request):
            return JsonResponse({"queries": QUERIES[0]})
        """,
    "project/urls.py": """\
        from django.urls import path

        from project import views

        ROUTES = [("hello/<int:n>", views.hello), ("kinds", views.kinds), ("fail", views.failing),
                  ("dropped", views.dropped), ("async/<int:n>", views.async_hello)]
        # Each route again under /plain/, which the middleware leaves out.
        urlpatterns = [path(prefix + route, view) for prefix in ("", "plain/") for route, view in ROUTES]
        urlpatterns.append(path("queries", views.queries))
        """,
}
PATHS = ["/hello/7", "/kinds", "/fail", "/dropped", "/async/5"]
KEPT = ["/hello/7", "/kinds", "/fail", "/async/5"]


@pytest.fixture(scope="module", params=["wsgi", "asgi"])
def django_served(request, tmp_path_factory):
    """Each path asked once through the middleware and once past it (under
    /plain/), one at a time, with the SQL statements each ran; then the
    server is stopped. Returns (interface, db path, {path: (response,
    plain response, statements, plain statements)})."""
    pytest.importorskip("waitress" if request.param == "wsgi" else "uvicorn")
    directory = tmp_path_factory.mktemp(f"django-{request.param}")
    write_files(directory, PROJECT)
    migrated = run_python("-m", "django", "migrate", "--verbosity", "0",
                          env={"PYTHONPATH": str(directory), "DJANGO_SETTINGS_MODULE": "project.settings"})
    assert migrated.returncode == 0, migrated.stderr
    db_path = str(directory / "traces.sqlite3")
    process, base_url = start_server(f"django-{request.param}", str(directory))
    exchanges = {}
    try:
        with httpx.Client(base_url=base_url, timeout=30) as client:
            def statements_during(path):
                before = client.get("/queries").json()["queries"]
                response = client.get(path)
                return response, client.get("/queries").json()["queries"] - before

            for path in PATHS:
                exchanges[path] = (*statements_during(path), *statements_during("/plain" + path))
        wait_for_traces(db_path, len(KEPT))
    finally:
        stop_server(process)
    return request.param, db_path, exchanges


def test_responses_and_database_queries_are_those_of_the_project_without_zelm(django_served):
    _, _, exchanges = django_served
    for path, (response, statements, plain, plain_statements) in exchanges.items():
        assert (response.status_code, response.content) == (plain.status_code, plain.content), path
        assert statements == plain_statements, path
        assert plain.headers.get("x-zelm-trace") is None
    assert exchanges["/kinds"][0].content == b"contenttype"
    assert exchanges["/kinds"][1] == 1
    assert [exchanges[path][0].status_code for path in PATHS] == [200, 200, 500, 200, 200]


def test_each_request_is_recorded_and_the_keep_rules_of_the_settings_choose_the_stored_ones(django_served):
    interface, db_path, exchanges = django_served
    marks = {path: response.headers["x-zelm-trace"] for path, (response, *_) in exchanges.items()}
    assert all(mark.startswith("trc_") for mark in marks.values())

    stored = {entry.trace_id: entry for entry in store.list_traces(db_path)}
    assert sorted(stored) == sorted(marks[path] for path in KEPT)
    for path in KEPT:
        entry = stored[marks[path]]
        assert (entry.source, entry.request["path"], entry.request["status"]) == (
            f"GET {path}", path, exchanges[path][0].status_code)


def test_a_trace_holds_its_request_and_the_views_exception(django_served):
    interface, db_path, exchanges = django_served
    for path in KEPT:
        response = exchanges[path][0]
        document = decode(store.load_trace(db_path, response.headers["x-zelm-trace"]))
        records = all_records(document)
        request, response_record = records[0], records[-1]
        assert (request["type"], request["method"], request["path"]) == ("inbound_request", "GET", path)
        assert (response_record["type"], response_record["status"]) == ("inbound_response", response.status_code)
        assert ["x-zelm-trace", response.headers["x-zelm-trace"]] in response_record["headers"]
        names = {frame["co_name"] for frame in frame_records(document)}
        if path == "/fail":
            assert response_record["error"] == "ValueError: boom"
        # Sync views run on the serving thread under WSGI; under ASGI Django
        # runs them in a thread of its own, and only the async view is on the loop.
        if path == "/hello/7" and interface == "wsgi":
            assert {"hello", "compute"} <= names
        if path == "/async/5" and interface == "asgi":
            assert {"async_hello", "compute"} <= names


BAD_SETTINGS = """\
import django
from django.conf import settings

settings.configure(ZELM={zelm}, MIDDLEWARE=["zelm.web.DjangoMiddleware"], ROOT_URLCONF=__name__, SECRET_KEY="x")
urlpatterns = []
django.setup()
from django.core.handlers.wsgi import WSGIHandler

try:
    WSGIHandler()
except Exception as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("zelm, message", [
    ('{"keep": {"errors": 1}}', "ImproperlyConfigured settings.ZELM: keep errors must be True or False, not 1"),
    ('{"sample": 2}', "ImproperlyConfigured settings.ZELM: sample must be a rate between 0 and 1, not 2"),
    ('{"kep": {}}', "ImproperlyConfigured settings.ZELM must be a dict of the zelm.web options db, config, sample, "
                    "paths, keep, not {'kep': {}}"),
])
def test_bad_settings_stop_django_loading_the_middleware(zelm, message, tmp_path):
    (tmp_path / "app.py").write_text(BAD_SETTINGS.format(zelm=zelm))
    result = run_python(tmp_path / "app.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == message
