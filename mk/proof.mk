# Proof that the audit reads Python as Python does: the differential test
# against Python's parser on real trees, and a fuzzer that writes Python
# source for both to read. `make test` runs the differential on the standard
# library and the fuzzer on a fixed number of sources; `make differential`
# adds the development environment's site-packages, and `make fuzz` runs
# the fuzzer for FUZZ_SECONDS.
PROOF_RUN := PYTHONPATH=$(DEV_PYTHONPATH) $(PY)
# Sources the fuzzer writes within `make test`, from a fixed seed.
FUZZ_SOURCES_SMOKE ?= 20000

EXTRA_TEST_STEPS += differential-stdlib fuzz-sources-smoke

.PHONY: differential differential-stdlib fuzz-sources fuzz-sources-smoke

differential-stdlib: build
	$(PROOF_RUN) tests/proof/differential.py --jobs $(JOBS) --stdlib

differential: build
	$(PROOF_RUN) tests/proof/differential.py --jobs $(JOBS) --stdlib --site-packages
