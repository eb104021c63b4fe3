"""The benchmark's results as one picture: time as a multiple of the I/O
floor, and peak memory, per corpus and contender, both on log scales (the
contenders span three orders of magnitude). Drawn headless (Agg).
"""

from __future__ import annotations

import math
import statistics

import matplotlib

matplotlib.use("Agg")  # no display: the picture goes to a file

import matplotlib.pyplot as plt  # noqa: E402

# The contenders drawn, in order; the floors are the line at 1 of the first
# panel, and the module on 2 threads is the default one on this machine.
TIME_CONTENDERS = ["scanner_core", "full verdict", "engine (C++)", "scanner_core 1t", "scanner_core one-shot",
                   "scanner-core", "ruff TID251", "ripgrep", "GNU grep", "python re", "python ast"]
MEMORY_CONTENDERS = ["floor", "scanner_core", "full verdict", "engine (C++)", "scanner_core 1t",
                     "scanner_core one-shot", "scanner-core", "ruff TID251", "ripgrep", "GNU grep", "python re",
                     "python ast"]
COLOURS = {
    "floor": "#7f7f7f", "scanner_core": "#1f77b4", "engine (C++)": "#6baed6", "scanner_core 1t": "#08306b",
    "scanner_core one-shot": "#17becf", "ripgrep": "#ff7f0e", "GNU grep": "#d62728", "python re": "#2ca02c",
    "python ast": "#9467bd", "full verdict": "#393b79", "scanner-core": "#e377c2", "ruff TID251": "#8c564b",
}
# Log axes cannot show zero; a peak this small or below is drawn at it.
MEMORY_FLOOR_MIB = 0.1


def _label(value: float) -> str:
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.0f}"
    return f"{value:.2g}" if value >= 1 else f"{value:.1g}"


def _bars(axis, corpora, contenders, names, value_of, hatch_of=lambda c, k: ""):
    width = 0.8 / len(names)
    by_name = {c.name: c for c in contenders}
    for i, name in enumerate(names):
        contender = by_name.get(name)
        if contender is None:
            continue
        labelled = False
        for j, corpus in enumerate(corpora):
            value = value_of(contender, corpus.name)
            if value is None or math.isnan(value):
                continue
            x = j - 0.4 + width * (i + 0.5)
            shown = max(value, MEMORY_FLOOR_MIB)
            axis.bar(x, shown, width, color=COLOURS.get(name, "#333333"), hatch=hatch_of(contender, corpus.name),
                     edgecolor="white", linewidth=0.5, label=None if labelled else name)
            labelled = True
            axis.text(x, shown * 1.08, _label(value), ha="center", va="bottom", fontsize=7, rotation=90)
    axis.set_xticks(range(len(corpora)))
    axis.set_xticklabels([f"{c.name}\n{c.files:,} files, {c.bytes / 1e6:,.0f} MB" for c in corpora], fontsize=9)
    axis.set_yscale("log")
    axis.grid(axis="y", which="major", alpha=0.3)
    axis.set_xlim(-0.5, len(corpora) - 0.5)


def draw(path, corpora, contenders, quick: bool, started) -> None:
    figure, (times, memory) = plt.subplots(2, 1, figsize=(14, 11), constrained_layout=True)

    def ratio(contender, key):
        values = contender.ratios.get(key)
        return statistics.median(values) if values else None

    _bars(times, corpora, contenders, TIME_CONTENDERS, ratio)
    times.axhline(1.0, color="black", linewidth=1)
    times.set_ylabel("time × I/O floor (log; the floor is the line at 1)")
    times.set_title("Time as a multiple of the I/O floor (scanner_core 1t: of the floor on 1 thread; one-shot: a "
                    "fresh interpreter, its start included)", fontsize=11)
    top = max((ratio(c, k.name) or 1) for c in contenders for k in corpora if c.name in TIME_CONTENDERS)
    times.set_ylim(0.5, top * 3)

    def peak(contender, key):
        m = contender.peak.get(key)
        return None if m is None else m.mib

    _bars(memory, corpora, contenders, MEMORY_CONTENDERS, peak,
          hatch_of=lambda c, k: "//" if c.peak.get(k) is not None and c.peak[k].own else "")
    memory.set_ylabel("peak resident MiB (log)")
    memory.set_title("Peak memory: above the interpreter with the module imported; hatched: a native "
                     f"process's own peak (values ≤ {MEMORY_FLOOR_MIB} drawn at {MEMORY_FLOOR_MIB})", fontsize=11)
    memory.axhline(16, color="#1f77b4", linewidth=0.8, linestyle="--")
    memory.text(len(corpora) - 0.52, 16 * 1.05, "16 MiB", fontsize=8, ha="right", color="#1f77b4")
    tallest = max((peak(c, k.name) or 1) for c in contenders for k in corpora)
    memory.set_ylim(MEMORY_FLOOR_MIB / 2, max(tallest, 16) * 4)

    handles, labels = times.get_legend_handles_labels()
    handles2, labels2 = memory.get_legend_handles_labels()
    for handle, label in zip(handles2, labels2):
        if label not in labels:
            handles.append(handle)
            labels.append(label)
    figure.legend(handles, labels, loc="outside lower center", ncols=len(labels), fontsize=10, frameon=False)
    figure.suptitle(f"scanner_core: make {'bench-quick' if quick else 'bench'}, {started:%Y-%m-%d %H:%M} UTC "
                    "(ratios: median over rounds of each run paired with the floor's)", fontsize=12)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(figure)
