#!/usr/bin/env python3
"""Memory under churn: vantrel-agent watches DIR/* while --files distinct files
are created, grown and deleted, --batch at a time (each batch is created, then
grown, then deleted, and each step waits until the agent has reported it for
every file of the batch).

Prints one JSON object on standard output: the agent's resident memory
(VmRSS, KiB) after the first batch and at the end, their ratio, the largest
value seen, the files reported created, grown and deleted, and the seconds it
took. Progress goes to standard error.

  bench/churn.py [--files 200000] [--batch 1000] [--monitor poll|notify]
                 [--interval 100] [--build build] [--root /tmp] [--library FILE]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
STEP_DEADLINE = 120  # seconds for the agent to report one step of one batch


def log(text):
    print(text, file=sys.stderr, flush=True)


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Reports:
    """The flag names reported for each file name, from the agent's '%f %p' lines."""

    def __init__(self, stream):
        self.flags = {}
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            names, _, path = line.rstrip("\n").partition(" ")
            with self.cond:
                self.flags.setdefault(os.path.basename(path), set()).update(names.split("|"))
                self.cond.notify_all()

    def wait(self, files, flag):
        deadline = time.monotonic() + STEP_DEADLINE
        with self.cond:
            while True:
                missing = [f for f in files if flag not in self.flags.get(f, ())]
                if not missing or time.monotonic() > deadline:
                    return missing
                self.cond.wait(0.2)

    def count(self, flag):
        with self.cond:
            return sum(1 for names in self.flags.values() if flag in names)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", type=int, default=200000)
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--monitor", choices=["poll", "notify"], default="poll")
    parser.add_argument("--interval", type=int, default=100)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--root", default=tempfile.gettempdir())
    parser.add_argument("--library", help="the component library the agent loads (default: its own)")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="vantrel-churn-", dir=args.root)
    agent = subprocess.Popen(
        [os.path.join(args.build, "agent", "vantrel-agent"), "--monitor", args.monitor, "--interval",
         str(args.interval), "--format", "%f %p", os.path.join(work, "*")] +
        (["--library", args.library] if args.library else []),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
    try:
        ready = ""
        while not ready.startswith("watching"):
            ready = agent.stderr.readline()
            if not ready:
                sys.exit("the agent did not start")
        threading.Thread(target=lambda: [None for _ in agent.stderr], daemon=True).start()
        reports = Reports(agent.stdout)
        started = time.monotonic()
        first = peak = 0
        batches = (args.files + args.batch - 1) // args.batch
        for b in range(batches):
            names = [f"{b:06d}-{i:05d}.log" for i in range(min(args.batch, args.files - b * args.batch))]
            for step, flag in (("x", "CREATED"), ("more\n", "GREW"), (None, "DELETED")):
                for name in names:
                    path = os.path.join(work, name)
                    if step is None:
                        os.unlink(path)
                    else:
                        with open(path, "a") as f:
                            f.write(step)
                missing = reports.wait(names, flag)
                if missing:
                    sys.exit(f"batch {b}: {len(missing)} files never reported {flag}, e.g. {missing[0]}")
            peak = max(peak, rss_kib(agent.pid))
            if b == 0:
                first = rss_kib(agent.pid)
            if b % 20 == 0 or b == batches - 1:
                log(f"batch {b + 1}/{batches}: rss {rss_kib(agent.pid)} KiB")
        end = rss_kib(agent.pid)
        print(json.dumps({
            "monitor": args.monitor, "files": args.files, "batch": args.batch, "interval_ms": args.interval,
            "rss_first_kib": first, "rss_end_kib": end, "rss_peak_kib": peak,
            "end_over_first": round(end / first, 3),
            "created": reports.count("CREATED"), "grew": reports.count("GREW"),
            "deleted": reports.count("DELETED"), "seconds": round(time.monotonic() - started, 1)}))
    finally:
        agent.terminate()
        agent.wait(30)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
