"""Runs every (workload, client) pair against one local nginx and writes the report.

    python runner.py [--smoke] [--runs N] [--out DIR] [--only WORKLOAD,...]

Must run in the benchmark venv (for matplotlib and the client versions);
tarnwick's worker runs under the project venv's Python, where the module is
installed (TARNWICK_PYTHON overrides it).
"""

import argparse
import contextlib
import datetime
import json
import os
import platform
import subprocess
import sys
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, HERE)

import procstat  # noqa: E402
import report  # noqa: E402
from h3server import H3Server  # noqa: E402
from servers import NginxServer, certs  # noqa: E402

WORKER = os.path.join(HERE, "worker.py")
WORKER_TIMEOUT_S = 600


def _versions():
    out = {"python": platform.python_version()}
    for mod in ("requests", "httpx", "urllib3", "h2"):
        try:
            out[mod] = __import__(mod).__version__
        except ImportError:
            out[mod] = None
    try:
        import pycurl
        out["pycurl"] = pycurl.version
    except ImportError:
        out["pycurl"] = None
    try:
        out["tarnwick_commit"] = subprocess.run(
            ["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        out["tarnwick_commit"] = None
    return out


def _machine():
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%s, %d CPUs, %s" % (model, os.cpu_count() or 0, platform.release())


def _load():
    return "%.2f %.2f %.2f" % os.getloadavg()


def _worker_env():
    # Loopback only: no client may pick up a proxy from the environment.
    return {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}


def run_worker(python, spec):
    try:
        p = subprocess.run([python, WORKER, json.dumps(spec)], capture_output=True,
                           text=True, timeout=WORKER_TIMEOUT_S, env=_worker_env())
    except subprocess.TimeoutExpired:
        return {"error": "worker timed out after %ds" % WORKER_TIMEOUT_S}
    lines = p.stdout.strip().splitlines()
    try:
        out = json.loads(lines[-1])
    except (IndexError, ValueError):
        out = {"error": "worker exit %d: %s" % (p.returncode, p.stderr.strip()[-500:])}
    # The module writes [WARN]/[ERROR] lines on stderr; a clean run has none.
    noise = [ln for ln in p.stderr.splitlines() if ln.startswith(("[WARN]", "[ERROR]"))]
    if noise:
        out["stderr"] = noise[:5]
    return out


def _on_port(url, port):
    """The same URL on another port (of the same host)."""
    parts = urllib.parse.urlsplit(url)
    return parts._replace(netloc="%s:%d" % (parts.hostname, port)).geturl()


def selected(only):
    return [w for w in report.WORKLOADS if not only or w["id"] in only]


def repeats(only, smoke):
    """Runs per round of each selected workload: more for the short, noisy ones."""
    return {w["id"]: 1 if smoke else w.get("repeat", 1) for w in selected(only)}


def jobs(server, sizes, runs, only, h3_port=None, repeat=None):
    """Runs are interleaved, so drift in machine load spreads over all clients.

    `repeat` ({workload: n}) gives a workload n runs per round.
    HTTP/3 workloads use nginx's HTTP/2 origin: the client first fetches
    /alt there, whose Alt-Svc sends it to the QUIC server on h3_port."""
    plan = [w for w in selected(only) for _ in range((repeat or {}).get(w["id"], 1))]
    for run in range(runs):
        for w in plan:
            # The port of the origin the URLs name; HTTP/3 is reached through it.
            which = "h2" if w["proto"] == "h3" else w["proto"]
            for client in w["clients"]:
                spec = {"workload": w["id"], "kind": w["kind"], "client": client,
                        "proto": w["proto"], "ca": server.ca, "run": run}
                if w["kind"] == "gets":
                    spec.update(url=server.url("/1k.bin", which), count=sizes["count"])
                elif w["kind"] in ("download", "upload"):
                    path = "/big.bin" if w["kind"] == "download" else "/upload"
                    spec.update(url=server.url(path, which), warm_url=server.url("/1k.bin", which),
                                size=sizes[w["kind"]])
                if w["proto"] == "h3" and client in report.H3_DIRECT:
                    for key in ("url", "warm_url"):
                        if key in spec:
                            spec[key] = _on_port(spec[key], h3_port)
                elif w["proto"] == "h3":
                    spec["advert_url"] = server.url("/alt?h3=%d&ma=3600" % h3_port, which)
                yield spec


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--smoke", action="store_true", help="tiny sizes, one run")
    ap.add_argument("--runs", type=int, default=None)
    ap.add_argument("--out", default=None)
    ap.add_argument("--only", default="", help="comma-separated workload ids")
    args = ap.parse_args()

    sizes = report.SMOKE_SIZES if args.smoke else report.FULL_SIZES
    runs = args.runs or (1 if args.smoke else 5)
    out_dir = args.out or os.path.join(HERE, "results", "smoke" if args.smoke else "")
    os.makedirs(out_dir, exist_ok=True)
    only = set(filter(None, args.only.split(",")))
    tarnwick_py = os.environ.get("TARNWICK_PYTHON", os.path.join(ROOT, ".venv", "bin", "python"))

    meta = {"when": datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M UTC"),
            "machine": _machine(), "runs": runs, "smoke": args.smoke,
            "load_before": _load(), "versions": _versions(), "sizes": sizes,
            "repeat": repeats(only, args.smoke)}
    records = []
    with contextlib.ExitStack() as stack:
        server = stack.enter_context(NginxServer(big_mib=max(1, sizes["download"] >> 20)))
        nginx_pids = procstat.descendants(server.pid, "nginx")
        meta["server_pids"] = nginx_pids
        h3 = None
        if any(w["proto"] == "h3" for w in selected(only)):
            cert_dir = os.path.dirname(server.ca)
            cert, key = certs.server_cert(cert_dir, "localhost", certs.ensure_ca(cert_dir))
            h3 = stack.enter_context(H3Server(server.docroot, cert, key))
            meta["h3_server_pid"] = h3.pid
        for spec in jobs(server, sizes, runs, only, h3.port if h3 else None, meta["repeat"]):
            # Server CPU of an HTTP/3 workload: the QUIC server plus nginx's one /alt answer.
            spec["server_pids"] = nginx_pids + ([h3.pid] if spec["proto"] == "h3" else [])
            python = tarnwick_py if spec["client"] == "tarnwick" else sys.executable
            out = run_worker(python, spec)
            rec = dict(out, workload=spec["workload"], client=spec["client"], run=spec["run"])
            records.append(rec)
            status = rec.get("error") or "%.1f" % rec["value"]
            print("run %d %-9s %-9s %s" % (spec["run"], spec["workload"], spec["client"], status),
                  flush=True)
    meta["load_after"] = _load()

    agg = report.aggregate(records, sizes)
    targets = report.evaluate_targets(agg)
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump({"meta": meta, "cells": agg, "targets": targets, "runs": records}, f, indent=1)
    md = report.markdown(agg, meta, sizes)
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write(md)
    import chart
    chart.draw(agg, os.path.join(out_dir, "chart.png"),
               subtitle="%s; load %s" % (meta["when"], meta["load_before"]))
    print(md)
    failed = [r for r in records if "error" in r]
    if failed:
        print("%d measurement(s) failed" % len(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
