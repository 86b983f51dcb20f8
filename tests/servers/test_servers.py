"""Checks of the test servers' own logic: payloads, framing, proxies, lifetimes."""

import base64
import gzip
import hashlib
import http.client
import json
import os
import select
import signal
import socket
import ssl
import struct
import subprocess
import sys
import zlib

import pytest

from . import (COMPRESSIBLE_BODY, SERVE, BadTlsServers, HttpProxy, HttpServer,
               NginxServer, Socks5Proxy, pattern_byte, pattern_bytes)
from .patterns import PERIOD, PatternSource

brotli = pytest.importorskip("brotli")


@pytest.fixture(scope="module")
def srv():
    with HttpServer() as s:
        yield s


@pytest.fixture(scope="module")
def nginx():
    with NginxServer(big_mib=2) as n:
        yield n


def conn(server, which=None):
    return http.client.HTTPConnection("127.0.0.1", server.port(which), timeout=10)


def get(server, path, method="GET", body=None, headers=None):
    c = conn(server)
    c.request(method, path, body=body, headers=headers or {})
    r = c.getresponse()
    data = r.read()
    c.close()
    return r, data


def raw_exchange(port, data, limit=1 << 20):
    """Sends raw bytes, returns everything read until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(data)
        out = b""
        while len(out) < limit:
            chunk = s.recv(65536)
            if not chunk:
                break
            out += chunk
        return out


# --- payloads -----------------------------------------------------------------

@pytest.mark.parametrize("n,seed,offset", [(0, 0, 0), (1, 7, 0), (251, 3, 0),
                                           (1000, 250, 5), (70000, 1, 123456)])
def test_pattern_matches_formula(n, seed, offset):
    expected = bytes((i * 31 + seed) % 251 for i in range(offset, offset + n))
    assert pattern_bytes(n, seed, offset) == expected
    src = PatternSource(seed, block=PERIOD * 4)
    got, off = b"", offset
    while len(got) < n:
        piece = bytes(src.slice(off, n - len(got)))
        assert piece, "a slice must never be empty"
        got += piece
        off += len(piece)
    assert got == expected
    if n:
        assert expected[-1] == pattern_byte(offset + n - 1, seed)


@pytest.mark.parametrize("route", ["bytes", "chunked"])
@pytest.mark.parametrize("n,seed", [(0, 0), (1, 9), (300001, 42), (3 << 20, 250)])
def test_pattern_routes(srv, route, n, seed):
    r, data = get(srv, "/%s/%d?seed=%d&chunk=7777" % (route, n, seed))
    assert r.status == 200
    assert hashlib.sha256(data).digest() == hashlib.sha256(pattern_bytes(n, seed)).digest()
    if route == "chunked":
        assert r.getheader("Transfer-Encoding") == "chunked"
    else:
        assert r.getheader("Content-Length") == str(n)


@pytest.mark.parametrize("path,decode", [
    ("/gzip", gzip.decompress), ("/deflate", zlib.decompress), ("/br", brotli.decompress),
    ("/plain", lambda b: b)])
def test_encoded_bodies(srv, path, decode):
    r, data = get(srv, path)
    assert decode(data) == COMPRESSIBLE_BODY


@pytest.mark.parametrize("path,decode", [
    ("/bad-gzip", gzip.decompress), ("/bad-deflate", zlib.decompress),
    ("/bad-br", brotli.decompress)])
def test_bad_encodings_do_not_decode(srv, path, decode):
    r, data = get(srv, path)
    assert r.getheader("Content-Encoding") in path
    with pytest.raises(Exception):
        decode(data)


# --- request bodies and keep-alive --------------------------------------------

BODY = pattern_bytes(200000, 5)


@pytest.mark.parametrize("chunked", [False, True])
@pytest.mark.parametrize("path", ["/echo", "/upload-sink"])
def test_request_body_read_fully(srv, chunked, path):
    c = conn(srv)
    if chunked:
        c.request("POST", path, body=iter([BODY[:1000], BODY[1000:]]),
                  encode_chunked=True)
    else:
        c.request("POST", path, body=BODY)
    out = json.loads(c.getresponse().read())
    if path == "/echo":
        assert base64.b64decode(out["body_b64"]) == BODY
        assert out["body_len"] == len(BODY)
        assert out["body_sha256"] == hashlib.sha256(BODY).hexdigest()
    else:
        assert out == {"len": len(BODY), "sha256": hashlib.sha256(BODY).hexdigest()}
    # The connection is still in step for the next request.
    c.request("GET", "/conn-id")
    assert json.loads(c.getresponse().read())["request_no"] == 2


def test_echo_headers_in_wire_order_with_duplicates(srv):
    req = (b"GET /echo?a=1&a=2 HTTP/1.1\r\nHost: x\r\nX-B: 1\r\nx-a: one\r\n"
           b"X-B: 2\r\nX-Utf: \xc3\xa9\r\nConnection: close\r\n\r\n")
    head, _, body = raw_exchange(srv.port(), req).partition(b"\r\n\r\n")
    out = json.loads(body)
    assert out["query"] == "a=1&a=2"
    assert out["headers"] == [["Host", "x"], ["X-B", "1"], ["x-a", "one"], ["X-B", "2"],
                              ["X-Utf", "\u00e9"], ["Connection", "close"]]
    assert base64.b64decode(out["raw_head_b64"]) == req


def test_keep_alive_survives_unread_body_and_expect_continue(srv):
    c = conn(srv)
    # /status never reads the body: the server must drain it before the next request.
    c.request("POST", "/status/201", body=b"z" * 100000)
    r = c.getresponse()
    assert r.status == 201 and r.read() == b"status 201\n"
    c.request("GET", "/echo")
    first = json.loads(c.getresponse().read())
    assert first["method"] == "GET"
    c.close()
    with socket.create_connection(("127.0.0.1", srv.port()), timeout=10) as s:
        s.sendall(b"PUT /upload-sink HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n"
                  b"Expect: 100-continue\r\n\r\n")
        assert s.recv(100).startswith(b"HTTP/1.1 100 ")
        s.sendall(b"abc")
        data = s.recv(65536)
    assert b'"len": 3' in data
    c2 = conn(srv)
    c2.request("GET", "/conn-id")
    second = json.loads(c2.getresponse().read())
    assert second["request_no"] == 1
    assert first["conn_id"] != second["conn_id"]


@pytest.mark.parametrize("head,status", [
    (b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400),
    (b"POST /echo HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400),
    (b"GET /echo HTTP/1.1\r\nNo colon here\r\n\r\n", 400),
    (b"GET /echo HTTP/1.1\r\nX: 1\r\n" + b"X: 1\r\n" * 20000 + b"\r\n", 431),
    (b"G@T /echo HTTP/1.1\r\n\r\n", 400),
    (b"GET /echo SPDY/3\r\n\r\n", 400),
])
def test_malformed_requests_rejected(srv, head, status):
    raw = raw_exchange(srv.port(), head)
    assert raw.startswith(b"HTTP/1.1 %d " % status), raw[:100]


def test_http10_closes_unless_keep_alive(srv):
    raw = raw_exchange(srv.port(), b"GET /empty HTTP/1.0\r\n\r\n")
    assert b"\r\nConnection: close\r\n" in raw
    with socket.create_connection(("127.0.0.1", srv.port()), timeout=10) as s:
        s.sendall(b"GET /empty HTTP/1.0\r\nConnection: keep-alive\r\n\r\n" * 2)
        got = b""
        while got.count(b"HTTP/1.1 200 ") < 2:
            chunk = s.recv(65536)
            assert chunk, "closed after the first keep-alive response"
            got += chunk


# --- response shapes ------------------------------------------------------------

def test_headers_routes(srv):
    r, _ = get(srv, "/headers?h=X-One:1&h=X-Two:%202&h=X-One:3")
    assert [(k, v) for k, v in r.getheaders() if k.startswith("X-")] == [
        ("X-One", "1"), ("X-Two", "2"), ("X-One", "3")]
    r, _ = get(srv, "/dup-headers")
    assert r.msg.get_all("X-Dup") == ["first", "second"]
    assert len(r.msg.get_all("Set-Cookie")) == 2
    raw = raw_exchange(srv.port(), b"GET /invalid-utf8-header HTTP/1.1\r\nHost: x\r\n"
                                   b"Connection: close\r\n\r\n")
    assert b"\r\nX-Bad: \xff\xfeabc\r\n" in raw
    raw = raw_exchange(srv.port(), b"GET /huge-header?kib=300 HTTP/1.1\r\nHost: x\r\n"
                                   b"Connection: close\r\n\r\n", limit=1 << 22)
    assert b"\r\nX-Huge: " + b"a" * (300 * 1024) + b"\r\n" in raw
    raw = raw_exchange(srv.port(), b"GET /many-headers?n=10000 HTTP/1.1\r\nHost: x\r\n"
                                   b"Connection: close\r\n\r\n", limit=1 << 22)
    assert raw.count(b"\r\nX-H-") == 10000


@pytest.mark.parametrize("path,status,location", [
    ("/redirect/301?to=/a", 301, "/a"),
    ("/redirect/308?to=http://127.0.0.1:1/x", 308, "http://127.0.0.1:1/x"),
    ("/redirect-chain/3", 302, "/redirect-chain/2"),
    ("/redirect-chain/1", 302, "/echo"),
    ("/redirect-chain/2?code=307", 307, "/redirect-chain/1?code=307"),
    ("/redirect-loop", 302, "/redirect-loop"),
])
def test_redirects(srv, path, status, location):
    r, _ = get(srv, path)
    assert (r.status, r.getheader("Location")) == (status, location)


def test_redirect_chain_ends_at_echo(srv):
    path, hops = "/redirect-chain/4", 0
    while True:
        r, data = get(srv, path)
        if r.status != 302:
            break
        path, hops = r.getheader("Location"), hops + 1
    assert hops == 4 and json.loads(data)["path"] == "/echo"


@pytest.mark.parametrize("path,check", [
    ("/close-before-response", lambda raw: raw == b""),
    ("/close-after-headers", lambda raw: raw.endswith(b"Content-Length: 1000\r\n\r\n")),
    ("/truncated-chunked", lambda raw: raw.endswith(b"64\r\n" + b"c" * 10)),
    ("/bad-status", lambda raw: raw.startswith(b"HTTP/1.1 abc nonsense\r\n")),
    ("/no-content", lambda raw: raw.startswith(b"HTTP/1.1 204 ") and
     b"Content-Length" not in raw and raw.endswith(b"\r\n\r\n")),
    ("/empty", lambda raw: b"Content-Length: 0\r\n" in raw and raw.endswith(b"\r\n\r\n")),
])
def test_broken_and_bodiless_responses(srv, path, check):
    raw = raw_exchange(srv.port(), b"GET %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                       % path.encode())
    assert check(raw), raw[:300]


def test_reset_mid_body_is_a_reset(srv):
    with socket.create_connection(("127.0.0.1", srv.port()), timeout=10) as s:
        s.sendall(b"GET /reset-mid-body HTTP/1.1\r\nHost: x\r\n\r\n")
        got = b""
        with pytest.raises(ConnectionResetError):
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                got += chunk
    assert len(got) < 100000


def test_stall_holds_until_client_leaves(srv):
    with socket.create_connection(("127.0.0.1", srv.port()), timeout=10) as s:
        s.sendall(b"GET /stall-body HTTP/1.1\r\nHost: x\r\n\r\n")
        head = s.recv(65536)
        assert head.startswith(b"HTTP/1.1 200 ") and head.endswith(b"\r\n\r\n")
        assert select.select([s], [], [], 0.5)[0] == []
    r, _ = get(srv, "/drip?interval_ms=1&n=5")
    assert r.status == 200


# --- proxies -----------------------------------------------------------------------

def test_http_proxy_forwards_and_logs(srv):
    with HttpProxy() as p:
        c = http.client.HTTPConnection("127.0.0.1", p.port(), timeout=10)
        target = "http://made-up.test:%d/echo?q=1" % srv.port()
        c.request("POST", target, body=b"payload", headers={"Proxy-Connection": "keep-alive"})
        out = json.loads(c.getresponse().read())
        assert out["path"] == "/echo" and out["query"] == "q=1"
        assert base64.b64decode(out["body_b64"]) == b"payload"
        names = [k.lower() for k, _ in out["headers"]]
        assert "proxy-connection" not in names and "via" in names
        # Same client connection, chunked response relayed intact.
        c.request("GET", "http://127.0.0.1:%d/chunked/100000?seed=3" % srv.port())
        assert c.getresponse().read() == pattern_bytes(100000, 3)
        c.request("GET", "http://10.0.0.1/")
        assert c.getresponse().status == 403
        assert p.seen == [("POST", target),
                          ("GET", "http://127.0.0.1:%d/chunked/100000?seed=3" % srv.port()),
                          ("GET", "http://10.0.0.1/")]


@pytest.mark.parametrize("path,method,expect_len", [
    ("/close-delimited/300000?seed=4", "GET", 300000),
    ("/bytes/5000", "HEAD", 0),
    ("/no-content", "GET", 0),
    ("/chunked/0", "GET", 0),
])
def test_http_proxy_relays_every_framing(srv, path, method, expect_len):
    expect = pattern_bytes(expect_len, 4)
    with HttpProxy() as p:
        c = http.client.HTTPConnection("127.0.0.1", p.port(), timeout=10)
        c.request(method, "http://127.0.0.1:%d%s" % (srv.port(), path))
        r = c.getresponse()
        assert r.read() == expect
        if method == "HEAD":
            assert r.getheader("Content-Length") == "5000"
        # The framing was understood: the proxy connection takes another request.
        c.request("GET", "http://127.0.0.1:%d/conn-id" % srv.port())
        assert "conn_id" in json.loads(c.getresponse().read())


@pytest.mark.parametrize("refuse", [False, True])
def test_http_proxy_connect(srv, refuse):
    with HttpProxy(refuse_connect=refuse) as p:
        c = http.client.HTTPConnection("127.0.0.1", p.port(), timeout=10)
        c.set_tunnel("localhost", srv.port())
        if refuse:
            with pytest.raises(OSError, match="403"):
                c.request("GET", "/conn-id")
        else:
            c.request("GET", "/conn-id")
            assert "conn_id" in json.loads(c.getresponse().read())
        assert p.seen == [("CONNECT", "localhost:%d" % srv.port())]


def socks5_connect(port, atyp_addr, dport, cmd=1):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(b"\x05\x01\x00")
    assert s.recv(2) == b"\x05\x00"
    s.sendall(b"\x05" + bytes([cmd]) + b"\x00" + atyp_addr + struct.pack(">H", dport))
    reply = s.recv(10)
    return s, reply[1]


@pytest.mark.parametrize("addr,shown,code", [
    (b"\x01" + socket.inet_aton("127.0.0.1"), "127.0.0.1", 0),
    (b"\x03\x09fake.name", "fake.name", 0),
    (b"\x01" + socket.inet_aton("192.0.2.1"), "192.0.2.1", 2),
])
def test_socks5(srv, addr, shown, code):
    with Socks5Proxy() as p:
        s, rep = socks5_connect(p.port(), addr, srv.port())
        with s:
            assert rep == code
            if code == 0:
                s.sendall(b"GET /conn-id HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                assert b"conn_id" in b"".join(iter(lambda: s.recv(4096), b""))
        s, rep = socks5_connect(p.port(), addr, srv.port(), cmd=2)   # BIND: unsupported
        s.close()
        assert rep == 7
        assert p.seen[0] == ("CONNECT", "%s:%d" % (shown, srv.port()))


# --- nginx and TLS ---------------------------------------------------------------

def test_nginx_files_and_protocols(nginx):
    r, data = get(nginx, "/1k.bin")
    assert data == pattern_bytes(1024)
    r, data = get(nginx, "/big.bin")
    assert data == pattern_bytes(2 << 20)
    r, data = get(nginx, "/text.txt", headers={"Accept-Encoding": "br"})
    assert r.getheader("Content-Encoding") == "br"
    assert brotli.decompress(data) == COMPRESSIBLE_BODY
    ctx = ssl.create_default_context(cafile=nginx.ca)
    ctx.set_alpn_protocols(["h2", "http/1.1"])
    for which, proto in (("https", "http/1.1"), ("h2", "h2")):
        with ctx.wrap_socket(socket.create_connection(("127.0.0.1", nginx.port(which))),
                             server_hostname="localhost") as t:
            assert t.selected_alpn_protocol() == proto


def test_nginx_upload_answers_only_after_whole_body(nginx):
    size = 64 << 20
    block = b"\0" * (1 << 20)
    with socket.create_connection(("127.0.0.1", nginx.port("http")), timeout=30) as s:
        s.sendall(b"POST /upload HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % size)
        for _ in range(63):
            s.sendall(block)
        s.sendall(block[:-1])
        assert select.select([s], [], [], 1.0)[0] == [], "answered before the body was in"
        s.sendall(b"\0")
        resp = s.recv(4096)
        assert resp.startswith(b"HTTP/1.1 204 ")
        s.sendall(b"GET /1k.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        rest = b"".join(iter(lambda: s.recv(65536), b""))
        assert rest.endswith(pattern_bytes(1024))


@pytest.mark.parametrize("which,error", [
    ("good", None), ("wrong_host", "mismatch"), ("expired", "expired"),
    ("self_signed", "self.signed"), ("handshake_fail", "")])
def test_bad_tls(which, error, tmp_path):
    with BadTlsServers(certs=str(tmp_path)) as b:
        ctx = ssl.create_default_context(cafile=b.ca)
        sock = socket.create_connection(("127.0.0.1", b.port(which)), timeout=10)
        if error is None:
            with ctx.wrap_socket(sock, server_hostname="localhost") as t:
                t.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                assert b"".join(iter(lambda: t.recv(4096), b"")).endswith(b"hello\n")
        else:
            with pytest.raises(ssl.SSLError, match=error), sock:
                ctx.wrap_socket(sock, server_hostname="localhost")


# --- lifetime --------------------------------------------------------------------

def _spawn(kind, stdin):
    return subprocess.Popen([sys.executable, SERVE, kind], stdin=stdin,
                            stdout=subprocess.PIPE)


def _alive_after(p, seconds):
    try:
        p.wait(seconds)
        return False
    except subprocess.TimeoutExpired:
        return True


@pytest.mark.parametrize("how", ["stdin-eof", "stdout-reader-gone", "sigterm"])
def test_server_stops_with_its_parent(how):
    # stdin at EOF from the start (as under CI) must not stop the server.
    stdin = subprocess.PIPE if how == "stdin-eof" else subprocess.DEVNULL
    p = _spawn("http", stdin)
    try:
        info = json.loads(p.stdout.readline())
        assert info["pid"] == p.pid
        assert _alive_after(p, 1.0)
        socket.create_connection(("127.0.0.1", info["port"]), timeout=5).close()
        if how == "stdin-eof":
            p.stdin.close()
        elif how == "stdout-reader-gone":
            p.stdout.close()
        else:
            p.send_signal(signal.SIGTERM)
        assert p.wait(10) == 0
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


def test_servers_share_a_certificate_dir(tmp_path):
    with HttpServer(tls=True, certs=str(tmp_path)) as a, \
            BadTlsServers(certs=str(tmp_path)) as b:
        assert a.ca == b.ca
        ctx = ssl.create_default_context(cafile=a.ca)
        for port in (a.port(), b.port("good")):
            with ctx.wrap_socket(socket.create_connection(("127.0.0.1", port)),
                                 server_hostname="localhost"):
                pass


def test_nginx_cleanup_on_stop():
    n = NginxServer().start()
    tmp = os.path.dirname(n.docroot)
    with open(os.path.join(tmp, "nginx.pid")) as f:
        master = int(f.read())
    n.stop()
    assert not os.path.exists(tmp)
    with pytest.raises(ProcessLookupError):
        os.kill(master, 0)
