# Every target sets up what it needs: a CPython 3.13 with headers (built
# once and cached outside the repo when the machine has none), the .venv
# with the pinned tools, and the Debian packages the builds use.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := build

VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
BUILD  := build/dev
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
# pip repeats a warning per package for an index directory this machine's
# pip configuration names but does not have; it is noise here.
PIP_QUIET := grep -v "is ignored: it is neither a file nor a directory" || true

# Debian packages; the fragments in mk/ add theirs.
DEV_PACKAGES := libgtest-dev
# Steps of `make test` after the engine and Python tests; mk/ adds them.
EXTRA_TEST_STEPS :=

.PHONY: build test test-engine test-python test-done demo apt-packages clean distclean

$(VENV)/.ready: requirements-dev.txt tools/ensure-python.sh
	@interpreter="$$(tools/ensure-python.sh)"; \
	echo "[venv] $(VENV) from $$interpreter"; \
	rm -rf $(VENV); \
	"$$interpreter" -m venv $(VENV); \
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt 2>&1 | $(PIP_QUIET); \
	$(PY) -c "import pybind11, pytest" ; \
	touch $@

apt-packages:
	@tools/ensure-apt.sh $(DEV_PACKAGES)

$(BUILD)/build.ninja: $(VENV)/.ready CMakeLists.txt CMakePresets.json | apt-packages
	@$(CMAKE) --preset dev >/dev/null

build: $(BUILD)/build.ninja
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

test-engine: build
	$(CTEST) --preset dev -j $(JOBS)

test-python: build
	PYTHONPATH=$(BUILD) $(PY) -m pytest -q tests/python

test: test-engine test-python
	@$(MAKE) --no-print-directory $(EXTRA_TEST_STEPS) test-done

test-done:
	@echo "make test: all passed"

# The example's exit status is its verdict, for use as a gate: 0 when every
# file passed, 1 when some failed (its plugins fail on purpose). The demo
# did its job once the example ran, so it says the verdict in words and
# exits 0; any other status means the example could not run, and fails it.
demo: build
	@status=0; PYTHONPATH=$(BUILD) $(PY) examples/scan_plugins.py examples/plugins || status=$$?; \
	case $$status in \
	  0) echo; echo "make demo: the example ran; verdict: every file passed (exit status 0)";; \
	  1) echo; echo "make demo: the example ran; verdict: some files failed, as its plugins are meant to" \
	       "(examples/scan_plugins.py exits 1 for that, to fail a gate)";; \
	  *) echo "make demo: examples/scan_plugins.py could not run (exit status $$status)" >&2; exit $$status;; \
	esac

clean:
	rm -rf build

distclean: clean
	rm -rf $(VENV)

include $(wildcard mk/*.mk)
