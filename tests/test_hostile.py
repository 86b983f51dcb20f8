"""Misbehaving servers, proxies and names: each ends in a clear exception, and the
session goes on working afterwards."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import time
from urllib.parse import quote

import pytest

import cronet_testctl as ctl
from conftest import closed_port
from servers import pattern_bytes
from tarnwick import ZoDeruziDuzera

TIMEOUT_MS = 10000
CANCEL_WAIT_S = 5.0
# Scheduling slack on a loaded two-core machine; a hang is far beyond it.
SLACK_S = 10.0


def failure(client, sid, url, method="GET", **kw):
    """Runs a request that must fail; returns the exception and how long the call took."""
    start = time.monotonic()
    with pytest.raises(BaseException) as info:
        client.request(sid, url, method, **kw)
    return info.value, time.monotonic() - start


def assert_usable(client, sid, http_server):
    r = client.request(sid, http_server.url("/bytes/1000?seed=5"), "GET")
    assert r["status_code"] == 200
    assert r["body"] == pattern_bytes(1000, seed=5)


# Server-side faults, over plain HTTP. The exact net error names follow the
# network stack's conventions for each fault.
SERVER_FAULTS = [
    ("/close-before-response", "ERR_EMPTY_RESPONSE"),
    ("/close-after-headers", "ERR_CONTENT_LENGTH_MISMATCH"),
    ("/reset-mid-body", "ERR_CONNECTION_RESET"),
    ("/truncated-chunked", "ERR_INCOMPLETE_CHUNKED_ENCODING"),
    ("/bad-status", "ERR_INVALID_HTTP_RESPONSE"),
    ("/huge-header?kib=300", "ERR_RESPONSE_HEADERS_TOO_BIG"),
    ("/bad-gzip", "ERR_CONTENT_DECODING_FAILED"),
    ("/bad-deflate", "ERR_CONTENT_DECODING_FAILED"),
    ("/bad-br", "ERR_CONTENT_DECODING_FAILED"),
    ("/redirect-loop", "ERR_TOO_MANY_REDIRECTS"),
    ("/redirect-loop?code=307", "ERR_TOO_MANY_REDIRECTS"),
]


@pytest.mark.parametrize("odd", ["HTTP/1.1 302:x", "HTTP/1.1 100:x", "HTTP/1.1 500:x"])
def test_status_like_lines_inside_the_headers_are_only_headers(client, http_server, odd):
    # Only the first line of a response is its status line.
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    r = client.request(sid, http_server.url(
        f"/headers?h=X-Before:1&h={quote(odd)}&h=Location:/echo&h=X-After:2"), "GET")
    assert (r["status_code"], r["body"]) == (200, b"ok\n")
    assert {"X-Before", "X-After", "Location"} <= {n for n, _ in r["headers"]}


@pytest.mark.parametrize("query,error", [
    ("h=Content-Length:2", "ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH"),
    ("h=Content-Length:3,%205", "ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH"),
    ("h=Location:/a&h=Location:/b", "ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION"),
    ("h=Content-Disposition:a&h=Content-Disposition:b",
     "ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_DISPOSITION"),
    ("h=Content-Length:3&h=Location:/a&h=Location:/a", None),
])
def test_differing_copies_of_framing_headers_are_refused(client, http_server, query, error):
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    url = http_server.url("/headers?" + query)
    if error is None:
        assert client.request(sid, url, "GET")["body"] == b"ok\n"
    else:
        with pytest.raises(RuntimeError, match=f"^Request failed: net::{error}$"):
            client.request(sid, url, "GET")
    assert_usable(client, sid, http_server)


def test_header_names_are_trimmed_and_empty_locations_ignored(client, sid, http_server):
    r = client.request(sid, http_server.url("/headers?h=X-A%20:v"), "GET")
    assert ("X-A", "v") in r["headers"]
    r = client.request(sid, http_server.url("/redirect/302?to="), "GET")
    assert r["status_code"] == 302


@pytest.mark.timeout(60)
@pytest.mark.parametrize("path,error", SERVER_FAULTS)
@pytest.mark.parametrize("method,body", [("GET", None), ("POST", b"x" * 70000)], ids=["get", "post"])
def test_server_faults(client, http_server, path, error, method, body):
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    exc, took = failure(client, sid, http_server.url(path), method, body=body)
    assert type(exc) is RuntimeError
    allowed = {error}
    if body and path == "/close-before-response":
        allowed.add("ERR_CONNECTION_RESET")     # closing on an unread upload sends a reset
    assert exc.args[0].startswith("Request failed: net::") and len(exc.args) == 1
    assert exc.args[0][len("Request failed: net::"):] in allowed, exc.args[0]
    assert took < TIMEOUT_MS / 1000 + CANCEL_WAIT_S + SLACK_S
    assert_usable(client, sid, http_server)


@pytest.mark.timeout(60)
def test_ten_thousand_response_headers_arrive_whole(client, http_server):
    # About 160 KB of header lines: within what the network stack accepts.
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    r = client.request(sid, http_server.url("/many-headers?n=10000"), "GET")
    assert r["status_code"] == 200
    got = [h for h in r["headers"] if h[0].startswith("X-H-")]
    assert got == [(f"X-H-{i}", str(i)) for i in range(10000)]
    assert_usable(client, sid, http_server)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("path", ["/drip?interval_ms=100", "/stall", "/stall-body"])
def test_slow_servers_end_in_the_timeout(client, http_server, path):
    timeout_ms = 1500
    sid = client.create_session(timeout_ms=timeout_ms)
    exc, took = failure(client, sid, http_server.url(path))
    assert type(exc) is TimeoutError
    assert str(exc) == f"Request timeout after {timeout_ms}ms"
    assert timeout_ms / 1000 <= took < timeout_ms / 1000 + CANCEL_WAIT_S + SLACK_S
    assert_usable(client, sid, http_server)


TLS_FAULTS = [
    # (listener, error with the test CA trusted, errors with the system store only)
    ("handshake_fail", "ERR_SSL_PROTOCOL_ERROR", {"ERR_SSL_PROTOCOL_ERROR"}),
    ("wrong_host", "ERR_CERT_COMMON_NAME_INVALID",
     {"ERR_CERT_COMMON_NAME_INVALID", "ERR_CERT_AUTHORITY_INVALID"}),
    ("expired", "ERR_CERT_DATE_INVALID", {"ERR_CERT_DATE_INVALID", "ERR_CERT_AUTHORITY_INVALID"}),
    ("self_signed", "ERR_CERT_AUTHORITY_INVALID", {"ERR_CERT_AUTHORITY_INVALID"}),
]


@pytest.fixture(params=["trusted_ca", "system_store"])
def trust(request, bad_tls):
    """Sessions made in the test trust the servers' CA, or only the system store."""
    trusted = request.param == "trusted_ca"
    ctl.ca_bundle(bad_tls.ca if trusted else None)
    yield trusted
    ctl.ca_bundle(None)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("which,trusted_error,untrusted_errors", TLS_FAULTS)
