# Proof that the audit reads Python as Python does: the differential test
# against Python's parser on real trees, and a fuzzer that writes Python
# source for both to read (tests/proof). `make test` runs the differential
# on the standard library and the fuzzer on a fixed number of sources from a
# fixed seed; `make differential` adds the development environment's
# site-packages, and `make fuzz` runs the fuzzer for FUZZ_SECONDS from a
# seed it prints (FUZZ_SEED chooses one). `make token-proof` sets the
# tokenizer alone beside Python's tokenize on the standard library and the
# development environment's site-packages, each file fed at once and a byte
# at a time (`make test` runs a sample of it with the engine tests).
# `make test` also holds the oracle's constant folding to CPython's on
# random expressions, and the audit to the oracle where each is read, and
# on generated pickle payloads and logging configurations.
PROOF_RUN := PYTHONPATH=$(DEV_PYTHONPATH) $(PY)
FUZZ_SOURCES_SMOKE ?= 20000
FUZZ_SEED ?=

EXTRA_TEST_STEPS += differential-stdlib fuzz-sources-smoke fold-proof payload-proof

.PHONY: differential differential-stdlib fuzz-sources fuzz-sources-smoke token-proof fold-proof payload-proof

differential-stdlib: build
	$(PROOF_RUN) tests/proof/differential.py --jobs $(JOBS) --stdlib

differential: build
	$(PROOF_RUN) tests/proof/differential.py --jobs $(JOBS) --stdlib --site-packages

token-proof: build
	$(PROOF_RUN) tests/proof/token_proof.py --driver $(BUILD)/tests/engine/audit/token_stream --stdlib --site-packages
	$(PROOF_RUN) tests/proof/token_proof.py --driver $(BUILD)/tests/engine/audit/token_stream --stdlib --site-packages \
	    --piece 1

fold-proof: build
	$(PROOF_RUN) tests/proof/fold_proof.py --seed 1 --expressions 20000

payload-proof: build
	$(PROOF_RUN) tests/proof/payload_sources.py --seed 1 --files 60 --out build/payload-sources
	$(PROOF_RUN) tests/proof/differential.py --jobs $(JOBS) build/payload-sources

fuzz-sources-smoke: build
	$(PROOF_RUN) tests/proof/fuzz_sources.py --jobs $(JOBS) --seed 1 --sources $(FUZZ_SOURCES_SMOKE) --out build/fuzz-sources

fuzz-sources: build
	$(PROOF_RUN) tests/proof/fuzz_sources.py --jobs $(JOBS) $(if $(FUZZ_SEED),--seed $(FUZZ_SEED)) \
	    --seconds $(FUZZ_SECONDS) --out build/fuzz-sources

# `make fuzz` runs the source fuzzer too.
fuzz: fuzz-sources
