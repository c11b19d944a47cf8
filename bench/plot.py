#!/usr/bin/env python3
"""Plots the output of `bench/run.py cpu` (JSON lines, any number of files):
CPU seconds per second against the number of watched files, one line per
program (the median of its runs at each count), into a PNG.

  bench/plot.py OUT.png RESULTS.jsonl [MORE.jsonl ...] [--title TEXT]

Lines whose "label" field is set are plotted apart from the others; "before"
lines are dotted and faint. Needs matplotlib (Debian: python3-matplotlib, scripts/bench-deps.sh).
"""

import argparse
import json
import statistics

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

NAMES = {
    "stat": "floor: stat",
    "statopen": "floor: stat + open/fstat/close",
    "uvpoll": "libuv uv_fs_poll",
    "poll": "polling monitor (vantrel-agent --monitor poll)",
    "notify": "notification monitor (vantrel-agent --monitor notify)",
    "notify-full": "notification monitor reading every file (FullCheckPeriodMillis = 0)",
}
COLORS = {"stat": "black", "statopen": "dimgray", "uvpoll": "green", "poll": "blue", "notify": "red",
          "notify-full": "orange"}
MARKERS = {"stat": "x", "statopen": "+", "uvpoll": "^", "poll": "o", "notify": "s", "notify-full": "D"}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("results", nargs="+")
    parser.add_argument("--title", default="CPU while idle, check interval 1 s")
    args = parser.parse_args()

    series = {}
    interval = None
    for name in args.results:
        with open(name) as f:
            for line in f:
                line = line.strip()
                if not line.startswith("{"):
                    continue
                rec = json.loads(line)
                if rec.get("bench") != "cpu":
                    continue
                interval = rec.get("interval_ms", interval)
                key = (rec["program"], rec.get("label", ""))
                series.setdefault(key, {}).setdefault(rec["files"], []).append(rec["cpu_per_s"])

    fig, ax = plt.subplots(figsize=(8, 5.5))
    for (program, label), points in sorted(series.items()):
        xs = sorted(points)
        ys = [statistics.median(points[x]) for x in xs]
        text = NAMES.get(program, program) + (f" [{label}]" if label else "")
        before = label == "before"
        ax.plot(xs, ys, color=COLORS.get(program, "purple"), marker=MARKERS.get(program, "."),
                linestyle=":" if before else "-", alpha=0.5 if before else 1.0, label=text)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("watched files")
    ax.set_ylabel("CPU seconds per second (whole process)")
    ax.set_title(args.title + (f" ({interval} ms)" if interval else ""))
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(args.out, dpi=110)


if __name__ == "__main__":
    main()
