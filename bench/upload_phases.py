"""Where the time of an upload goes, from the client's own system calls.

    python bench/upload_phases.py [--site DIR] [--client NAME] [--runs 12]
                                  [--uploads 2] [--mib 64]

Each run is a fresh process (as in the suite) that makes --uploads POSTs of
--mib MiB through the suite's adapter for --client (tarnwick by default),
under `perf trace -e sendto,recvfrom,getppid`; getppid() marks the call's
start and return. Per upload (first, second, ...)
it prints the medians of: call -> request head sent, head -> first body send,
the body, last body send -> answer received, answer -> call returned; then
each run's answer -> return, where a woken thread that waited for a core
shows. Tracing slows the sends somewhat; compare builds with the same tool.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, HERE)

from callgrind import client_python  # noqa: E402
from servers import NginxServer  # noqa: E402

DRIVER = """
import os, sys
sys.path.insert(0, sys.argv[5])
from clients import CLIENTS
url, warm, mib, n = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
c = CLIENTS[sys.argv[6]]("http", None)
body = os.urandom(mib << 20)
c.get(warm)
for _ in range(n):
    os.getppid()
    c.post(url, body)
    os.getppid()
c.close()
"""

LINE = re.compile(r"\s*([\d.]+) \(\s*([\d.]+) ms\): \S+ (\w+)\((.*)\)\s*=\s*(-?\d*)")
PHASES = ["call->head", "head->body", "body", "last send->answer", "answer->return"]


def trace(python, env, args):
    with tempfile.NamedTemporaryFile("r", suffix=".txt") as out:
        cmd = ["perf", "trace", "-e", "sendto,recvfrom,getppid", "-o", out.name,
               "--", python, "-c", DRIVER] + args
        p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=300)
        if p.returncode != 0:
            raise RuntimeError("run failed:\n%s" % p.stderr[-2000:])
        events = []
        for line in out:
            m = LINE.match(line)
            if m:
                events.append((float(m.group(1)), float(m.group(2)), m.group(3), m.group(4),
                               int(m.group(5) or 0)))
        return events


def phases(events):
    """One tuple of PHASES per upload; None for an upload whose sends were not seen."""
    marks = [e[0] for e in events if e[2] == "getppid"]
    out = []
    for a, b in zip(marks[::2], marks[1::2]):
        window = [e for e in events if a <= e[0] <= b]
        # The wake-up pipe carries single bytes; the connection carries the rest.
        sends = [e for e in window if e[2] == "sendto" and e[4] > 1]
        body = [e for e in sends if e[4] >= 65536]
        if not body:
            out.append(None)
            continue
        # A client may send the head and the start of the body in one call.
        head, first, last = sends[0], body[0], body[-1]
        sent = last[0] + last[1]
        answers = [e for e in window if e[2] == "recvfrom" and e[4] > 1 and e[0] > sent]
        answer = answers[0][0] if answers else b
        out.append((head[0] - a, first[0] - head[0], sent - first[0], answer - sent, b - answer))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--site", help="a directory with an installed tarnwick, put first on PYTHONPATH")
    ap.add_argument("--client", default="tarnwick", help="one of the suite's clients")
    ap.add_argument("--runs", type=int, default=12)
    ap.add_argument("--uploads", type=int, default=2)
    ap.add_argument("--mib", type=int, default=64)
    args = ap.parse_args()
    python, env = client_python(args.client, args.site)
    per_upload = [[] for _ in range(args.uploads)]
    with NginxServer(big_mib=1) as server:
        for _ in range(args.runs):
            for k, p in enumerate(phases(trace(python, env, [server.url("/upload"),
                                                             server.url("/1k.bin"),
                                                             str(args.mib), str(args.uploads),
                                                             HERE, args.client]))):
                if p:
                    per_upload[k].append(p)
    for k, rows in enumerate(per_upload):
        if not rows:
            continue
        cols = list(zip(*rows))
        print("upload %d (n=%d): " % (k + 1, len(rows)) + "  ".join(
            "%s %.2f ms" % (name, statistics.median(c)) for name, c in zip(PHASES, cols)))
        print("    answer->return per run: " + " ".join("%.2f" % v for v in cols[4]))


if __name__ == "__main__":
    main()
