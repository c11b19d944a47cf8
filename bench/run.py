#!/usr/bin/env python3
"""Benchmarks of vantrel-agent against the bare system calls and libuv.

One command per measurement; each prints one JSON object per run on standard
output (append it to a file for bench/plot.py) and a summary with the median
and the spread on standard error:

  bench/run.py cpu        CPU per check through the agent, both monitor kinds,
                          against the floors (stat; stat+open/fstat/close) and
                          libuv's uv_fs_poll, all in the same run
  bench/run.py scale      ready time and peak RSS per path
  bench/run.py rate       checks per second achieved against due (--stats)
  bench/run.py latency    append -> report, median and 99th percentile
  bench/run.py instructions
                          user-space instructions a check in the steady
                          state, counted by callgrind: the same count for the
                          same binary whatever the machine's load

The watched files are made once per count under --files-root (40-character
paths) and kept for later runs. Programs come from --build (default: build/).
The machine is shared and CPU numbers are noisy: every command repeats its
runs (--repeat) and reports medians; `instructions` needs no repeat.
"""

import argparse
import json
import os
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PATH_LENGTH = 40
PER_DIR = 10000


def log(text):
    print(text, file=sys.stderr, flush=True)


def emit(record):
    print(json.dumps(record, sort_keys=True), flush=True)


# ---------------------------------------------------------------------------
# The watched files


def file_set(root, count):
    """Makes (once) `count` files with 40-character paths; returns the file
    that lists them and an agent configuration that watches them."""
    base = os.path.join(root, str(count))
    paths_file = os.path.join(base, "paths.txt")
    conf_file = os.path.join(base, "agent.conf")
    done = os.path.join(base, "complete")
    if os.path.exists(done):
        return paths_file, conf_file
    log(f"making {count} files under {base} ...")
    os.makedirs(base, exist_ok=True)
    paths = []
    for i in range(count):
        d = os.path.join(base, f"d{i // PER_DIR:03d}")
        if i % PER_DIR == 0:
            os.makedirs(d, exist_ok=True)
        stem = f"{d}/f"
        width = PATH_LENGTH - len(stem) - len(".log")
        if width < len(str(i)):
            sys.exit(f"--files-root {root} is too long for {PATH_LENGTH}-character paths")
        p = f"{stem}{i:0{width}d}.log"
        with open(p, "w") as f:
            f.write("x\n")
        paths.append(p)
    with open(paths_file, "w") as f:
        f.write("\n".join(paths) + "\n")
    with open(conf_file, "w") as f:
        f.write("Log.Level = warn\n")
        for p in paths:
            f.write(f"Watch = {p}\n")
    open(done, "w").close()
    return paths_file, conf_file


def read_paths(paths_file):
    with open(paths_file) as f:
        return [line.rstrip("\n") for line in f if line.strip()]


# ---------------------------------------------------------------------------
# Processes


