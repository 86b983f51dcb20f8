"""Long runs that stop by themselves, loopback only: many requests on one session,
many short-lived sessions, and clients dropped with sessions still open.

Memory and threads must stay flat and every byte must arrive unchanged. The
sanitizer run sets TARNWICK_STRESS_SCALE to do a fraction of the work; its
allocator keeps freed memory in quarantine, so RSS is not judged there.
"""

import gc
import hashlib
import json
import os
import random
import time

import pytest

import cronet_testctl as ctl
from conftest import closed_port
from servers import PERIOD, pattern_bytes
from tarnwick import ZoDeruziDuzera

SCALE = float(os.environ.get("TARNWICK_STRESS_SCALE", "1"))
SANITIZED = os.environ.get("TARNWICK_SANITIZED") == "1"
MIB = 1 << 20
RSS_LIMIT = 10 * MIB

# Pattern with seed S = seed-0 pattern shifted by S * 31^-1 (mod 251): one buffer serves all.
_INV31 = pow(31, -1, PERIOD)
_BASE = pattern_bytes(MIB + PERIOD)


def pattern(n, seed):
    start = (seed * _INV31) % PERIOD
    return memoryview(_BASE)[start:start + n]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def native_threads():
    return len(os.listdir("/proc/self/task"))


def settle_threads(limit, wait_s=5.0):
    """Forwarding threads end just after their call returns: give them a moment."""
    deadline = time.monotonic() + wait_s
    while native_threads() > limit and time.monotonic() < deadline:
        time.sleep(0.02)
    return native_threads()


def log_size(rng):
    # Sizes from 0 B to 1 MiB, most of them small, with the buffer edges well covered.
    pick = rng.random()
    if pick < 0.15:
        return rng.choice([0, 1, 32767, 32768, 32769, 65536, MIB - 1, MIB])
    return min(MIB, int(2 ** rng.uniform(0, 20)))


class Plan:
    """One request of the mixed run and the check of its outcome."""

    def __init__(self, rng, server, dead_port, timeout_ms):
        self.rng = rng
        self.server = server
        self.dead_port = dead_port
        self.timeout_ms = timeout_ms

    def make(self, i, stall_every):
        rng = self.rng
        seed = rng.randrange(PERIOD)
        if stall_every and i % stall_every == stall_every // 2:
            return ("stall", self.server.url("/stall"), "GET", None, None)
        roll = rng.random()
        n = log_size(rng)
        if roll < 0.55:
            return ("bytes", self.server.url(f"/bytes/{n}?seed={seed}"), "GET", None, (n, seed))
        if roll < 0.65:
            chunk = rng.choice([1, 100, 4096, 65536])
            n = min(n, 3000) if chunk == 1 else min(n, 200000) if chunk == 100 else n
            return ("bytes", self.server.url(f"/chunked/{n}?seed={seed}&chunk={chunk}"), "GET",
                    None, (n, seed))
        if roll < 0.80:
            method = rng.choice(["POST", "PUT", "PATCH"])
            body = bytes(pattern(n, seed)) if n else rng.choice([b"", None])
            return ("sink", self.server.url("/upload-sink"), method, body, None)
        if roll < 0.90:
            method = rng.choice(["GET", "POST", "DELETE", "OPTIONS", "PROPFIND"])
            body = bytes(pattern(min(n, 4000), seed)) if method != "GET" else None
            return ("echo", self.server.url("/echo"), method, body, None)
        if roll < 0.93:
            return ("head", self.server.url(f"/bytes/{n}?seed={seed}"), "HEAD", None, n)
        if roll < 0.96:
            return ("refused", f"http://127.0.0.1:{self.dead_port}/", "GET", None, None)
        if roll < 0.98:
            return ("reset", self.server.url("/reset-mid-body"), "GET", None, None)
        return ("decode", self.server.url("/bad-gzip"), "GET", None, None)

    def check(self, kind, method, body, extra, outcome):
        ok, value = outcome
        if kind == "stall":
            assert not ok and type(value) is TimeoutError
            assert str(value) == f"Request timeout after {self.timeout_ms}ms"
            return
        failures = {"refused": "ERR_CONNECTION_REFUSED", "reset": "ERR_CONNECTION_RESET",
                    "decode": "ERR_CONTENT_DECODING_FAILED"}
        if kind in failures:
            assert not ok and type(value) is RuntimeError
            assert str(value) == f"Request failed: net::{failures[kind]}"
            return
        assert ok, f"{kind} {method}: {value!r}"
        assert value["status_code"] == 200
        if kind == "bytes":
            n, seed = extra
            assert len(value["body"]) == n and value["body"] == pattern(n, seed)
        elif kind == "sink":
            sent = body or b""
            assert json.loads(value["body"]) == {"len": len(sent),
                                                 "sha256": hashlib.sha256(sent).hexdigest()}
        elif kind == "echo":
            got = json.loads(value["body"])
            assert got["method"] == method
            assert got["body_len"] == len(body or b"")
            assert got["body_sha256"] == hashlib.sha256(body or b"").hexdigest()
        elif kind == "head":
            assert value["body"] == b""
            assert ("Content-Length", str(extra)) in value["headers"]


