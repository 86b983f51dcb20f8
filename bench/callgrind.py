"""Instructions per small GET and per MiB moved, counted by callgrind.

    python bench/callgrind.py [--site DIR] [--only get,download,upload]

The nginx test server runs outside valgrind. Each workload runs twice under
`valgrind --tool=callgrind` with two sizes (N1 and N2 requests, or M1 and M2
MiB); the difference of the two instruction totals, over the difference of
the sizes, leaves out start-up and session creation. Totals are summed over
all threads of the process (library, libcurl, libc, interpreter; not the
kernel). --site puts an installed module first on PYTHONPATH, as bench/ab.py
does, to compare builds.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))

from servers import NginxServer  # noqa: E402

# Runs inside valgrind: one session, a warm-up request, then the workload.
DRIVER = r"""
import sys, tarnwick
kind, url, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
c = tarnwick.ZoDeruziDuzera()
sid = c.create_session(skip_cert_verify=True)
c.request(sid, sys.argv[4], "GET")
if kind == "get":
    for _ in range(n):
        assert c.request(sid, url, "GET")["status_code"] == 200
elif kind == "download":
    body = c.request(sid, url, "GET")["body"]
    assert len(body) >= n << 20
elif kind == "upload":
    body = bytes(n << 20)
    assert c.request(sid, url, "POST", body=body)["status_code"] in (200, 204)
c.close_session(sid)
"""


def instructions(python, env, args):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
               "--dump-instr=no", python, "-c", DRIVER] + args
        p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=3600)
        if p.returncode != 0:
            raise RuntimeError("run failed: %s\n%s" % (" ".join(args), p.stderr[-2000:]))
        total = 0
        with open(out) as f:
            for line in f:
                m = re.match(r"(?:summary|totals):\s+(\d+)", line)
                if m:
                    total = max(total, int(m.group(1)))
        return total


def python_and_env(site):
    """The interpreter that runs tarnwick, and an environment with `site` (an
    installed module dir, or None) first on PYTHONPATH."""
    python = os.environ.get("TARNWICK_PYTHON", os.path.join(ROOT, ".venv", "bin", "python"))
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site
    return python, env


def client_python(client, site=None):
    """The interpreter and environment that run one of the suite's clients:
    tarnwick from the project's venv (`site` first on its path), the others
    from the benchmark venv."""
    if client == "tarnwick":
        return python_and_env(site)
    return os.path.join(ROOT, ".venv-bench", "bin", "python"), dict(os.environ)


def parse_two_size_args(gets, mib):
    """The options both two-size drivers take: (python, env, only, (n1, n2), (m1, m2))."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--site", help="installed module dir put first on PYTHONPATH")
    ap.add_argument("--only", default="get,download,upload")
    ap.add_argument("--gets", default=gets, help="N1,N2 small GETs")
    ap.add_argument("--mib", default=mib, help="M1,M2 MiB downloaded and uploaded")
    args = ap.parse_args()
    python, env = python_and_env(args.site)
    gets = tuple(int(x) for x in args.gets.split(","))
    mib = tuple(int(x) for x in args.mib.split(","))
    return python, env, set(args.only.split(",")), gets, mib


def two_sizes(measure, python, env, only, gets, mib):
    """Runs the driver at two sizes of each workload; yields (workload, proto, a, b, units),
    where measure(python, env, driver_args) gives one run's total and (b - a) / units is
    the cost of one request or one MiB, start-up taken out."""
    (n1, n2), (m1, m2) = gets, mib
    with NginxServer(big_mib=m2) as server:
        warm = server.url("/1k.bin")
        if "get" in only:
            for proto in ("http", "https", "h2"):
                url = server.url("/1k.bin", proto)
                yield ("get", proto, measure(python, env, ["get", url, str(n1), warm]),
                       measure(python, env, ["get", url, str(n2), warm]), n2 - n1)
        if "upload" in only:
            url = server.url("/upload")
            yield ("upload", "http", measure(python, env, ["upload", url, str(m1), warm]),
                   measure(python, env, ["upload", url, str(m2), warm]), m2 - m1)
    if "download" in only:
        totals = []
        for m in (m1, m2):
            with NginxServer(big_mib=m) as server:
                totals.append(measure(python, env, ["download", server.url("/big.bin"), str(m),
                                                    server.url("/1k.bin")]))
        yield ("download", "http", totals[0], totals[1], m2 - m1)


def main():
    python, env, only, gets, mib = parse_two_size_args("200,600", "8,24")
    labels = {"upload": ("upload from bytes", "per MiB"), "download": ("download", "per MiB")}
    for workload, proto, a, b, units in two_sizes(instructions, python, env, only, gets, mib):
        label, per = labels.get(workload, ("small GET, %s" % proto, "per request"))
        show((label, (b - a) / units, per))


def show(row):
    print("%-22s %12.0f instructions %s" % row, flush=True)


if __name__ == "__main__":
    main()
