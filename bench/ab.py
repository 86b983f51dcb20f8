"""Interleaved A/B runs of tarnwick builds on one workload, for performance work.

    python ab.py --workload get_http --runs 7 NAME=SITE_DIR NAME=SITE_DIR ...

Each SITE_DIR holds an installed tarnwick module (cmake --install ... --prefix
SITE_DIR); it is put first on PYTHONPATH of a fresh worker per run. Prints the
median and range per build. Alternating the builds run by run keeps drifting
machine load from favouring either.
"""

import argparse
import contextlib
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
sys.path.insert(0, HERE)

import procstat  # noqa: E402
import report  # noqa: E402
import runner  # noqa: E402
from h3server import H3Server  # noqa: E402
from servers import NginxServer, certs  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--workload", default="get_http")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("builds", nargs="+", help="NAME=SITE_DIR")
    args = ap.parse_args()
    builds = [b.split("=", 1) for b in args.builds]
    python = os.environ.get("TARNWICK_PYTHON", os.path.join(runner.ROOT, ".venv", "bin", "python"))
    sizes = {"count": args.count, "download": args.mib << 20, "upload": min(args.mib, 64) << 20}
    results = {name: [] for name, _ in builds}
    rss = {name: [] for name, _ in builds}
    cpu = {name: [] for name, _ in builds}
    server_cpu = {name: [] for name, _ in builds}
    split = {name: [] for name, _ in builds}
    with contextlib.ExitStack() as stack:
        server = stack.enter_context(NginxServer(big_mib=args.mib))
        pids = procstat.descendants(server.pid, "nginx")
        h3 = None
        if report.WORKLOAD_BY_ID[args.workload]["proto"] == "h3":
            cert_dir = os.path.dirname(server.ca)
            cert, key = certs.server_cert(cert_dir, "localhost", certs.ensure_ca(cert_dir))
            h3 = stack.enter_context(H3Server(server.docroot, cert, key))
            pids = pids + [h3.pid]
        spec = next(s for s in runner.jobs(server, sizes, 1, {args.workload}, h3.port if h3 else None)
                    if s["client"] == "tarnwick")
        spec["server_pids"] = pids
        for run in range(args.runs):
            for name, site in builds:
                os.environ["PYTHONPATH"] = site
                out = runner.run_worker(python, spec)
                if "error" in out:
                    print(name, "error:", out["error"])
                    continue
                results[name].append(out["value"])
                cpu[name].append(out["client_cpu_s"] / out["elapsed_s"])
                server_cpu[name].append(out["server_cpu_s"] / out["elapsed_s"])
                split[name].append((out["elapsed_s"], out["server_cpu_s"],
                                    out["elapsed_s"] - out["server_cpu_s"]))
                rss[name].append(out["rss_peak_kib"] - out.get("rss_before_kib", 0))
    unit = report.WORKLOAD_BY_ID[args.workload]["unit"]
    for name, _ in builds:
        v = results[name]
        if v:
            print("%-12s median %.1f %s  range %.1f..%.1f  n=%d  CPU %.0f%%  server CPU %.0f%%"
                  "  max RSS growth %.0f MiB"
                  % (name, statistics.median(v), unit, min(v), max(v), len(v),
                     100 * statistics.median(cpu[name]), 100 * statistics.median(server_cpu[name]),
                     max(rss[name]) / 1024))
            print("%-12s medians per run: time %.1f ms, server CPU %.1f ms, the rest %.1f ms"
                  % ((name,) + tuple(1000 * statistics.median(c) for c in zip(*split[name]))))


if __name__ == "__main__":
    main()