def run_one(client, sid, plan):
    kind, url, method, body, extra = plan
    try:
        outcome = (True, client.request(sid, url, method, body=body))
    except (RuntimeError, TimeoutError) as e:
        outcome = (False, e)
    return kind, method, body, extra, outcome


@pytest.mark.timeout(1200)
def test_many_mixed_requests_on_one_session(http_server):
    total = max(500, int(10000 * SCALE))
    warmup = max(200, total // 10)
    timeout_ms = 3000
    stall_every = max(total // 4, 1)           # a few timeouts, each costs timeout_ms
    rng = random.Random(20261208)
    client = ZoDeruziDuzera()
    sid = client.create_session(timeout_ms=timeout_ms)
    planner = Plan(rng, http_server, closed_port(), timeout_ms)
    kinds = {}
    try:
        for i in range(total):
            if i == warmup:
                gc.collect()
                threads_after_warmup = settle_threads(native_threads())
                rss_after_warmup = rss()
            kind, method, body, extra, outcome = run_one(client, sid, planner.make(i, stall_every))
            planner.check(kind, method, body, extra, outcome)
            kinds[kind] = kinds.get(kind, 0) + 1
            del outcome
        gc.collect()
        threads_end = settle_threads(threads_after_warmup)
        growth = rss() - rss_after_warmup
    finally:
        client.close_session(sid)
    assert set(kinds) >= {"bytes", "sink", "echo", "head", "refused", "reset", "decode", "stall"}
    assert threads_end <= threads_after_warmup
    if not SANITIZED:
        assert growth < RSS_LIMIT, f"RSS grew by {growth / MIB:.1f} MiB over {total - warmup} requests"


@pytest.mark.timeout(900)
def test_many_short_sessions(http_server):
    cycles = max(20, int(200 * SCALE))
    warmup = max(5, cycles // 10)
    client = ZoDeruziDuzera()
    rng = random.Random(7)
    for i in range(cycles):
        if i == warmup:
            gc.collect()
            threads_after_warmup = settle_threads(native_threads())
            rss_after_warmup = rss()
        kw = rng.choice([{}, {"timeout_ms": 5000}, {"skip_cert_verify": True},
                         {"proxy_rules": ""}, {"proxy_rules": "direct://"}])
        sid = client.create_session(**kw)
        assert sid and client.list_sessions() == [sid]
        n = rng.choice([0, 1, 40000, 300000])
        r = client.request(sid, http_server.url(f"/bytes/{n}?seed={i % PERIOD}"), "GET")
        assert r["body"] == pattern(n, i % PERIOD)
        assert client.close_session(sid) is True
        assert client.list_sessions() == []
    gc.collect()
    assert settle_threads(threads_after_warmup) <= threads_after_warmup
    if not SANITIZED:
        growth = rss() - rss_after_warmup
        assert growth < RSS_LIMIT, f"RSS grew by {growth / MIB:.1f} MiB over {cycles - warmup} sessions"


def client_objects_gone(wait_s=2.0):
    if not ctl.available():
        return True
    deadline = time.monotonic() + wait_s
    while any(ctl.live_objects().values()):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


@pytest.mark.timeout(600)
def test_dropping_clients_with_open_sessions(http_server):
    rounds = max(3, int(8 * SCALE))
    threads_before = native_threads()
    for i in range(rounds):
        client = ZoDeruziDuzera()
        sids = [client.create_session(timeout_ms=5000) for _ in range(2 + i % 2)]
        for sid in sids:
            assert client.request(sid, http_server.url("/bytes/5000?seed=1"), "GET")["body"] \
                == pattern(5000, 1)
        if i % 2:
            # A session that just had a failure is torn down the same way.
            with pytest.raises(RuntimeError):
                client.request(sids[0], http_server.url("/reset-mid-body"), "GET")
        del client                       # tears every open session down here and now
        assert client_objects_gone(), ctl.live_objects()
    assert settle_threads(threads_before) <= threads_before
