"""Profiling never changes what the profiled program does: real libraries
(Jinja2, Django) and the shapes of code that tripped the profiler give the
same output, the same database queries and the same test outcomes under
zelm as without it, and zelm logs nothing about them."""

import gc
import itertools
import json
import os
import warnings

import jinja2
import pytest
from conftest import frame_records, run_pytest, run_python, write_files

# A value in every template's context: no log line may ever show it.
SECRET = "s3cret-template-token"


def run_zelm(*args, cwd):
    return run_python("-m", "zelm", *args, cwd=cwd, timeout=300)


# ---- Jinja2 templates, rendered in this process ----

async def counting(start, stop):
    for number in range(start, stop):
        yield number


async def people():
    for name, city in [("ada", "Oslo"), ("bob", "Oslo"), ("cy", "Rome")]:
        yield {"name": name, "city": city}


# name: (enable_async, template source, the context's values (made anew for each render), the output).
# Each template keeps a loop variable in its frame: the loop's repr asks for
# its length, which awaits in async mode and exhausts an iterator otherwise.
TEMPLATES = {
    "async-for-over-async-generator": (
        True, "{% for x in rng %}{{ loop.index0 }}/{{ x }}{% endfor %}",
        lambda: {"rng": counting(1, 4)}, "0/11/22/3"),
    "async-loop-length-of-iterator": (
        True, "{% for item in seq %}{{ loop.index }}|{{ loop.revindex }}|{{ loop.length }};{% endfor %}",
        lambda: {"seq": iter([42, 24])}, "1|2|2;2|1|2;"),
    "async-groupby-filter": (
        True, '{% for city, group in users|groupby("city") %}{{ loop.index }}.{{ city }}: '
              '{{ group|map(attribute="name")|join(",") }} {% endfor %}',
        lambda: {"users": people()}, "1.Oslo: ada,bob 2.Rome: cy "),
    "itertools-groupby": (
        False, "{% for _, g in gs %}{{ loop.index }} {{ g|list }}\n{% endfor %}",
        lambda: {"gs": itertools.groupby([(1, "a"), (1, "b"), (2, "c"), (3, "d")], lambda pair: pair[0])},
        "1 [(1, 'a'), (1, 'b')]\n2 [(2, 'c')]\n3 [(3, 'd')]\n"),
}


# The templates' own code is recorded by default; Jinja2's, an installed package, only when included.
RECORDED = {
    "templates": {},
    "templates-and-jinja2": {"filters": {"include_frames": [os.path.join(os.path.dirname(jinja2.__file__), "")]}},
}


@pytest.mark.parametrize("config", RECORDED.values(), ids=RECORDED)
@pytest.mark.parametrize("enable_async, source, make_context, expected", TEMPLATES.values(), ids=TEMPLATES)
def test_jinja_template_renders_as_untraced(profile, zelm_warnings, enable_async, source, make_context, expected,
                                            config):
    def render():
        # Compiled here, so that the template's module code runs under the profiler too.
        template = jinja2.Environment(enable_async=enable_async).from_string(source)
        return template.render(secret=SECRET, **make_context())

    untraced = render()
    rendered = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        document, _ = profile(lambda: rendered.append(render()), config=config)
        gc.collect()  # a coroutine left unawaited warns when it is freed

    assert untraced == expected
    assert rendered == [untraced]
    assert [str(warning.message) for warning in caught if issubclass(warning.category, RuntimeWarning)] == []
    logged = [record.getMessage() for record in zelm_warnings()]
    assert [message for message in logged if SECRET in message] == []
    assert logged == []
    template_events = {record["event"] for record in frame_records(document)
                       if record["path"].rsplit(":", 1)[0] == "<template>"}
    assert {"call", "return"} <= template_events


# ---- programs under `zelm run`, next to `python` ----

WHERE = """\
    import sys
    print(__file__, sys.argv[0], sys.path[0])
"""

# A class body that assigns __class__ while a method uses zero-argument
# super() (the compiler gives the body a __class__ cell): Django's LazyObject.
PROXY = """\
    class Proxy:
        __class__ = property(lambda self: int)

        def describe(self):
            return super().__repr__()


    print("__class__" in vars(Proxy), isinstance(Proxy(), int))
"""

# name: (files, command line after `python` / `zelm run`)
PROGRAMS = {
    "class-body-assigning-__class__": ({"proxy.py": PROXY}, ["proxy.py"]),
    "script-in-working-directory": ({"where.py": WHERE}, ["where.py"]),
    "script-in-subdirectory": ({"sub/where.py": WHERE}, ["sub/where.py"]),
    "script-path-with-dot-segments": ({"sub/where.py": WHERE}, ["./sub/../sub/where.py"]),
    "module": ({"pkg/__init__.py": "", "pkg/where.py": WHERE}, ["-m", "pkg.where"]),
}


@pytest.mark.parametrize("files, command", PROGRAMS.values(), ids=PROGRAMS)
def test_program_runs_as_under_python(tmp_path, files, command):
    write_files(tmp_path, files)

    python = run_python(*command, cwd=tmp_path)
    traced = run_zelm("run", "--db", "t.sqlite3", *command, cwd=tmp_path)

    assert python.returncode == 0, python.stderr
    assert (traced.returncode, traced.stdout) == (0, python.stdout), traced.stderr


# ---- a Django project ----

