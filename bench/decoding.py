"""Time to fetch large compressible bodies as gzip, br and zstd through the module.

    .venv/bin/python bench/decoding.py [--runs 5] [--mib 64 256]

The server (tests/servers, /encoded) compresses the body once and serves the
same bytes each run; a run is one request from start to the whole body in
Python. Prints median and range per coding and size, and the cronet library
the module loaded (LD_LIBRARY_PATH can point it at another build).
"""

import argparse
import statistics
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

from servers import HttpServer  # noqa: E402
from tarnwick import ZoDeruziDuzera  # noqa: E402


def loaded_library():
    with open("/proc/self/maps") as f:
        for line in f:
            if "libcronet_curl" in line:
                return line.split()[-1]
    return "?"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--mib", type=int, nargs="+", default=[64, 256])
    ap.add_argument("--codings", nargs="+", default=["gzip", "br", "zstd"])
    args = ap.parse_args()
    client = ZoDeruziDuzera()
    sid = client.create_session(timeout_ms=120000)
    with HttpServer() as server:
        print("library:", loaded_library())
        for mib in args.mib:
            for coding in args.codings:
                url = server.url(f"/encoded?coding={coding}&size={mib << 20}")
                client.request(sid, url, "HEAD")  # the server compresses once, outside the runs
                times, result = [], ""
                for _ in range(args.runs):
                    t = time.perf_counter()
                    try:
                        r = client.request(sid, url, "GET")
                        result = "ok" if len(r["body"]) == mib << 20 else f"{len(r['body'])} bytes"
                    except RuntimeError as e:
                        result = str(e)
                    times.append(time.perf_counter() - t)
                    r = None
                print(f"{mib:4d} MiB {coding:5s} median {statistics.median(times):6.3f} s "
                      f"(min {min(times):.3f}, max {max(times):.3f})  {result}")
                sys.stdout.flush()
    client.close_session(sid)


if __name__ == "__main__":
    main()
