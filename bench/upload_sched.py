"""Who waited for whom in an upload: the server's and the client's scheduling.

    python bench/upload_sched.py [--runs 40] [--mib 64] ARM [ARM ...]

An ARM is NAME=DIR (tarnwick installed in DIR) or the name of one of the
suite's other clients. Each run is a fresh process per arm, in random order
each round, that makes one POST through the suite's adapter after a warm GET,
as the suite does. Around the POST it reads, from schedstat, the nginx
workers' CPU and their time runnable but not running, their involuntary
switches, and the time the client's own threads spent runnable but not
running. Per arm it prints medians and how many uploads had a "rest" (time
minus the server's CPU, the part the client and the scheduler add) of 7 ms
or more.
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, HERE)

import procstat  # noqa: E402
from callgrind import client_python  # noqa: E402
from servers import NginxServer  # noqa: E402

SLOW_REST_MS = 7.0

CHILD = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
from clients import CLIENTS
url, warm, name, mib = sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
servers = [int(p) for p in sys.argv[6].split(",")]

def server():
    cpu = wait = invol = 0
    for pid in servers:
        run, delay = open("/proc/%d/schedstat" % pid).read().split()[:2]
        cpu, wait = cpu + int(run), wait + int(delay)
        for line in open("/proc/%d/status" % pid):
            if line.startswith("nonvoluntary_ctxt_switches"):
                invol += int(line.split()[1])
    return cpu / 1e6, wait / 1e6, invol

def own_wait():
    total = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            total += int(open("/proc/self/task/%s/schedstat" % tid).read().split()[1])
        except OSError:
            pass  # a thread that ended; its wait is lost
    return total / 1e6

c = CLIENTS[name]("http", None)
body = os.urandom(mib << 20)
c.get(warm)
w0, s0, t0 = own_wait(), server(), time.perf_counter()
status = c.post(url, body)
t1 = time.perf_counter()
s1, w1 = server(), own_wait()
c.close()
if status not in (200, 204):
    raise SystemExit("status %d" % status)
print(json.dumps({"ms": (t1 - t0) * 1000, "server_ms": s1[0] - s0[0],
                  "server_wait_ms": s1[1] - s0[1], "server_invol": s1[2] - s0[2],
                  "client_wait_ms": w1 - w0}))
"""


def summarize(rows):
    """Medians of one arm's runs, its rest's quartiles and its slow uploads."""
    med = {k: statistics.median(r[k] for r in rows) for k in rows[0]}
    rest = sorted(r["ms"] - r["server_ms"] for r in rows)
    q1, q2, q3 = statistics.quantiles(rest, n=4, method="inclusive") if len(rest) > 1 else rest * 3
    med.update(rest_q1=q1, rest_ms=q2, rest_q3=q3,
               slow=sum(1 for x in rest if x >= SLOW_REST_MS), n=len(rows))
    return med


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=40)
    ap.add_argument("--mib", type=int, default=64)
    ap.add_argument("arms", nargs="+", help="NAME=SITE_DIR for a tarnwick build, or a client name")
    args = ap.parse_args()
    arms = []
    for a in args.arms:
        name, _, site = a.partition("=")
        client = "tarnwick" if site else name
        arms.append((name,) + client_python(client, site) + (client,))
    rows = {a[0]: [] for a in arms}
    with NginxServer(big_mib=1) as server:
        workers = ",".join(str(p) for p in procstat.descendants(server.pid, "nginx"))
        for _ in range(args.runs):
            for name, python, env, client in random.sample(arms, len(arms)):
                p = subprocess.run([python, "-c", CHILD, HERE, server.url("/upload"),
                                    server.url("/1k.bin"), client, str(args.mib), workers],
                                   env=env, capture_output=True, text=True, timeout=120)
                if p.returncode != 0:
                    raise RuntimeError("%s failed:\n%s" % (name, p.stderr[-2000:]))
                rows[name].append(json.loads(p.stdout.splitlines()[-1]))
    for name, _, _, _ in arms:
        s = summarize(rows[name])
        print("%-10s n=%d  %.1f ms, server CPU %.1f ms; rest %.1f ms (quartiles %.1f..%.1f), "
              "%d of %d at %.0f ms or more; server waited %.2f ms, %.0f involuntary switches; "
              "client threads waited %.2f ms"
              % (name, s["n"], s["ms"], s["server_ms"], s["rest_ms"], s["rest_q1"], s["rest_q3"],
                 s["slow"], s["n"], SLOW_REST_MS, s["server_wait_ms"], s["server_invol"],
                 s["client_wait_ms"]))


if __name__ == "__main__":
    main()