DJANGO_PROJECT = {
    "settings.py": """\
        import os

        DEBUG = True
        SECRET_KEY = "tests-only"
        ALLOWED_HOSTS = ["testserver"]
        USE_TZ = True
        DEFAULT_AUTO_FIELD = "django.db.models.AutoField"
        ROOT_URLCONF = "urls"
        # The admin's site is a LazyObject, whose class body assigns __class__.
        INSTALLED_APPS = ["django.contrib.admin", "django.contrib.auth", "django.contrib.contenttypes",
                          "django.contrib.sessions", "django.contrib.messages", "shop"]
        MIDDLEWARE = ["django.contrib.sessions.middleware.SessionMiddleware",
                      "django.contrib.auth.middleware.AuthenticationMiddleware",
                      "django.contrib.messages.middleware.MessageMiddleware"]
        TEMPLATES = [{"BACKEND": "django.template.backends.django.DjangoTemplates", "APP_DIRS": True,
                      "OPTIONS": {"context_processors": ["django.template.context_processors.request",
                                                         "django.contrib.auth.context_processors.auth",
                                                         "django.contrib.messages.context_processors.messages"]}}]
        DATABASES = {"default": {"ENGINE": "django.db.backends.sqlite3",
                                 "NAME": os.path.join(os.path.dirname(os.path.abspath(__file__)), "db.sqlite3")}}
    """,
    "urls.py": """\
        from django.contrib import admin
        from django.urls import path

        from shop import views

        urlpatterns = [path("items/", views.items), path("admin/", admin.site.urls)]
    """,
    "shop/__init__.py": "",
    "shop/models.py": """\
        from django.db import models


        class Item(models.Model):
            name = models.CharField(max_length=40)
    """,
    # The query set reaches names_of unevaluated: showing it must not query.
    "shop/views.py": """\
        from django.http import HttpResponse

        from shop.models import Item


        def names_of(queryset):
            return [item.name for item in queryset]


        def items(request):
            queryset = Item.objects.order_by("name")
            return HttpResponse(", ".join(names_of(queryset)))
    """,
    "prepare.py": """\
        import os

        import django

        os.environ["DJANGO_SETTINGS_MODULE"] = "settings"
        django.setup()
        from django.core.management import call_command

        call_command("makemigrations", "shop", verbosity=0)
        call_command("migrate", verbosity=0)
        from shop.models import Item

        Item.objects.bulk_create([Item(name=name) for name in ("pear", "apple", "fig")])
    """,
    "serve.py": """\
        import json
        import os

        import django

        os.environ["DJANGO_SETTINGS_MODULE"] = "settings"
        django.setup()
        from django.db import connection
        from django.test import Client
        from django.test.utils import CaptureQueriesContext

        with CaptureQueriesContext(connection) as queries:
            response = Client().get("/items/")
        print(json.dumps({"status": response.status_code, "body": response.content.decode(),
                          "queries": [query["sql"] for query in queries]}))
    """,
}


@pytest.fixture(scope="module")
def django_project(tmp_path_factory):
    """A migrated Django project with three items, and what serve.py prints untraced."""
    project = tmp_path_factory.mktemp("django_project")
    write_files(project, DJANGO_PROJECT)
    prepared = run_python("prepare.py", cwd=project, timeout=300)
    assert prepared.returncode == 0, prepared.stderr
    untraced = run_python("serve.py", cwd=project, timeout=300)
    assert untraced.returncode == 0, untraced.stderr
    served = json.loads(untraced.stdout)
    assert (served["status"], served["body"], len(served["queries"])) == (200, "apple, fig, pear", 1)
    return project, served


@pytest.mark.parametrize("options", [[], ["--include-package", "django"]], ids=["user-code", "django-recorded"])
def test_django_request_makes_the_untraced_queries(django_project, tmp_path, options):
    project, untraced = django_project

    traced = run_zelm("run", "--db", tmp_path / "t.sqlite3", *options, "serve.py", cwd=project)

    assert traced.returncode == 0, traced.stderr
    assert json.loads(traced.stdout) == untraced


# ---- a test suite under `pytest --zelm` ----

ASYNC_GENERATOR_SUITE = """\
    import asyncio


    async def numbers(count):
        for number in range(count):
            yield number


    # The instructions that close the async for loops below carry no line number on CPython 3.12.
    async def evens_if(count, wanted):
        if wanted:
            async for number in numbers(count):
                if number % 2 == 0:
                    yield number


    async def evens_while(count, wanted):
        while wanted:
            async for number in numbers(count):
                if number % 2 == 0:
                    yield number
            wanted = False


    async def collect(generator):
        return [number async for number in generator]


    def test_async_for_in_if(caplog):
        assert asyncio.run(collect(evens_if(5, True))) == [0, 2, 4]
        assert [record.getMessage() for record in caplog.records if record.name == "zelm"] == []


    def test_async_for_in_while(caplog):
        assert asyncio.run(collect(evens_while(5, True))) == [0, 2, 4]
        assert [record.getMessage() for record in caplog.records if record.name == "zelm"] == []
"""


def test_async_generators_pass_under_pytest_zelm(tmp_path):
    write_files(tmp_path, {"test_generators.py": ASYNC_GENERATOR_SUITE})

    # Every warning an error, as many projects configure their suites.
    result = run_pytest(tmp_path, "--zelm", "--zelm-db", "t.sqlite3", "-q", "--tb=line", "-W", "error")

    assert result.returncode == 0, result.stdout[-3000:] + result.stderr
    assert result.stdout.splitlines()[-1].startswith("2 passed in "), result.stdout
