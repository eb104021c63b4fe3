# Benchmarks: `make bench` compares scan_directory with the I/O floor,
# ripgrep, GNU grep and pure-Python checkers on generated corpora, and runs
# the engine micro-benchmarks; it writes bench/RESULTS.md and takes a few
# minutes. `make bench-quick` is the same on small corpora, without the ast
# checker, in under a minute; its report goes to the corpus cache.
# The module is the one `make build` makes (preset dev); the floor and the
# micro-benchmarks come from preset bench.
BENCH_PACKAGES := ripgrep libbenchmark-dev
BENCH_BUILD := build/bench
BENCH_CACHE ?= $(HOME)/.cache/scanner-core/bench
BENCH_ARGS ?=

.PHONY: bench bench-quick bench-tools

$(BENCH_BUILD)/build.ninja: $(VENV)/.ready CMakeLists.txt CMakePresets.json bench/CMakeLists.txt | apt-packages
	@tools/ensure-apt.sh $(BENCH_PACKAGES)
	@$(CMAKE) --preset bench -Wno-unused-cli >/dev/null

bench-tools: build $(BENCH_BUILD)/build.ninja
	@tools/ensure-apt.sh $(BENCH_PACKAGES)
	@$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS)

bench: bench-tools
	$(PY) bench/run_bench.py --cache $(BENCH_CACHE) $(BENCH_ARGS)

bench-quick: bench-tools
	$(PY) bench/run_bench.py --quick --cache $(BENCH_CACHE) $(BENCH_ARGS)
