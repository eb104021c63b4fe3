#!/usr/bin/env bash
# Runs each fuzz target for a fixed time and prints one summary line per
# target: runs, executions per second and libFuzzer's coverage (cov: edges
# covered, ft: features). New inputs go to a working corpus in the build
# directory, so the checked-in seeds stay as they are. On a failure the log's
# tail and the reproducer's path are printed and the script fails. The
# targets run side by side, as many at a time as the machine has cores
# (FUZZ_JOBS says otherwise), each on a core of its own.
#
# usage: tests/fuzz/run.sh BUILD_DIR SECONDS TARGET...
set -euo pipefail

build_dir=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
# The scan_file target writes a file per input: in memory, when the machine
# has a tmpfs for it, the disk does not set the pace.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

run_target() {
    local target=$1
    local binary="$build_dir/tests/fuzz/fuzz_$target"
    local corpus="$build_dir/corpus/$target"
    local artifacts="$build_dir/artifacts"
    local log="$build_dir/logs/$target.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    if ! "$binary" "$corpus" "$here/corpus/$target" \
        -dict="$here/imports.dict" -max_len=4096 -max_total_time="$seconds" -timeout=20 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "[fuzz] $target FAILED; reproducer under $artifacts, full log $log" >&2
        return 1
    fi
    local done_line runs rate cov
    done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)
    runs=$(sed -nE 's/^stat::number_of_executed_units:[[:space:]]+([0-9]+)/\1/p' "$log")
    rate=$(sed -nE 's/^stat::average_exec_per_sec:[[:space:]]+([0-9]+)/\1/p' "$log")
    cov=$(sed -nE 's/.* cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/cov \1, ft \2, corpus \3 inputs/p' <<<"$done_line")
    echo "[fuzz] $target: ${seconds} s, $runs runs, $rate exec/s, $cov"
}

jobs=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 1)}
failed=0
running=0
for target in "$@"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
exit "$failed"
