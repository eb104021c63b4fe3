"""The first call of scan_directory in a fresh interpreter beside the
calls that follow it in the same process: the cost of starting cold (the
workers' heaps, the memory of the results, the buffers). Each call's
results are dropped before the next call, as a long-running host would.

Usage: first_call.py MODULE_DIR DIR THREADS POLICY CALLS
Prints one JSON line: the elapsed and processor seconds of each call.
"""

import gc
import json
import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from one_shot import read_policy  # noqa: E402


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    module_dir, directory, threads, policy_path, calls = sys.argv[1:6]
    sys.path.insert(0, module_dir)
    import scanner_core

    policy = read_policy(policy_path)
    classifier = scanner_core.ImportClassifier(
        set(policy["forbidden"]), set(policy["allowed_exact"]), policy["allowed_prefixes"]
    )
    local = set(policy["local"])
    seconds, cpu = [], []
    for _ in range(int(calls)):
        gc.collect()
        gc.disable()  # the collector must not run inside the timed call
        cpu_start = cpu_seconds()
        start = time.perf_counter()
        results = classifier.scan_directory(directory, local, int(threads))
        seconds.append(time.perf_counter() - start)
        cpu.append(cpu_seconds() - cpu_start)
        gc.enable()
        del results
    print(json.dumps({"seconds": seconds, "cpu": cpu}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
