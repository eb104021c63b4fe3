# Hardening: every engine test under ASan+UBSan, the tests of the stages
# that start threads (scan, gate) under TSan (the other stages' suites are
# single-threaded pure functions, which no thread can race and which TSan
# slows tenfold: see the tsan preset), the libFuzzer targets of tests/fuzz,
# and the full-size load test. One clang build (preset asan) serves the
# ASan+UBSan tests and the fuzz targets, so the engine is compiled with
# ASan once. `make test` runs the
# sanitizers and a short fuzz run after the normal tests; `make fuzz` and
# `make stress` run the long versions.
DEV_PACKAGES += clang libclang-rt-14-dev
EXTRA_TEST_STEPS += test-asan test-tsan fuzz-smoke

# Seconds per fuzz target: FUZZ_SECONDS for `make fuzz`, FUZZ_SMOKE_SECONDS
# for the run inside `make test`.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 15
FUZZ_TARGETS := extract_imports python_unicode scan_file audit_skipping

.PHONY: test-asan test-tsan fuzz fuzz-smoke stress

# Configured afresh whenever the presets change: a build directory that a
# preset made with another compiler cannot be reconfigured in place.
build/asan/build.ninja build/tsan/build.ninja: build/%/build.ninja: \
		$(VENV)/.ready CMakeLists.txt CMakePresets.json | apt-packages
	@$(CMAKE) --preset $* --fresh -Wno-unused-cli >/dev/null

test-asan: build/asan/build.ninja
	@$(CMAKE) --build build/asan -j $(JOBS)
	$(CTEST) --preset asan -j $(JOBS)

test-tsan: build/tsan/build.ninja
	@$(CMAKE) --build build/tsan -j $(JOBS)
	$(CTEST) --preset tsan -j $(JOBS)

fuzz: build/asan/build.ninja
	@$(CMAKE) --build build/asan -j $(JOBS)
	tests/fuzz/run.sh build/asan $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: build/asan/build.ninja
	@$(CMAKE) --build build/asan -j $(JOBS)
	tests/fuzz/run.sh build/asan $(FUZZ_SMOKE_SECONDS) $(FUZZ_TARGETS)

# The load test at full size: 200 rounds of eight threads, 2,000 calls for
# the memory bound.
stress: build
	SCANNER_CORE_STRESS=full PYTHONPATH=$(DEV_PYTHONPATH) $(PY) -m pytest -q -s tests/python/test_stress.py
