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
# Where `make demo` installs the command (mk/package.mk makes it).
DEMO_VENV := build/demo/venv
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
# pip repeats a warning per package for an index directory this machine's
# pip configuration names but does not have; it is noise here.
PIP_QUIET := grep -v "is ignored: it is neither a file nor a directory" || true

# Debian packages; the fragments in mk/ add theirs.
DEV_PACKAGES := libgtest-dev ccache

# One compiler cache for every build of the engine that make starts: the dev
# build, the wheel, the sdist's wheel and the pre-commit hook's environment
# compile the same sources with the same flags, each in a build directory of
# its own, the last two in copies of the tree that make keeps under build/.
# With the base directory at the tree's root, ccache hashes the paths below
# it relative to where the compile runs (the same in every copy) and the
# system's headers as they are, so those builds share their objects. CMake
# takes the launcher from the environment when it configures a build
# directory.
# The compiler is named alike in all of them, as ccache hashes its name.
export CMAKE_CXX_COMPILER_LAUNCHER := $(CURDIR)/tools/compiler-cache.sh
export CXX := g++
export CCACHE_DIR ?= $(HOME)/.cache/scanner-core/ccache
export CCACHE_BASEDIR := $(CURDIR)
# Steps of `make test` after the engine and Python tests; mk/ adds them.
EXTRA_TEST_STEPS :=

.PHONY: build test test-engine test-python test-done demo release-notes apt-packages clean distclean

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

# Dev and tests take the native modules from the build directory and the
# command's pure-Python package from its sources, where an edit needs no build.
DEV_PYTHONPATH := $(BUILD):src

test-python: build
	PYTHONPATH=$(DEV_PYTHONPATH) $(PY) -m pytest -q tests/python

test: test-engine test-python
	@$(MAKE) --no-print-directory $(EXTRA_TEST_STEPS) test-done

test-done:
	@echo "make test: all passed"

# The command, installed into an environment of its own (DEMO_VENV, made by
# mk/package.mk), on the example tree. Its exit status is its verdict, for use
# as a gate: 0 when every file passed, 1 when some failed (the example's
# plugins fail on purpose). The demo did its job once the command ran, so it
# says the verdict in words and exits 0; any other status means the command
# could not run, and fails it.
demo: $(DEMO_VENV)/.installed
	@status=0; $(DEMO_VENV)/bin/scanner-core --policy examples/policy.toml examples/plugins || status=$$?; \
	case $$status in \
	  0) echo; echo "make demo: scanner-core ran; verdict: every file passed (exit status 0)";; \
	  1) echo; echo "make demo: scanner-core ran; verdict: some files failed, as the example's plugins are meant to" \
	       "(scanner-core exits 1 for that, to fail a gate)";; \
	  *) echo "make demo: scanner-core could not run (exit status $$status)" >&2; exit $$status;; \
	esac

# What changed in the version of the package, from CHANGELOG.md; fails when
# the changelog has no section for it.
release-notes:
	@python3 tools/release_notes.py .

clean:
	rm -rf build

distclean: clean
	rm -rf $(VENV)

include $(wildcard mk/*.mk)
