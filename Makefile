# zelm: build, test and run on the CPython versions pyenv provides.
#   make test  - C++ unit tests, the pytest suite on every supported CPython (with
#                a short run of bench/leak_check.py), once more against a
#                sanitizer build of the extension, and a short threaded
#                workload under valgrind's memcheck
#   make run   - build, profile the shipped example with `zelm run`, show its trace and
#                name the command that opens it in the viewer
#   make bench - benchmarks on every supported CPython (long; not part of make test):
#                cost per event next to cProfile and VizTracer, memory, build_trace,
#                instructions under callgrind, whole `zelm run`s against whole
#                VizTracer runs, a real test suite, the thread soak,
#                a trace over 2 GiB stored and read back, web requests, the viewer;
#                results in bench/results. BENCH_QUICK=1 for a shorter run.
#                make bench-suite: the test suite benchmark alone.

PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $(HOME)/.pyenv)
PYTHON_VERSIONS ?= 3.10 3.11 3.12 3.13
# The interpreter of a version, found by path (pyenv's shims answer only the selected one).
python_for = $(firstword $(wildcard $(PYENV_ROOT)/versions/$(1).*/bin/python$(1)))
VENV = .venv-$(1)
MAIN_VERSION = $(firstword $(PYTHON_VERSIONS))
BENCH_PACKAGES = $(CURDIR)/$(call VENV,$(1))/bench-packages
BENCH_PYTHON = PYTHONPATH=$(call BENCH_PACKAGES,$(1)) $(CURDIR)/$(call VENV,$(1))/bin/python
# more-itertools' own test suite untraced, under `pytest --zelm` (defaults and
# lightweight values) and under VizTracer (default and args+retval): time,
# peak memory, outcome, stored size, traces cut (fetches the package's source
# release from PyPI once); bench/results/suite-3.X.json.
run_suite = cd bench && $(call BENCH_PYTHON,$(1)) real_suite.py $(if $(BENCH_QUICK),--rounds 1)
PIP_FLAGS ?= -q

.PHONY: test run bench bench-suite cpp-test pytest-sanitized valgrind bench-store deps build-deps $(addprefix venv-,$(PYTHON_VERSIONS)) $(addprefix venv-base-,$(PYTHON_VERSIONS)) $(addprefix pytest-,$(PYTHON_VERSIONS)) \
	$(addprefix soak-,$(PYTHON_VERSIONS)) $(addprefix bench-venv-,$(PYTHON_VERSIONS)) $(addprefix bench-,$(PYTHON_VERSIONS)) \
	$(addprefix bench-suite-,$(PYTHON_VERSIONS)) $(addprefix bench-real-suites-,$(PYTHON_VERSIONS))

test: cpp-test $(addprefix pytest-,$(PYTHON_VERSIONS)) pytest-sanitized valgrind

# Debian packages the build and the tests need (chromium and its driver for the
# viewer's browser tests, postgresql for the store's tests, which start a server
# of their own), installed only when missing.
# Installs the Debian packages named in $(1) that are missing.
apt_install = @missing=""; \
	for pkg in $(1); do \
	  dpkg -s $$pkg >/dev/null 2>&1 || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# What building zelm needs.
build-deps:
	$(call apt_install,g++)

deps: build-deps
	$(call apt_install,googletest libgtest-dev valgrind chromium chromium-driver postgresql)

define VENV_RULES
# The venv with zelm built and installed, and nothing else: what `make run` needs.
venv-base-$(1): build-deps
	@test -n "$(call python_for,$(1))" || { echo "CPython $(1) not found under $(PYENV_ROOT)/versions"; exit 1; }
	@test -x $(call VENV,$(1))/bin/python || $(call python_for,$(1)) -m venv $(call VENV,$(1))
	@$(call VENV,$(1))/bin/python -m pip install $(PIP_FLAGS) --upgrade pip
	@$(call VENV,$(1))/bin/python -m pip install $(PIP_FLAGS) "scikit-build-core>=0.10" cmake ninja msgpack zstandard
	$(call VENV,$(1))/bin/python -m pip install $(PIP_FLAGS) --no-build-isolation .

# The same venv with what the tests use besides.
venv-$(1): deps venv-base-$(1)
	@$(call VENV,$(1))/bin/python -m pip install $(PIP_FLAGS) pytest hypothesis jsonschema requests "urllib3>=2" httpx selenium \
		flask waitress django starlette uvicorn jinja2 attrs trio "psycopg[binary]" \
		opentelemetry-api opentelemetry-sdk
	@# urllib3 1.x beside the venv, for the tests that run it in a subprocess.
	@test -d $(call VENV,$(1))/urllib3-1 || $(call VENV,$(1))/bin/python -m pip install $(PIP_FLAGS) --target $(call VENV,$(1))/urllib3-1 "urllib3>=1.26,<2"

pytest-$(1): venv-$(1)
	cd tests && ZELM_REQUIRE_BROWSER=1 ZELM_REQUIRE_POSTGRES=1 ../$(call VENV,$(1))/bin/python -m pytest -q -p no:cacheprovider .

soak-$(1): venv-$(1)
	cd bench && ../$(call VENV,$(1))/bin/python soak_threads.py

# Packages only the benchmarks use, beside the venv: make test never sees them.
bench-venv-$(1): venv-$(1)
	@test -d $(call BENCH_PACKAGES,$(1))/viztracer -a -d $(call BENCH_PACKAGES,$(1))/matplotlib || \
	  $(call VENV,$(1))/bin/python -m pip install $(PIP_FLAGS) --target $(call BENCH_PACKAGES,$(1)) matplotlib viztracer

