#!/usr/bin/env python3
"""Plots the output of `bench/run.py cpu` (JSON lines, any number of files):
CPU seconds per second against the number of watched files, one line per
program (the median of its runs at each count), into a PNG.

  bench/plot.py OUT.png RESULTS.jsonl [MORE.jsonl ...] [--title TEXT]

Lines whose "label" field is set (e.g. "before") are plotted apart from the
others. Needs matplotlib (Debian: python3-matplotlib, scripts/bench-deps.sh).
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
}
STYLES = {"stat": "k:", "statopen": "k--", "uvpoll": "g-^", "poll": "b-o", "notify": "r-s"}


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
        style = STYLES.get(program, "-x")
        if label and label != "after":
            style = style.replace("-", ":", 1) if style[1] == "-" else style
        text = NAMES.get(program, program) + (f" [{label}]" if label else "")
        ax.plot(xs, ys, style, label=text, alpha=0.55 if label == "before" else 1.0)
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