def test_tls_faults(client, bad_tls, http_server, trust, which, trusted_error,
                    untrusted_errors):
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    exc, took = failure(client, sid, bad_tls.url("/", which))
    assert type(exc) is RuntimeError
    prefix = "Request failed: net::"
    assert str(exc).startswith(prefix)
    assert str(exc)[len(prefix):] in ({trusted_error} if trust else untrusted_errors)
    assert took < TIMEOUT_MS / 1000 + CANCEL_WAIT_S + SLACK_S
    assert_usable(client, sid, http_server)
    if trust:
        # The same session reaches the well-configured listener of the same CA.
        assert client.request(sid, bad_tls.url("/", "good"), "GET")["body"] == b"hello\n"


@pytest.mark.timeout(60)
def test_proxy_refusing_connect(client, refusing_proxy, https_server, http_server):
    sid = client.create_session(proxy_rules=refusing_proxy.proxy_url, timeout_ms=TIMEOUT_MS)
    exc, _ = failure(client, sid, https_server.url("/", host="origin.test"))
    assert type(exc) is RuntimeError
    assert str(exc) == "Request failed: net::ERR_TUNNEL_CONNECTION_FAILED"
    assert refusing_proxy.seen and refusing_proxy.seen[0][0] == "CONNECT"
    # Plain HTTP is forwarded without CONNECT: the session still works.
    r = client.request(sid, http_server.url("/", host="origin.test"), "GET")
    assert r["body"] == b"hello\n"


@pytest.mark.timeout(60)
@pytest.mark.parametrize("scheme", ["http", "socks5"])
def test_proxy_not_listening(client, http_server, scheme):
    sid = client.create_session(proxy_rules=f"{scheme}://127.0.0.1:{closed_port()}",
                                timeout_ms=TIMEOUT_MS)
    for _ in range(2):   # a second failure too: nothing was left half done
        exc, _ = failure(client, sid, http_server.url("/"))
        assert type(exc) is RuntimeError
        assert str(exc) == "Request failed: net::ERR_PROXY_CONNECTION_FAILED"


@pytest.mark.timeout(60)
def test_connection_refused_then_usable(client, http_server):
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    exc, _ = failure(client, sid, f"http://127.0.0.1:{closed_port()}/")
    assert str(exc) == "Request failed: net::ERR_CONNECTION_REFUSED"
    assert_usable(client, sid, http_server)


# A name under .invalid is looked up in a private network namespace that has
# only a loopback interface, so no query can leave the machine.
NETNS_SCRIPT = textwrap.dedent("""
    import json, sys
    sys.path.insert(0, sys.argv[1])
    import cronet_testctl as ctl
    from servers import HttpServer
    from tarnwick import ZoDeruziDuzera
    out = {}
    c = ZoDeruziDuzera()
    sid = c.create_session(timeout_ms=10000)
    for host in ("no-such-host.invalid", "x.y.invalid"):
        try:
            c.request(sid, "http://%s/" % host, "GET")
            out[host] = "no exception"
        except BaseException as e:
            out[host] = "%s: %s" % (type(e).__name__, e)
    with HttpServer() as s:
        out["after"] = c.request(sid, s.url("/"), "GET")["body"].decode()
    c.close_session(sid)
    del c
    live = ctl.live_objects() if ctl.available() else {}
    out["live"] = {k: v for k, v in live.items() if v}
    print(json.dumps(out))
""")


def _netns_prefix():
    if not shutil.which("unshare") or not shutil.which("ip"):
        return None
    probe = subprocess.run(["unshare", "-rn", "ip", "link", "set", "lo", "up"],
                           capture_output=True)
    return ["unshare", "-rn", "sh", "-c", 'ip link set lo up && exec "$@"', "sh"] \
        if probe.returncode == 0 else None


@pytest.mark.timeout(120)
def test_unresolvable_host_in_private_network():
    prefix = _netns_prefix()
    if prefix is None:
        pytest.skip("no private network namespace available: a lookup could leave the machine")
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.run(prefix + [sys.executable, "-c", NETNS_SCRIPT, tests_dir],
                          capture_output=True, text=True, timeout=110, cwd=tests_dir)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    for host in ("no-such-host.invalid", "x.y.invalid"):
        assert out[host] == "RuntimeError: Request failed: net::ERR_NAME_NOT_RESOLVED"
    assert out["after"] == "hello\n"
    assert out["live"] == {}
