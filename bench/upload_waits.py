"""When nginx waited during an upload, and what held the cores meanwhile.

    python bench/upload_waits.py [--site DIR | --client NAME] [--runs 20]

Records `perf sched` on all CPUs over --runs fresh-process uploads of 64 MiB
(one client, the suite's adapter, a warm GET first) and prints one line per
upload, slowest rest last: its time, nginx's time on a CPU, its time runnable
but not running, and which tasks held each CPU while nginx waited ("client"
for the uploading process and every thread it started, "idle" for an idle
CPU). Needs root (or
perf_event_paranoid -1) for the sched tracepoints.
"""

import argparse
import bisect
import collections
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, HERE)

import procstat  # noqa: E402
from callgrind import client_python  # noqa: E402
from servers import NginxServer  # noqa: E402

CHILD = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
from clients import CLIENTS
c = CLIENTS[sys.argv[4]]("http", None)
body = os.urandom(64 << 20)
c.get(sys.argv[3])
t0 = time.clock_gettime(time.CLOCK_MONOTONIC)
c.post(sys.argv[2], body)
t1 = time.clock_gettime(time.CLOCK_MONOTONIC)
c.close()
print(json.dumps({"t0": t0, "t1": t1, "pid": os.getpid()}))
"""

LINE = re.compile(r"\s*(\d+)\s+\[(\d+)\]\s+([\d.]+):\s+"
                  r"sched:(sched_switch|sched_waking|sched_process_fork):\s+(.*)")
SWITCH = re.compile(r"prev_pid=(\d+) .*prev_state=(\S+) ==> next_comm=(.*) next_pid=(\d+)")
WAKING = re.compile(r"comm=.* pid=(\d+) ")
FORK = re.compile(r"comm=.* pid=(\d+) child_comm=.* child_pid=(\d+)")
STEP = 20e-6


def parse(lines, watched):
    """Per watched task, its (time, state, cpu) changes ('run', 'runnable',
    'sleep', 'wake'); per CPU, (time, pid, comm) of each task switched in;
    per task, the tasks (threads too) it started."""
    tasks, cpus = collections.defaultdict(list), collections.defaultdict(list)
    children = collections.defaultdict(list)
    for line in lines:
        m = LINE.match(line)
        if not m:
            continue
        cpu, t, event, rest = int(m.group(2)), float(m.group(3)), m.group(4), m.group(5)
        if event == "sched_process_fork":
            s = FORK.search(rest)
            if s:
                children[int(s.group(1))].append(int(s.group(2)))
        elif event == "sched_switch":
            s = SWITCH.search(rest)
            if not s:
                continue
            prev, nxt = int(s.group(1)), int(s.group(4))
            cpus[cpu].append((t, nxt, s.group(3)))
            if prev in watched:
                tasks[prev].append((t, "runnable" if s.group(2).startswith("R") else "sleep", cpu))
            if nxt in watched:
                tasks[nxt].append((t, "run", cpu))
        else:
            s = WAKING.search(rest)
            if s and int(s.group(1)) in watched:
                tasks[int(s.group(1))].append((t, "wake", cpu))
    return tasks, cpus, children


def family(children, pid):
    """pid and every task started from it, the per-call threads included."""
    out, todo = set(), [pid]
    while todo:
        p = todo.pop()
        out.add(p)
        todo.extend(children.get(p, []))
    return out


def timeline(changes, t0, t1):
    """(start, end, state) pieces of [t0, t1]; a woken sleeper is runnable."""
    pieces, state, since = [], None, t0
    for t, what, _cpu in changes:
        new = ("runnable" if state in ("sleep", None) else state) if what == "wake" else what
        if t <= t0:
            state = new
            continue
        if t >= t1:
            break
        if state is not None:
            pieces.append((since, t, state))
        state, since = new, t
    if state is not None:
        pieces.append((since, t1, state))
    return pieces


def total(pieces, state):
    return sum(b - a for a, b, s in pieces if s == state)


def holders(pieces, cpus, client_tids, t0, t1):
    """While the pieces are 'runnable': time per (cpu, holder)."""
    starts = {c: [x[0] for x in v] for c, v in cpus.items()}
    out = collections.Counter()
    for a, b, s in pieces:
        if s != "runnable":
            continue
        t = a
        while t < b:
            for c, switches in cpus.items():
                i = bisect.bisect_right(starts[c], t) - 1
                if i < 0:
                    continue
                pid, comm = switches[i][1], switches[i][2]
                who = "client" if pid in client_tids else ("idle" if pid == 0 else comm)
                out["cpu%d %s" % (c, who)] += min(STEP, b - t)
            t += STEP
    return out


def summarize(window, tasks, cpus, children, servers):
    t0, t1 = window["t0"], window["t1"]
    # the worker that ran the upload is the one that ran most in its window
    pieces = max((timeline(tasks.get(p, []), t0, t1) for p in servers), key=lambda x: total(x, "run"))
    ms = (t1 - t0) * 1000
    run, waited = total(pieces, "run") * 1000, total(pieces, "runnable") * 1000
    held = holders(pieces, cpus, family(children, window["pid"]), t0, t1)
    return {"ms": ms, "server_run_ms": run, "server_waited_ms": waited, "rest_ms": ms - run,
            "held_ms": {k: v * 1000 for k, v in held.items()}}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--site", help="installed tarnwick dir (the default client)")
    ap.add_argument("--client", default="tarnwick", help="one of the suite's clients")
    ap.add_argument("--runs", type=int, default=20)
    args = ap.parse_args()
    python, env = client_python(args.client, args.site)
    with tempfile.TemporaryDirectory() as tmp, NginxServer(big_mib=1) as server:
        data = os.path.join(tmp, "sched.data")
        servers = procstat.descendants(server.pid, "nginx")
        perf = subprocess.Popen(["perf", "sched", "record", "-a", "-k", "CLOCK_MONOTONIC",
                                 "-o", data], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        windows = []
        try:
            for _ in range(args.runs):
                p = subprocess.run([python, "-c", CHILD, HERE, server.url("/upload"),
                                    server.url("/1k.bin"), args.client],
                                   env=env, capture_output=True, text=True, timeout=120)
                if p.returncode != 0:
                    raise RuntimeError("upload failed:\n%s" % p.stderr[-2000:])
                windows.append(json.loads(p.stdout.splitlines()[-1]))
        finally:
            perf.send_signal(signal.SIGINT)
            perf.wait()
        script = subprocess.run(["perf", "script", "-i", data, "-F", "tid,cpu,time,event,trace"],
                                capture_output=True, text=True, check=True).stdout
    watched = set(servers)
    tasks, cpus, children = parse(script.splitlines(), watched)
    rows = sorted((summarize(w, tasks, cpus, children, servers) for w in windows),
                  key=lambda r: r["rest_ms"])
    for r in rows:
        held = ", ".join("%s %.1f" % kv for kv in sorted(r["held_ms"].items(), key=lambda kv: -kv[1])
                         if kv[1] >= 0.1)
        print("%5.1f ms: nginx ran %5.1f, waited %4.1f, rest %4.1f%s" % (
            r["ms"], r["server_run_ms"], r["server_waited_ms"], r["rest_ms"],
            "; while it waited: " + held if held else ""))


if __name__ == "__main__":
    main()
