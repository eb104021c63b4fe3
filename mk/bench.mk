# Benchmarks: `make bench` compares scan_directory with the I/O floor,
# ripgrep, GNU grep and pure-Python checkers on generated corpora, time and
# peak memory, and runs the engine micro-benchmarks; it writes
# bench/RESULTS.md and bench/results.png and takes a few minutes.
# `make bench-quick` is the same on small corpora, without the ast checker,
# in under a minute; its report and picture go to the corpus cache.
# The module is the one `make build` makes (preset dev); the floor and the
# micro-benchmarks come from preset bench.
BENCH_PACKAGES := ripgrep libbenchmark-dev
BENCH_BUILD := build/bench
BENCH_CACHE ?= $(HOME)/.cache/scanner-core/bench
BENCH_ARGS ?=
# The driver's own Python packages (the picture), kept out of the test tools.
BENCH_READY := $(VENV)/.bench-ready

.PHONY: bench bench-quick bench-tools

$(BENCH_BUILD)/build.ninja: $(VENV)/.ready CMakeLists.txt CMakePresets.json bench/CMakeLists.txt | apt-packages
	@tools/ensure-apt.sh $(BENCH_PACKAGES)
	@$(CMAKE) --preset bench -Wno-unused-cli >/dev/null

bench-tools: build $(BENCH_BUILD)/build.ninja
	@tools/ensure-apt.sh $(BENCH_PACKAGES)
	@$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS)

$(BENCH_READY): bench/requirements.txt $(VENV)/.ready
	@echo "[venv] bench requirements"
	@$(PY) -m pip install --quiet --disable-pip-version-check -r bench/requirements.txt 2>&1 | $(PIP_QUIET)
	@$(PY) -c "import matplotlib"
	@touch $@

bench: bench-tools $(BENCH_READY)
	$(PY) bench/run_bench.py --cache $(BENCH_CACHE) $(BENCH_ARGS)

bench-quick: bench-tools $(BENCH_READY)
	$(PY) bench/run_bench.py --quick --cache $(BENCH_CACHE) $(BENCH_ARGS)