def cpu_seconds(pid):
    """CPU time of every thread of the process, in nanosecond resolution
    (the threads live as long as the measured window)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def peak_rss(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


class Program:
    """A process whose standard error is read line by line on a thread."""

    def __init__(self, argv, stdout=subprocess.DEVNULL):
        self.argv = argv
        self.started = time.monotonic()
        self.proc = subprocess.Popen(argv, stdout=stdout, stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = []
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stderr:
            with self.cond:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
                self.cond.notify_all()
        with self.cond:
            self.lines.append((time.monotonic(), None))
            self.cond.notify_all()

    def wait_line(self, predicate, timeout, start=0):
        """Waits for a line of standard error that matches; returns
        (index, time, line). Fails on end of output or on the deadline."""
        deadline = time.monotonic() + timeout
        i = start
        with self.cond:
            while True:
                while i < len(self.lines):
                    when, line = self.lines[i]
                    if line is None:
                        raise RuntimeError(f"{self.argv[0]} ended early: {self.tail()}")
                    if predicate(line):
                        return i, when, line
                    i += 1
                left = deadline - time.monotonic()
                if left <= 0:
                    raise RuntimeError(f"{self.argv[0]}: no expected line within {timeout} s: {self.tail()}")
                self.cond.wait(left)

    def tail(self):
        return " | ".join(l for _, l in self.lines[-5:] if l)

    def stop(self, timeout=120):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
        self.reader.join(10)


# Programs that are a monitor kind with settings of their own: the name, the
# kind, and the lines added to the agent's configuration.
VARIANTS = {
    # The notification monitor reading every file at every check, as it did
    # before file notifications spared unchanged files.
    "notify-full": ("notify", ["FileMonitorNoFSRedirect.FileMonitor.FullCheckPeriodMillis = 0"]),
    # The notification monitor checking a notified file at its interval, not
    # at the next sweep (the agent turns early checks on by default).
    "notify-late": ("notify", ["FileMonitorNoFSRedirect.FileMonitor.CheckWhenNotified = false"]),
}


def variant_conf(conf, program):
    """The monitor kind of `program` and the configuration it runs with."""
    if program not in VARIANTS:
        return program, conf
    kind, lines = VARIANTS[program]
    path = f"{conf[:-len('.conf')]}-{program}.conf"
    with open(conf) as f, open(path, "w") as out:
        out.write(f.read())
        out.write("".join(line + "\n" for line in lines))
    return kind, path


def agent_argv(args, monitor, conf, interval, extra=()):
    monitor, conf = variant_conf(conf, monitor)
    return [os.path.join(args.build, "agent", "vantrel-agent"), "--monitor", monitor, "--interval", str(interval),
            "--config", conf, "--log-level", "warn", *extra]


def is_ready(line):
    return line.startswith("watching ")


def is_stats(line):
    return line.startswith("stats: ")


def parse_stats(line):
    # stats: P paths, T threads, Q queued, C checks and R reports in the last S s
    words = line.split()
    return {"paths": int(words[1]), "threads": int(words[3]), "queued": int(words[5]),
            "checks": int(words[7]), "reports": int(words[10]), "seconds": float(words[15])}


def machine():
    return {"cores": os.cpu_count(), "load1": os.getloadavg()[0]}


def summarize(name, values, unit):
    if not values:
        return
    med = statistics.median(values)
    log(f"  {name}: median {med:.3f} {unit}, min {min(values):.3f}, max {max(values):.3f} ({len(values)} runs)")


# ---------------------------------------------------------------------------
# cpu


def run_peer(args, mode, paths_file, interval, seconds):
    prog = Program([os.path.join(args.build, "bench", "vantrel_peer"), mode, paths_file, str(interval)],
                   stdout=subprocess.PIPE)
    prog.wait_line(lambda l: l == "ready", 600)
    before = cpu_seconds(prog.proc.pid)
    time.sleep(seconds)
    cpu = cpu_seconds(prog.proc.pid) - before
    prog.stop()
    return cpu


def run_agent_cpu(args, monitor, conf, interval, seconds):
    prog = Program(agent_argv(args, monitor, conf, interval, ["--stats", str(seconds)]))
    i, _, _ = prog.wait_line(is_ready, 600)
    before = cpu_seconds(prog.proc.pid)
    _, _, line = prog.wait_line(is_stats, seconds * 3 + 60, i)
    cpu = cpu_seconds(prog.proc.pid) - before
    prog.stop()
    return cpu, parse_stats(line)


def cmd_cpu(args):
    peers = ["stat", "statopen", "uvpoll"]
    kinds = [k for k in args.programs.split(",")]
    results, per_second = {}, {}
    for count in [int(c) for c in args.files.split(",")]:
        paths_file, conf = file_set(args.files_root, count)
        for run in range(args.repeat):
            for program in kinds:
                if program in peers:
                    cpu = run_peer(args, program, paths_file, args.interval, args.seconds)
                    checks = count * args.seconds * 1000 / args.interval
                    stats = {}
                else:
                    cpu, stats = run_agent_cpu(args, program, conf, args.interval, args.seconds)
                    checks = stats["checks"]
                rec = {"bench": "cpu", "program": program, "files": count, "interval_ms": args.interval,
                       "seconds": args.seconds, "run": run, "cpu_s": cpu, "cpu_per_s": cpu / args.seconds,
                       "checks": checks, "us_per_check": cpu * 1e6 / checks if checks else None, **machine()}
                if stats:
                    rec["threads"] = stats["threads"]
                emit(rec)
                results.setdefault((count, program), []).append(rec["us_per_check"] or 0.0)
                per_second.setdefault((count, program), []).append(rec["cpu_per_s"])
    for (count, program), values in sorted(results.items()):
        summarize(f"{count} files {program}", values, "us/check")
    # Each ratio from the medians of one run's programs: the floors and the
    # peer were measured alongside, on the same machine at the same load.
    ratios = [("poll", "stat"), ("poll", "uvpoll"), ("notify", "statopen"), ("notify", "poll"),
              ("notify-full", "statopen")]
    for count in sorted({c for c, _ in results}):
        med = {p: statistics.median(v) for (c, p), v in results.items() if c == count and v}
        for a, b in ratios:
            if med.get(a) and med.get(b):
                log(f"  {count} files: {a} / {b} = {med[a] / med[b]:.2f}")
        # A monitor that spares checks makes fewer of them: monitors are
        # compared by their CPU a second as well (a run shorter than the full
        # check period leaves the full checks out).
        cps = {p: statistics.median(v) for (c, p), v in per_second.items() if c == count and v}
        for a, b in [("notify", "poll"), ("notify-full", "poll")]:
            if cps.get(a) and cps.get(b):
                log(f"  {count} files: {a} / {b} CPU a second = {cps[a] / cps[b]:.3f}")


# ---------------------------------------------------------------------------
# scale


def cmd_scale(args):
    for count in [int(c) for c in args.files.split(",")]:
        _, conf = file_set(args.files_root, count)
        for monitor in args.monitor.split(","):
            ready, cpu, per_path = [], [], []
            for run in range(args.repeat):
                prog = Program(agent_argv(args, monitor, conf, args.interval))
                _, when, _ = prog.wait_line(is_ready, 1800)
                ready_s = when - prog.started
                # CPU of the whole start: reading the configuration, the
                # agent's own look at every path, registration, and the wait
                # for first reports (idle: none come within it at 60 s).
                start_cpu = cpu_seconds(prog.proc.pid)
                time.sleep(args.settle)
                rss = peak_rss(prog.proc.pid)
                t0 = time.monotonic()
                prog.stop(1800)
                stop_s = time.monotonic() - t0
                rec = {"bench": "scale", "program": monitor, "files": count, "run": run, "ready_s": ready_s,
                       "us_per_path": ready_s * 1e6 / count, "start_cpu_s": start_cpu,
                       "cpu_us_per_path": start_cpu * 1e6 / count, "peak_rss": rss, "bytes_per_path": rss / count,
                       "stop_s": stop_s, **machine()}
                emit(rec)
                ready.append(rec["us_per_path"])
                cpu.append(rec["cpu_us_per_path"])
                per_path.append(rec["bytes_per_path"])
            summarize(f"{count} paths {monitor} ready", ready, "us/path")
            summarize(f"{count} paths {monitor} start CPU", cpu, "us/path")
            summarize(f"{count} paths {monitor} peak RSS", per_path, "bytes/path")


# ---------------------------------------------------------------------------
# rate


def cmd_rate(args):
    count = args.files
    _, conf = file_set(args.files_root, count)
    due = count * 1000.0 / args.interval
    for monitor in args.monitor.split(","):
        shares = []
        for run in range(args.repeat):
            prog = Program(agent_argv(args, monitor, conf, args.interval, ["--stats", str(args.stats)]))
            i, ready_at, _ = prog.wait_line(is_ready, 1800)
            samples = []
            end = ready_at + args.seconds
            while time.monotonic() < end:
                i, when, line = prog.wait_line(is_stats, args.stats * 3 + 60, i + 1)
                samples.append((when - ready_at, parse_stats(line)))
            prog.stop(1800)
            # The first interval is the start-up: nothing is due before it.
            steady = [s for t, s in samples if t - s["seconds"] >= args.interval / 1000.0]
            # A whole number of intervals: the checks of one interval may come
            # in a wave, and part of an interval would catch more or less of it.
            per_interval = max(1, round(args.interval / 1000.0 / args.stats))
            steady = steady[:len(steady) - len(steady) % per_interval]
            checks = sum(s["checks"] for s in steady)
            secs = sum(s["seconds"] for s in steady)
            warns = [(t, l) for t, l in prog.lines if l and (" WARN " in l or " ERROR " in l)]
            # Start-up is the registration and the first interval after it.
            late_warns = [l for t, l in warns if t - ready_at > args.interval / 1000.0]
            rate = checks / secs if secs else 0.0
            rec = {"bench": "rate", "program": monitor, "files": count, "interval_ms": args.interval, "run": run,
                   "due_per_s": due, "checks_per_s": rate, "share": rate / due, "steady_s": secs,
                   "max_queued": max((s["queued"] for _, s in samples), default=0),
                   "threads": samples[-1][1]["threads"] if samples else 0, "warn_lines": len(warns),
                   "warn_s_after_ready": [round(t - ready_at, 1) for t, _ in warns],
                   "warn_lines_after_startup": len(late_warns),
                   "first_warn": warns[0][1] if warns else None, "ready_s": ready_at - prog.started, **machine()}
            emit(rec)
            shares.append(rec["share"] * 100)
        summarize(f"{count} files every {args.interval} ms {monitor}", shares, "% of due checks")


# ---------------------------------------------------------------------------
# latency


def cmd_latency(args):
    count = args.files
    paths_file, conf = file_set(args.files_root, count)
    paths = read_paths(paths_file)
    rng = random.Random(args.seed)
    for monitor in args.monitor.split(","):
        med_all, p99_all = [], []
        for run in range(args.repeat):
            prog = Program(agent_argv(args, monitor, conf, args.interval, ["--json"]), stdout=subprocess.PIPE)
            reports = {}
            lock = threading.Lock()

            def read_reports(out=prog.proc.stdout):
                for line in out:
                    now = time.monotonic()
                    try:
                        path = json.loads(line)["path"]
                    except (ValueError, KeyError):
                        continue
                    with lock:
                        reports.setdefault(path, []).append(now)

            reader = threading.Thread(target=read_reports, daemon=True)
            reader.start()
            prog.wait_line(is_ready, 600)
            # Every record has taken its baseline after one interval and a sweep.
            time.sleep(2 * args.interval / 1000.0 + 0.5)
            appended = []
            recent = {}
            for _ in range(args.appends):
                while True:
                    p = rng.choice(paths)
                    if time.monotonic() - recent.get(p, -1e9) > 3 * args.interval / 1000.0:
                        break
                with open(p, "a") as f:
                    f.write("y\n")
                t0 = time.monotonic()
                recent[p] = t0
                appended.append((p, t0))
                time.sleep(rng.uniform(0.005, 0.03))
            time.sleep(3 * args.interval / 1000.0)
            prog.stop()
            reader.join(10)
            lat, missing = [], 0
            with lock:
                for p, t0 in appended:
                    later = [t for t in reports.get(p, []) if t >= t0]
                    if later:
                        lat.append((min(later) - t0) * 1000)
                    else:
                        missing += 1
            lat.sort()
            p99 = lat[min(len(lat) - 1, int(round(0.99 * len(lat))) - 1)] if lat else None
            rec = {"bench": "latency", "program": monitor, "files": count, "interval_ms": args.interval,
                   "run": run, "appends": len(appended), "missing": missing,
                   "median_ms": statistics.median(lat) if lat else None, "p99_ms": p99,
                   "max_ms": lat[-1] if lat else None, **machine()}
            emit(rec)
            if lat:
                med_all.append(rec["median_ms"])
                p99_all.append(p99)
        summarize(f"{count} files every {args.interval} ms {monitor} median", med_all, "ms")
        summarize(f"{count} files every {args.interval} ms {monitor} p99", p99_all, "ms")


# ---------------------------------------------------------------------------
# instructions


def callgrind_counts(path):
    """The total instructions of a callgrind dump, and how often each
    function was called, by name."""
    names, calls, total, callee = {}, {}, 0, None
    with open(path) as f:
        for line in f:
            if line.startswith("summary:"):
                total = int(line.split()[1])
                continue
            m = re.match(r"c?fn=\((\d+)\)(?: (.*))?", line)
            if m:
                if m.group(2):
                    names[m.group(1)] = m.group(2).strip()
                callee = names.get(m.group(1), "") if line.startswith("cfn=") else None
            elif line.startswith("calls=") and callee is not None:
                calls[callee] = calls.get(callee, 0) + int(line.split()[0][len("calls="):])
                callee = None
    return total, calls


def cmd_instructions(args):
    # Every thread of the agent counts (the sweep, the workers, the
    # receiver); the kernel's work does not: callgrind sees user space only.
    _, conf = file_set(args.files_root, args.files)
    for monitor in args.monitor.split(","):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "callgrind.out")
            argv = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", f"--log-file={tmp}/valgrind.log",
                    *agent_argv(args, monitor, conf, args.interval)]
            prog = Program(argv)
            prog.wait_line(is_ready, 1800)
            # Every path's first check comes an interval after its
            # registration; the steady state begins after it.
            time.sleep(args.settle)
            pid = str(prog.proc.pid)
            subprocess.run(["callgrind_control", "-z", pid], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            time.sleep(args.seconds)
            subprocess.run(["callgrind_control", "-d", pid], check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            prog.stop()
            dumps = sorted(p for p in os.listdir(tmp) if p.startswith("callgrind.out."))
            total, calls = callgrind_counts(os.path.join(tmp, dumps[-1]))
            if args.keep:
                os.replace(os.path.join(tmp, dumps[-1]), f"{args.keep}-{monitor}.callgrind")
        checks = sum(n for name, n in calls.items() if "FileMonitorCore::HandleCheck(" in name)
        rec = {"bench": "instructions", "program": monitor, "files": args.files, "interval_ms": args.interval,
               "seconds": args.seconds, "checks": checks, "instructions": total,
               "per_check": total / checks if checks else None, "per_second": total / args.seconds, **machine()}
        emit(rec)
        # A monitor that spares unchanged files makes few checks or none:
        # its count a second is the one to compare.
        per_check = f"{rec['per_check']:.0f} instructions a check, " if checks else ""
        log(f"  {args.files} files {monitor}: {per_check}{rec['per_second']:.0f} a second ({checks} checks)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--files-root", default="/tmp/vbf")
    parser.add_argument("--repeat", type=int, default=3)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("cpu")
    p.add_argument("--files", default="10000", help="comma-separated file counts")
    p.add_argument("--interval", type=int, default=1000)
    p.add_argument("--seconds", type=int, default=15)
    p.add_argument("--programs", default="stat,statopen,uvpoll,poll,notify")
    p.set_defaults(fn=cmd_cpu)

    p = sub.add_parser("scale")
    p.add_argument("--files", default="100000,1000000")
    p.add_argument("--monitor", default="poll,notify")
    p.add_argument("--interval", type=int, default=60000)
    p.add_argument("--settle", type=float, default=2.0, help="seconds after ready before the RSS is read")
    p.set_defaults(fn=cmd_scale)

    p = sub.add_parser("rate")
    p.add_argument("--files", type=int, default=200000)
    p.add_argument("--interval", type=int, default=10000)
    p.add_argument("--seconds", type=int, default=40)
    p.add_argument("--stats", type=int, default=5)
    p.add_argument("--monitor", default="poll,notify")
    p.set_defaults(fn=cmd_rate)

    p = sub.add_parser("latency")
    p.add_argument("--files", type=int, default=10000)
    p.add_argument("--interval", type=int, default=1000)
    p.add_argument("--appends", type=int, default=300)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--monitor", default="poll,notify")
    p.set_defaults(fn=cmd_latency)

    p = sub.add_parser("instructions")
    p.add_argument("--files", type=int, default=10000)
    p.add_argument("--interval", type=int, default=1000)
    p.add_argument("--monitor", default="poll,notify")
    p.add_argument("--seconds", type=int, default=8, help="seconds counted")
    p.add_argument("--settle", type=float, default=5.0, help="seconds after ready before counting starts")
    p.add_argument("--keep", help="keeps each profile as KEEP-MONITOR.callgrind, for callgrind_annotate")
    p.set_defaults(fn=cmd_instructions)

    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.fn(args)


if __name__ == "__main__":
    main()
