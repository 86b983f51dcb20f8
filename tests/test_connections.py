"""Connection reuse against raw-socket servers (tests/servers/raw_http.py): a
kept-alive connection on which the server wrote while it was idle is never
reused, a well-behaved one is."""

import json
import os
import subprocess
import sys

import pytest

import cronet_testctl as ctl
from servers import certs

TIMEOUT_MS = 10000
RAW_HTTP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "servers", "raw_http.py")


class RawServer:
    def __init__(self, case, tls_files=None):
        args = [sys.executable, RAW_HTTP, case]
        if tls_files:
            args += ["--cert", tls_files[0], "--key", tls_files[1]]
        self.scheme = "https" if tls_files else "http"
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        self.port = json.loads(self.proc.stdout.readline())["port"]

    def url(self, path):
        return "%s://localhost:%d%s" % (self.scheme, self.port, path)

    def ask(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(10)


@pytest.fixture(params=["http", "https"])
def tls_files(request, server_certs_dir):
    if request.param == "http":
        yield None
        return
    ca = certs.ensure_ca(server_certs_dir)
    ctl.ca_bundle(ca.cert)
    yield certs.server_cert(server_certs_dir, "localhost", ca)
    ctl.ca_bundle(None)


@pytest.fixture
def raw_server(tls_files):
    servers = []

    def start(case):
        servers.append(RawServer(case, tls_files))
        return servers[-1]
    yield start
    for s in servers:
        s.close()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case,method", [
    ("unsolicited-200", "GET"),
    ("stray-302", "GET"),
    ("stray-103", "GET"),
    ("late-body-after-204", "GET"),
    ("late-body-after-head", "HEAD"),
    ("closed-while-idle", "GET"),
])
def test_connection_written_on_while_idle_is_not_reused(client, raw_server, case, method):
    srv = raw_server(case)
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    assert client.request(sid, srv.url("/r0"), method)["status_code"] in (200, 204)
    assert srv.ask("wait")["stray_done"]
    for path in ("/r1", "/r2"):
        r = client.request(sid, srv.url(path), "GET")
        assert (r["status_code"], r["body"]) == (200, path.encode())
    assert srv.ask("state")["connections"] == 2


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case,outcome", [
    ("spaced-length", b"ok"),
    ("spaced-length-zero", b""),
    ("spaced-length-cut", "ERR_CONTENT_LENGTH_MISMATCH"),
    ("spaced-length-encoded", b"ok"),
    ("spaced-chunked", "ERR_INVALID_HTTP_RESPONSE"),
])
def test_framing_header_with_space_before_colon(client, raw_server, case, outcome):
    # Honoured (exactly that many bytes) or refused: never a wait for a close.
    srv = raw_server(case)
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    if isinstance(outcome, bytes):
        assert client.request(sid, srv.url("/r0"), "GET")["body"] == outcome
    else:
        with pytest.raises(RuntimeError, match="^Request failed: net::%s$" % outcome):
            client.request(sid, srv.url("/r0"), "GET")
    assert client.request(sid, srv.url("/r1"), "GET")["body"] == b"/r1"
    assert srv.ask("state")["connections"] == 2


@pytest.mark.timeout(60)
def test_quiet_connection_is_reused(client, raw_server):
    srv = raw_server("quiet")
    sid = client.create_session(timeout_ms=TIMEOUT_MS)
    for i in range(4):
        assert client.request(sid, srv.url("/q%d" % i), "GET")["body"] == b"/q%d" % i
    assert srv.ask("state")["connections"] == 1


@pytest.mark.timeout(60)
@pytest.mark.parametrize("which", ["http", "https", "h2"])
def test_nginx_keeps_one_connection(client, nginx_server, which):
    # TLS 1.3 session tickets arrive after the handshake, while the first
    # request runs: they must not count as bytes on an idle connection.
    ctl.ca_bundle(nginx_server.info["ca"])
    try:
        sid = client.create_session(timeout_ms=TIMEOUT_MS)
        seen = {client.request(sid, nginx_server.url("/conn", which), "GET")["body"]
                for _ in range(4)}
    finally:
        ctl.ca_bundle(None)
    assert len(seen) == 1, seen
