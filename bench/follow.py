#!/usr/bin/env python3
"""vantrel-agent --follow measured, and its loss test at length.

  bench/follow.py rate    lines a second and CPU per MB of vantrel-agent
                          --follow against `tail -F -n0`, both on the same
                          file at the same time: a steady rate (--rate lines a
                          second for --seconds) and a burst (--burst lines
                          appended at once, time until each has written them)
  bench/follow.py loss    the suite's rotation test for longer: a writer
                          appends numbered lines to three logs that logrotate
                          rotates every second (create; create, compress and
                          delaycompress; copytruncate) while the agent is
                          stopped with SIGTERM and with kill -9 and started
                          again on its state, --restarts times; checks every
                          line once (twice only for the unsaved second after
                          kill -9), in order, gaps only in copytruncate's log

Each prints one JSON object per run on standard output and a summary on
standard error. Programs come from --build (default: build/).
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LINE = "x" * 90  # with its number and name: lines of 100 bytes


def log(text):
    print(text, file=sys.stderr, flush=True)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def agent_argv(args, extra):
    build = os.path.abspath(args.build)
    return [os.path.join(build, "agent", "vantrel-agent"), "--library",
            os.path.join(build, "lib", "libVantrelMonitor.so"), "--follow"] + extra


class Counter:
    """A program whose standard output is counted in lines by a thread."""

    def __init__(self, argv, stderr=subprocess.DEVNULL):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=stderr)
        self.lines = 0
        self.thread = threading.Thread(target=self._count, daemon=True)
        self.thread.start()

    def _count(self):
        while True:
            chunk = self.proc.stdout.read1(1 << 16)
            if not chunk:
                return
            self.lines += chunk.count(b"\n")

    def wait_for(self, lines, timeout):
        end = time.time() + timeout
        while self.lines < lines and time.time() < end:
            time.sleep(0.005)
        return self.lines >= lines

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=60)


def cmd_rate(args):
    work = tempfile.mkdtemp(prefix="follow-bench-")
    path = os.path.join(work, "app.log")
    open(path, "w").close()
    try:
        for run in range(args.repeat):
            conf = os.path.join(work, "fast.conf")
            with open(conf, "w") as f:
                f.write("FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 20\n")
            agent = Counter(agent_argv(args, ["--config", conf, "--interval", str(args.interval), path]),
                            stderr=subprocess.PIPE)
            while b"watching" not in agent.proc.stderr.readline():
                pass
            tail = Counter(["tail", "-F", "-n0", "-s", str(args.interval / 1000), path])
            time.sleep(0.5)
            readers = {"vantrel-agent": agent, "tail -F": tail}
            cpu0 = {name: cpu_seconds(r.proc.pid) for name, r in readers.items()}
            # Steady: batches every 10 ms.
            written, start = 0, time.time()
            with open(path, "a") as out:
                while time.time() - start < args.seconds:
                    due = int((time.time() - start) * args.rate)
                    out.write("".join(f"{i:09d} {LINE}\n" for i in range(written, due)))
                    out.flush()
                    written = due
                    time.sleep(0.01)
            for r in readers.values():
                r.wait_for(written, 30)
            steady_mb = written * 100 / 1e6
            cpu1 = {name: cpu_seconds(r.proc.pid) for name, r in readers.items()}
            # Burst: --burst lines at once; time until each reader wrote them all.
            burst = "".join(f"{i:09d} {LINE}\n" for i in range(args.burst)).encode()
            base = {name: r.lines for name, r in readers.items()}
            t0 = time.time()
            with open(path, "ab") as out:
                out.write(burst)
            took = {}
            while len(took) < len(readers) and time.time() - t0 < 120:
                for name, r in readers.items():
                    if name not in took and r.lines - base[name] >= args.burst:
                        took[name] = time.time() - t0
                time.sleep(0.002)
            cpu2 = {name: cpu_seconds(r.proc.pid) for name, r in readers.items()}
            for name, r in readers.items():
                record = {
                    "bench": "follow-rate", "reader": name, "run": run, "rate": args.rate,
                    "steady_lines": written, "steady_lines_out": base[name],
                    "cpu_ms_per_mb_steady": round((cpu1[name] - cpu0[name]) * 1000 / steady_mb, 2),
                    "burst_lines": args.burst,
                    "burst_lines_per_s": round(args.burst / took[name]) if name in took else None,
                    "cpu_ms_per_mb_burst": round((cpu2[name] - cpu1[name]) * 1000 / (args.burst * 100 / 1e6), 2),
                }
                print(json.dumps(record, sort_keys=True), flush=True)
                log(f"{name:14s} steady {args.rate} lines/s: {record['cpu_ms_per_mb_steady']} ms CPU/MB; "
                    f"burst: {record['burst_lines_per_s']} lines/s, {record['cpu_ms_per_mb_burst']} ms CPU/MB")
            for r in readers.values():
                r.stop()
            os.truncate(path, 0)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def cmd_loss(args):
    work = tempfile.mkdtemp(prefix="follow-loss-")
    logs = os.path.join(work, "logs")
    os.makedirs(logs)
    conf = os.path.join(work, "rotate.conf")
    with open(conf, "w") as f:
        f.write(f"{logs}/a.log {{\n rotate 10000\n create\n}}\n"
                f"{logs}/b.log {{\n rotate 10000\n create\n compress\n delaycompress\n}}\n"
                f"{logs}/c.log {{\n rotate 10000\n copytruncate\n}}\n")
    fast = os.path.join(work, "fast.conf")
    with open(fast, "w") as f:
        f.write("FileMonitorNoFSRedirect.EventLogMonitor.ScheduleExpirySweepPeriodMillis = 20\n")
    state = os.path.join(work, "state")
    for name in "abc":
        open(os.path.join(logs, f"{name}.log"), "w").close()
    argv = agent_argv(args, ["--config", fast, "--json", "--state", state, "--interval", "50", f"{logs}/*.log*", "--exclude", "*.backup"])
    outputs, stop, counts = [], threading.Event(), {"written": 0, "rotations": 0}

    def start():
        out = open(os.path.join(work, f"out{len(outputs)}"), "wb+")
        err = open(os.path.join(work, f"err{len(outputs)}"), "wb+")
        proc = subprocess.Popen(argv, stdout=out, stderr=err)
        outputs.append((out, err, proc))
        end = time.time() + 30
        while time.time() < end:
            err.seek(0)
            if b"watching" in err.read():
                return proc
            time.sleep(0.02)
        sys.exit("the agent did not start")

    def writer():
        i = 0
        while not stop.is_set():
            i += 1
            for name in "abc":
                with open(os.path.join(logs, f"{name}.log"), "a") as f:
                    f.write(f"{name} {i:06d}\n")
            counts["written"] = i
            time.sleep(1 / args.rate)

    # Held by whoever rotates, and across a restart: between a stop and the
    # agent watching again there is exactly one rotation, as delaycompress
    # keeps only one uncompressed for an agent that is down.
    lock, last = threading.Lock(), [time.time()]

    def rotate():
        if subprocess.call(["logrotate", "-f", "-s", os.path.join(work, "lr.state"), conf]) == 0:
            counts["rotations"] += 1
        last[0] = time.time()

    def rotator():
        # A second apart, also across the rotations while the agent is down.
        while not stop.wait(0.05):
            with lock:
                if time.time() - last[0] >= 1:
                    rotate()

    proc = start()
    threads = [threading.Thread(target=writer, daemon=True), threading.Thread(target=rotator, daemon=True)]
    for t in threads:
        t.start()
    kills = []
    for k in range(args.restarts):
        time.sleep(args.seconds / (args.restarts + 1))
        sig = signal.SIGTERM if k % 2 == 0 else signal.SIGKILL
        with lock:
            proc.send_signal(sig)
            proc.wait()
            kills.append(sig)
            rotate()  # while it is down
            time.sleep(0.2)
            proc = start()
            last[0] = time.time()
    time.sleep(args.seconds / (args.restarts + 1))
    stop.set()
    for t in threads:
        t.join()
    total = counts["written"]
    end = time.time() + 60
    while time.time() < end:
        outputs[-1][0].seek(0)
        text = outputs[-1][0].read()
        if all(f'"{n} {total:06d}"'.encode() in text for n in "abc"):
            break
        time.sleep(0.1)
    proc.send_signal(signal.SIGTERM)
    proc.wait()

    runs = []
    for out, err, _ in outputs:
        out.seek(0)
        per = {"a": [], "b": [], "c": []}
        for line in out.read().splitlines():
            text = json.loads(line)["line"]
            per[text[0]].append(int(text[2:8]))
        runs.append(per)
    failures, result = [], {"bench": "follow-loss", "written": total, "rotations": counts["rotations"],
                            "restarts": args.restarts}
    # logrotate's create, meeting a writer that made the file anew between
    # its rename and its create, moves that file aside as *.backup (left out
    # above): what is there was not the agent's to lose.
    moved = {"a": set(), "b": set(), "c": set()}
    for name in os.listdir(logs):
        if name.endswith(".backup"):
            for line in open(os.path.join(logs, name), errors="replace"):
                if len(line) >= 8 and line[0] in moved:
                    moved[line[0]].add(int(line[2:8]))
    result["moved_aside_by_logrotate"] = sum(len(m) for m in moved.values())
    budget = 2 * args.rate
    for name in "abc":
        seq, dups = [], 0
        for k, per in enumerate(runs):
            got = per[name]
            if any(b <= a for a, b in zip(got, got[1:])):
                failures.append(f"{name}: out of order in run {k}")
            if k > 0 and got and seq:
                again = [n for n in got if n <= seq[-1]]
                if kills[k - 1] == signal.SIGTERM and again:
                    failures.append(f"{name}: {len(again)} lines twice after SIGTERM")
                if len(again) > budget:
                    failures.append(f"{name}: {len(again)} lines twice after kill -9")
                dups += len(again)
                got = [n for n in got if n > seq[-1]]
            seq += got
        # Lines moved aside are not missing, nor gaps between those written.
        present = sorted(set(seq) | moved[name])
        missing = total - len(present)
        gaps = sum(1 for a, b in zip(present, present[1:]) if b != a + 1) + (present[0] != 1 if present else 1)
        result[f"{name}_missing"], result[f"{name}_gaps"], result[f"{name}_again"] = missing, gaps, dups
        if name != "c" and missing:
            failures.append(f"{name}: {missing} lines lost")
        if name == "c" and gaps > counts["rotations"]:
            failures.append(f"c: {gaps} gaps in {counts['rotations']} rotations")
    outputs[-1][1].seek(0)
    summary = re.findall(rb"(\d+) truncations and", outputs[-1][1].read())
    result["truncations_counted"] = int(summary[-1]) if summary else None
    result["failures"] = failures
    print(json.dumps(result, sort_keys=True), flush=True)
    log(("FAILED: " + "; ".join(failures)) if failures else
        f"every line once: {total} lines in each of 3 logs, {counts['rotations']} rotations, "
        f"{args.restarts} restarts; copytruncate's log: {result['c_missing']} lines in {result['c_gaps']} windows, "
        f"{result['truncations_counted']} truncations counted")
    if args.keep:
        log(f"kept {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("rate")
    p.add_argument("--rate", type=int, default=20000, help="lines a second of the steady part")
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--burst", type=int, default=2000000)
    p.add_argument("--interval", type=int, default=100, help="check interval (agent) and sleep (tail), ms")
    p.add_argument("--repeat", type=int, default=3)
    p = sub.add_parser("loss")
    p.add_argument("--rate", type=int, default=200, help="lines a second into each log")
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--restarts", type=int, default=6, help="alternately SIGTERM and kill -9")
    p.add_argument("--keep", action="store_true", help="keep the logs and the agents' output")
    args = parser.parse_args()
    return {"rate": cmd_rate, "loss": cmd_loss}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
