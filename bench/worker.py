"""One measurement of one client on one workload, in a process of its own.

    python worker.py JSON_SPEC

prints one JSON line with the timing, CPU and peak RSS of the measured part.
A fresh process per measurement keeps peak RSS honest and stops one client's
warm caches or leftover threads from helping or hurting the next.
"""

import json
import os
import resource
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import procstat  # noqa: E402
from clients import CLIENTS  # noqa: E402
from servers.patterns import PERIOD, pattern_bytes  # noqa: E402

WARMUP_GETS = 20


def _same_as_pattern(body, size):
    """Whole-body check without holding a second copy of it."""
    if len(body) != size:
        return False
    block = pattern_bytes(PERIOD * 4096)
    mv = memoryview(body)
    for off in range(0, size, len(block)):
        piece = mv[off:off + len(block)]
        if piece != block[:len(piece)]:
            return False
    return True


def _rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class PerfControl:
    """Switches a `perf record/stat -D -1 --control fifo:CTL,ACK` on only
    around the measured section, so imports and warm-up stay out of a profile."""

    def __init__(self):
        ctl, ack = os.environ.get("BENCH_PERF_CTL"), os.environ.get("BENCH_PERF_ACK")
        self._ctl = os.open(ctl, os.O_WRONLY) if ctl else None
        self._ack = os.open(ack, os.O_RDONLY) if ack else None

    def _say(self, word):
        if self._ctl is None:
            return
        os.write(self._ctl, word + b"\n")
        if self._ack is not None:
            os.read(self._ack, 64)

    def enable(self):
        self._say(b"enable")

    def disable(self):
        self._say(b"disable")


class Meter:
    """Wall time, this process's CPU and the server's CPU over one section."""

    def __init__(self, server_pids):
        self._pids = server_pids
        self._perf = PerfControl()

    def __enter__(self):
        self._perf.enable()
        self._srv0 = procstat.cpu_seconds(self._pids)
        self._cpu0 = os.times()
        self._t0 = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.elapsed = time.perf_counter() - self._t0
        self._perf.disable()
        cpu1 = os.times()
        self.client_cpu = (cpu1.user - self._cpu0.user) + (cpu1.system - self._cpu0.system)
        self.server_cpu = procstat.cpu_seconds(self._pids) - self._srv0
        return False


def run_gets(client, spec, meter):
    url, n = spec["url"], spec["count"]
    if spec.get("advert_url"):
        client.advertise(spec["advert_url"])
    expect = pattern_bytes(1024)
    for _ in range(WARMUP_GETS):
        if client.get(url) != expect:
            raise RuntimeError("warm-up GET returned a wrong body")
    bad = 0
    with meter:
        for _ in range(n):
            if client.get(url) != expect:
                bad += 1
    if bad:
        raise RuntimeError("%d of %d GETs returned a wrong body" % (bad, n))
    return n / meter.elapsed


def run_download(client, spec, meter):
    if spec.get("advert_url"):
        client.advertise(spec["advert_url"])
    client.get(spec["warm_url"])
    with meter:
        body = client.get(spec["url"])
    if not _same_as_pattern(body, spec["size"]):
        raise RuntimeError("download: wrong body (%d bytes)" % len(body))
    return spec["size"] / meter.elapsed / (1 << 20)


def run_upload(client, spec, meter):
    body = os.urandom(spec["size"])
    client.get(spec["warm_url"])
    with meter:
        status = client.post(spec["url"], body)
    if status not in (200, 204):
        raise RuntimeError("upload: status %d" % status)
    return spec["size"] / meter.elapsed / (1 << 20)


def run_session(spec, meter):
    import tarnwick
    c = tarnwick.ZoDeruziDuzera()
    with meter:
        t0 = time.perf_counter()
        sid = c.create_session()
        t1 = time.perf_counter()
        closed = c.close_session(sid)
    if not sid or closed is not True:
        raise RuntimeError("session cycle failed: %r %r" % (sid, closed))
    return meter.elapsed * 1000.0, {"create_ms": (t1 - t0) * 1000.0,
                                   "close_ms": (meter.elapsed - (t1 - t0)) * 1000.0}


def measure(spec):
    meter = Meter(spec.get("server_pids", []))
    extra = {}
    if spec["kind"] == "session":
        value, extra = run_session(spec, meter)
    else:
        client = CLIENTS[spec["client"]](spec["proto"], spec["ca"])
        rss_before = _rss_kib()
        try:
            value = {"gets": run_gets, "download": run_download,
                     "upload": run_upload}[spec["kind"]](client, spec, meter)
        finally:
            client.close()
        extra["rss_before_kib"] = rss_before
    out = {"value": value, "elapsed_s": meter.elapsed, "client_cpu_s": meter.client_cpu,
           "server_cpu_s": meter.server_cpu,
           "rss_peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}
    out.update(extra)
    return out


def main():
    spec = json.loads(sys.argv[1])
    try:
        out = measure(spec)
    except Exception as e:  # reported to the runner, which marks the cell failed
        out = {"error": "%s: %s" % (type(e).__name__, e)}
    sys.stdout.write(json.dumps(out) + "\n")
    sys.stdout.flush()
    # Skip interpreter teardown: its cost is not part of any workload.
    os._exit(0)


if __name__ == "__main__":
    main()