bench-$(1): bench-venv-$(1)
	cd bench && $(call BENCH_PYTHON,$(1)) event_cost.py $(if $(BENCH_QUICK),--quick)
	cd bench && $(call BENCH_PYTHON,$(1)) whole_run.py $(if $(BENCH_QUICK),--rounds 1)
	$(call run_suite,$(1))

bench-suite-$(1): bench-venv-$(1)
	$(call run_suite,$(1))

# Jinja2's and attrs' own test suites (source releases from PyPI) untraced and
# under pytest --zelm: the same outcomes or a failed run; and a dataclass-heavy
# workload's cost per event; bench/results/real_suites-3.X.json.
bench-real-suites-$(1): bench-venv-$(1)
	cd bench && $(call BENCH_PYTHON,$(1)) real_suites.py $(if $(BENCH_QUICK),--rounds 1 --workload-rounds 3)
endef
$(foreach v,$(PYTHON_VERSIONS),$(eval $(call VENV_RULES,$(v))))

# The C++ unit tests run under AddressSanitizer and UBSan.
SANITIZERS = -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all
cpp-test: venv-$(MAIN_VERSION)
	PATH=$(CURDIR)/$(call VENV,$(MAIN_VERSION))/bin:$$PATH cmake -S . -B build/cpp -G Ninja -DZELM_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=$(SANITIZERS)"
	PATH=$(CURDIR)/$(call VENV,$(MAIN_VERSION))/bin:$$PATH cmake --build build/cpp -j2
	PATH=$(CURDIR)/$(call VENV,$(MAIN_VERSION))/bin:$$PATH ctest --test-dir build/cpp --output-on-failure

# The pytest suite once more, against the extension built with the sanitizers.
SANITIZED = build/sanitized
SANITIZER_RUNTIME = $(shell gcc -print-file-name=libasan.so):$(shell gcc -print-file-name=libubsan.so)
pytest-sanitized: venv-$(MAIN_VERSION)
	PATH=$(CURDIR)/$(call VENV,$(MAIN_VERSION))/bin:$$PATH cmake -S . -B $(SANITIZED) -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=$(SANITIZERS)" -DPython_EXECUTABLE=$(CURDIR)/$(call VENV,$(MAIN_VERSION))/bin/python
	PATH=$(CURDIR)/$(call VENV,$(MAIN_VERSION))/bin:$$PATH cmake --build $(SANITIZED) -j2
	rm -rf $(SANITIZED)/site && mkdir -p $(SANITIZED)/site && cp -r python/zelm $(SANITIZED)/site/ && cp $(SANITIZED)/_zelm*.so $(SANITIZED)/_fastread*.so $(SANITIZED)/_serialize*.so $(SANITIZED)/site/zelm/
	cd tests && ZELM_REQUIRE_BROWSER=1 ZELM_REQUIRE_POSTGRES=1 ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD=$(SANITIZER_RUNTIME) PYTHONPATH=$(CURDIR)/$(SANITIZED)/site ../$(call VENV,$(MAIN_VERSION))/bin/python -m pytest -q -p no:cacheprovider .

# Every benchmark on every version: event cost, the test suite and the soak
# (100,000 thread-per-request requests per version; fails when memory keeps
# growing), a trace over 2 GiB stored and read back, web requests per second,
# the viewer on a million records, then one table of every performance goal
# with its measure per version, the event costs, whole runs and the suite
# (bench/results/results.md) and one chart (ratios.png).
bench: $(addprefix bench-,$(PYTHON_VERSIONS)) $(addprefix bench-real-suites-,$(PYTHON_VERSIONS)) $(addprefix soak-,$(PYTHON_VERSIONS)) bench-store
	cd bench && ../$(call VENV,$(MAIN_VERSION))/bin/python web_overhead.py
	cd bench && ../$(call VENV,$(MAIN_VERSION))/bin/python view_scale.py
	cd bench && $(call BENCH_PYTHON,$(MAIN_VERSION)) report.py

# A short threaded workload under memcheck (about half a minute). Any report
# not suppressed as the interpreter's own fails the run. valgrind runs one
# thread at a time and its default lock is unfair: at exit the two looping
# daemon threads could pass the GIL between themselves for good and starve
# the main thread, so threads take turns (--fair-sched).
VALGRIND_FLAGS = --tool=memcheck --error-exitcode=99 --leak-check=no --num-callers=40 \
	--fair-sched=yes --suppressions=cpython.supp
valgrind: venv-$(MAIN_VERSION)
	cd tests/valgrind && PYTHONMALLOC=malloc timeout 300 valgrind $(VALGRIND_FLAGS) ../../$(call VENV,$(MAIN_VERSION))/bin/python workload.py

run: venv-base-$(MAIN_VERSION)
	$(call VENV,$(MAIN_VERSION))/bin/zelm run --db .zelm/traces.sqlite3 examples/shop_app.py
	$(call VENV,$(MAIN_VERSION))/bin/zelm show --db .zelm/traces.sqlite3 latest
	@echo
	@echo "Explore this trace in the browser: $(call VENV,$(MAIN_VERSION))/bin/zelm view --db .zelm/traces.sqlite3 latest"

# A trace document of 2.1 GiB stored in chunks and read back (about a minute).
bench-store: venv-$(MAIN_VERSION)
	$(call VENV,$(MAIN_VERSION))/bin/python bench/store_large_trace.py

# The test suite benchmark alone, on the first version (bench-suite-3.X for another).
bench-suite: bench-suite-$(MAIN_VERSION)
