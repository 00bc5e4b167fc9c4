"""The picture of how sampling cost grows: bench/out/cost-growth.png.

Drawn from the results-SIZE.json files in the output directory (whichever of
1m, 20m and 100m have been run), three panels:

- nanoseconds per sampled edge of every workload against graph size, at the
  workloads' own batch sizes, with each workload's memory limit per edge dashed;
- nanoseconds per sampled edge against batch size (256 to 65,536) for the
  batch-scan workloads on the largest graph run, memory limit dashed and the
  cold limit (reads after the calls' eviction) dotted;
- the peak resident memory of every workload on the 100m graph (the mapped
  graph included), when that size has been run.

Times are the median call's thread CPU time, which the machine's other work
inflates far less than wall time. Every limit is drawn with the lowest time per
read of the runs shown, so that the sizes compare lines, not the load each run
met while measuring its read time.
"""

from __future__ import annotations

import json
from pathlib import Path

PICTURE_NAME = "cost-growth.png"
SIZE_ORDER = ("1m", "20m", "100m")
PEAK_MEMORY_SIZE = "100m"


def _load_results(out_dir: Path) -> dict[str, dict]:
    results = {}
    for size in SIZE_ORDER:
        path = out_dir / f"results-{size}.json"
        if path.exists():
            data = json.loads(path.read_text())
            if "ns_per_read" in data:  # files from before the memory limit was measured are left out
                results[size] = data
    return results


def _per_edge(entry: dict, ns_per_read: float) -> tuple[float, float]:
    """(sample() ns per edge, median call's CPU time; memory limit ns per edge)."""
    sampler = entry["sampler"]
    edges = sampler["edges_per_batch"]
    return sampler["cpu_median_ms"] * 1e6 / edges, sampler["lines_per_call"] * ns_per_read / edges


def _legend_above_data(axes) -> None:
    """Room above the highest point (log scale), so the legend hides no data."""
    bottom, top = axes.get_ylim()
    axes.set_ylim(bottom, top * 3)
    axes.legend(fontsize=7, ncol=2, loc="upper left")


def _size_panel(axes, results: dict[str, dict], colors: dict[str, str], ns_per_read: float) -> None:
    sized = [(data["edges"], data) for data in results.values() if "edges" in data]
    for name, color in colors.items():
        points = [(edges, *_per_edge(data["workloads"][name], ns_per_read))
                  for edges, data in sized if name in data["workloads"]]
        if not points:
            continue
        edges, measured, limit = zip(*points)
        axes.plot(edges, measured, "o-", color=color, label=f"{name} sample()")
        axes.plot(edges, limit, "s--", color=color, alpha=0.6, label=f"{name} memory limit")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("graph size (edges)")
    axes.set_ylabel("ns per sampled edge (median call, CPU time)")
    axes.set_title("against graph size (batch 1024; deep 512)")
    axes.grid(True, which="both", alpha=0.3)
    _legend_above_data(axes)


def _batch_panel(axes, results: dict[str, dict], colors: dict[str, str], ns_per_read: float,
                 cold_ns_per_read: float | None) -> None:
    scanned = [size for size, data in results.items() if data.get("batch_scan")]
    if not scanned:
        axes.text(0.5, 0.5, "no batch scan recorded", ha="center", va="center", transform=axes.transAxes)
        return
    size = scanned[-1]
    for name, points in results[size]["batch_scan"].items():
        batch = [p["batch_size"] for p in points]
        axes.plot(batch, [p["cpu_ns_per_edge"] for p in points], "o-", color=colors.get(name),
                  label=f"{name} sample()")
        axes.plot(batch, [p["lines_per_call"] * ns_per_read / p["edges_per_call"] for p in points], "s--",
                  color=colors.get(name), alpha=0.6, label=f"{name} memory limit")
        if cold_ns_per_read is not None:
            axes.plot(batch, [p["lines_per_call"] * cold_ns_per_read / p["edges_per_call"] for p in points], "^:",
                      color=colors.get(name), alpha=0.6, label=f"{name} cold limit")
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    axes.set_xlabel("batch size (seeds per call)")
    axes.set_ylabel("ns per sampled edge (median call, CPU time)")
    axes.set_title(f"against batch size ({size} graph)")
    axes.grid(True, which="both", alpha=0.3)
    _legend_above_data(axes)


def _memory_panel(axes, results: dict[str, dict], colors: dict[str, str]) -> None:
    data = results.get(PEAK_MEMORY_SIZE)
    if data is None:
        axes.text(0.5, 0.5, f"run scripts/run_bench.sh {PEAK_MEMORY_SIZE}\nfor the peak memory at 100M edges",
                  ha="center", va="center", transform=axes.transAxes)
        axes.set_axis_off()
        return
    names = list(data["workloads"])
    peak = [data["workloads"][name]["sampler"]["peak_rss_mib"] for name in names]
    bars = axes.bar(names, peak, color=[colors.get(name) for name in names])
    for bar, total in zip(bars, peak):
        axes.annotate(f"{total:,.0f} MiB", (bar.get_x() + bar.get_width() / 2, total),
                      ha="center", va="bottom", fontsize=8)
    axes.set_ylabel("peak resident memory (MiB)")
    axes.set_ylim(0, max(peak) * 1.2)
    axes.set_title(f"peak resident memory at {data['edges'] / 1e6:.0f}M edges\n"
                   f"(the mapped graph's resident pages included)")


def write_picture(out_dir: Path) -> Path | None:
    """Writes the picture and returns its path; None without matplotlib or results."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    results = _load_results(out_dir)
    if not results:
        return None
    names = list(dict.fromkeys(name for data in results.values() for name in data["workloads"]))
    palette = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    colors = {name: palette[i % len(palette)] for i, name in enumerate(names)}
    figure, (by_size, by_batch, memory) = plt.subplots(1, 3, figsize=(17, 5.5))
    ns_per_read = min(data["ns_per_read"] for data in results.values())
    cold = [data["cold_ns_per_read"] for data in results.values() if "cold_ns_per_read" in data]
    cold_ns_per_read = min(cold) if cold else None
    _size_panel(by_size, results, colors, ns_per_read)
    _batch_panel(by_batch, results, colors, ns_per_read, cold_ns_per_read)
    _memory_panel(memory, results, colors)
    cold_text = (f"; cold limit: x {cold_ns_per_read:.1f} ns, the read time after the calls' eviction"
                 if cold_ns_per_read is not None else "")
    figure.suptitle(f"How sampling cost grows; memory limit = cache lines to fetch x {ns_per_read:.1f} ns per "
                    f"independent random read (lowest of the runs of {', '.join(results)}){cold_text}", fontsize=10)
    figure.tight_layout()
    path = out_dir / PICTURE_NAME
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path
