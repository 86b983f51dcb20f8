"""The `http` kind: an HTTP/1.1 keep-alive server with routes for client tests."""

import base64
import gzip
import hashlib
import itertools
import json
import re
import select
import socket
import socketserver
import struct
import time
import zlib

import httpcore
from httpcore import BadRequest, Close, head_bytes
from patterns import COMPRESSIBLE_BODY, PatternSource, pattern_bytes, text_blocks

try:
    import brotli
except ImportError:  # /br then answers 501
    brotli = None
try:
    import zstandard
except ImportError:  # /encoded with zstd then answers 501
    zstandard = None

_conn_ids = itertools.count(1)
ROUTES = []          # (compiled regex, handler)
STALL_LIMIT_S = 600  # a stalled connection is dropped after this, client or not


def route(pattern):
    rx = re.compile(pattern + r"\Z")

    def deco(fn):
        ROUTES.append((rx, fn))
        return fn
    return deco


def _wait_client_gone(req, limit=STALL_LIMIT_S):
    """Blocks until the peer closes (or the limit passes); whatever it sends is dropped."""
    deadline = time.monotonic() + limit
    sock = req.sock
    while time.monotonic() < deadline:
        r, _, _ = select.select([sock], [], [], 1.0)
        if r:
            try:
                if not sock.recv(65536):
                    break
            except OSError:
                break
    raise Close()


def _chunk(data):
    return b"%x\r\n%s\r\n" % (len(data), data)


# --- echo and inspection -------------------------------------------------

@route(r"/")
def root(req, m):
    req.respond(200, "hello\n")


@route(r"/echo(/.*)?")
def echo(req, m):
    h = hashlib.sha256()
    parts = []
    for data in req.body_chunks():
        h.update(data)
        parts.append(data)
    body = b"".join(parts)
    out = {
        "method": req.method,
        "path": req.path,
        "query": req.query_string,
        "version": req.version,
        "headers": [[k, v] for k, v in req.headers],
        "raw_head_b64": base64.b64encode(req.raw_head).decode(),
        "body_b64": base64.b64encode(body).decode(),
        "body_len": len(body),
        "body_sha256": h.hexdigest(),
        "conn_id": req.conn.id,
        "server": "%s:%d" % req.sock.getsockname()[:2],
    }
    req.respond(200, json.dumps(out), ctype="application/json")


@route(r"/upload-sink")
def upload_sink(req, m):
    h = hashlib.sha256()
    n = 0
    for data in req.body_chunks():
        h.update(data)
        n += len(data)
    req.respond(200, json.dumps({"len": n, "sha256": h.hexdigest()}),
                ctype="application/json")


@route(r"/conn-id")
def conn_id(req, m):
    req.respond(200, json.dumps({"conn_id": req.conn.id, "request_no": req.conn.requests}),
                ctype="application/json")


# --- bodies -------------------------------------------------------------------

def _stream_pattern(req, n, seed, chunked):
    src = PatternSource(seed)
    hdrs = [("Content-Type", "application/octet-stream")]
    hdrs.append(("Transfer-Encoding", "chunked") if chunked else ("Content-Length", n))
    if not req.keep_alive:
        hdrs.append(("Connection", "close"))
    req.send(head_bytes(200, hdrs))
    if req.method == "HEAD":
        return
    step = req.arg("chunk", 1 << 16, int) if chunked else 1 << 18
    step = max(1, min(step, src.max_slice))
    off = 0
    while off < n:
        piece = src.slice(off, min(step, n - off))
        req.send(_chunk(piece) if chunked else piece)
        off += len(piece)
    if chunked:
        req.send(b"0\r\n\r\n")


@route(r"/bytes/(\d+)")
def bytes_route(req, m):
    _stream_pattern(req, int(m.group(1)), req.arg("seed", 0, int), False)


@route(r"/chunked/(\d+)")
def chunked_route(req, m):
    _stream_pattern(req, int(m.group(1)), req.arg("seed", 0, int), True)


@route(r"/close-delimited/(\d+)")
def close_delimited(req, m):
    # No Content-Length, no chunking: the body ends where the connection does.
    req.finish_body()   # unread input would turn our close into an RST
    req.send(head_bytes(200, [("Content-Type", "application/octet-stream"),
                              ("Connection", "close")]))
    if req.method != "HEAD":
        src, n, off = PatternSource(req.arg("seed", 0, int)), int(m.group(1)), 0
        while off < n:
            piece = src.slice(off, n - off)
            req.send(piece)
            off += len(piece)
    raise Close()


@route(r"/lie/(\d+)/(\d+)")
def lie(req, m):
    # Announces one Content-Length, sends another number of pattern bytes, closes.
    announced, n = int(m.group(1)), int(m.group(2))
    req.finish_body()
    req.send(head_bytes(200, [("Content-Type", "application/octet-stream"),
                              ("Content-Length", announced), ("Connection", "close")]))
    if req.method != "HEAD":
        src, off = PatternSource(0), 0
        while off < n:
            piece = src.slice(off, n - off)
            req.send(piece)
            off += len(piece)
    raise Close()


@route(r"/gzip-of/(\d+)")
def gzip_of(req, m):
    # The gzip of n pattern bytes: announces the encoded length, which is larger
    # than the body for a few bytes and far smaller for a long run.
    _encoded(req, "gzip", gzip.compress(pattern_bytes(int(m.group(1)))))


@route(r"/status/(\d{3})")
def status_route(req, m):
    code = int(m.group(1))
    req.respond(code, "status %d\n" % code)


@route(r"/empty")
def empty(req, m):
    req.respond(200, b"")


@route(r"/no-content")
def no_content(req, m):
    req.respond(204)


@route(r"/plain")
def plain(req, m):
    req.respond(200, COMPRESSIBLE_BODY)


def _encoded(req, coding, data):
    req.respond(200, data, headers=[("Content-Encoding", coding)])


@route(r"/gzip")
def gzip_route(req, m):
    _encoded(req, "gzip", gzip.compress(COMPRESSIBLE_BODY))


@route(r"/deflate")
def deflate_route(req, m):
    # "deflate" on the wire is the zlib format (RFC 9110), not raw deflate.
    _encoded(req, "deflate", zlib.compress(COMPRESSIBLE_BODY))


@route(r"/br")
def br_route(req, m):
    if brotli is None:
        req.respond(501, "brotli module missing\n")
        return
    _encoded(req, "br", brotli.compress(COMPRESSIBLE_BODY))


def _compressor(coding):
    """An object with .compress(data) and .flush() for one coding."""
    if coding in ("gzip", "deflate"):
        return zlib.compressobj(6, zlib.DEFLATED, 31 if coding == "gzip" else 15)
    if coding == "br":
        c = brotli.Compressor(quality=5)
        return type("Br", (), {"compress": lambda self, d: c.process(d),
                               "flush": lambda self: c.finish()})()
    if coding == "zstd":
        return zstandard.ZstdCompressor(level=3).compressobj()
    raise BadRequest(400, "unknown coding %s" % coding)


_encoded_cache = {}  # (coding, size) -> bytes; the large bodies take seconds to make


def _encoded_text(coding, size):
    key = (coding, size)
    if key not in _encoded_cache:
        if len(_encoded_cache) > 8:
            _encoded_cache.clear()
        c = _compressor(coding)
        out = [c.compress(b) for b in text_blocks(size)]
        out.append(c.flush())
        _encoded_cache[key] = b"".join(out)
    return _encoded_cache[key]


@route(r"/encoded")
def encoded(req, m):
    """text_blocks(size) compressed with `coding` and sent whole, or with its
    last `cut` bytes (or half of it, cut=half) left out, framed exactly by
    Content-Length or by chunks. `label` replaces the Content-Encoding sent;
    `status` sends that status (with `location` for redirects)."""
    coding = req.arg("coding", "gzip")
    if (coding == "br" and brotli is None) or (coding == "zstd" and zstandard is None):
        req.respond(501, "compression module missing\n")
        return
    data = _encoded_text(coding, req.arg("size", 860000, int))
    cut = req.arg("cut", "0")
    data = data[:len(data) // 2] if cut == "half" else data[:len(data) - int(cut)]
    if req.arg("empty", 0, int):
        data = b""
    status = req.arg("status", 200, int)
    hdrs = [("Content-Encoding", req.arg("label", coding))]
    if req.arg("location"):
        hdrs.append(("Location", req.arg("location")))
    if not req.arg("chunked", 0, int) or status in (204, 304) or req.method == "HEAD":
        req.respond(status, data, headers=hdrs)
        return
    hdrs += [("Content-Type", "text/plain"), ("Transfer-Encoding", "chunked")]
    if not req.keep_alive:
        hdrs.append(("Connection", "close"))
    req.send(head_bytes(status, hdrs))
    for off in range(0, len(data), 1 << 16):
        req.send(_chunk(data[off:off + (1 << 16)]))
    req.send(b"0\r\n\r\n")


BAD_GZIP = b"\x1f\x8b\x08\x00" + b"this is not a deflate stream" * 4
BAD_DEFLATE = b"\x78\x9c" + b"\xff" * 64
BAD_BR = b"\xff" * 64      # rejected by a brotli decoder: reserved window bits


@route(r"/bad-gzip")
def bad_gzip(req, m):
    _encoded(req, "gzip", BAD_GZIP)


@route(r"/bad-deflate")
def bad_deflate(req, m):
    _encoded(req, "deflate", BAD_DEFLATE)


@route(r"/bad-br")
def bad_br(req, m):
    _encoded(req, "br", BAD_BR)


# --- redirects ---------------------------------------------------------------

REDIRECT_CODES = (301, 302, 303, 307, 308)


def _redirect(req, code, location):
    req.respond(code, "redirecting to %s\n" % location, headers=[("Location", location)])


@route(r"/redirect/(\d{3})")
def redirect(req, m):
    code = int(m.group(1))
    if code not in REDIRECT_CODES:
        raise BadRequest(400, "not a redirect code")
    _redirect(req, code, req.arg("to", "/echo"))


@route(r"/redirect-chain/(\d+)")
def redirect_chain(req, m):
    k = int(m.group(1))
    if k == 0:
        return echo(req, m)
    code = req.arg("code", 302, int)
    nxt = "/echo" if k == 1 else "/redirect-chain/%d" % (k - 1)
    if k > 1 and "code" in req.query:
        nxt += "?code=%d" % code
    _redirect(req, code, nxt)


@route(r"/redirect-loop")
def redirect_loop(req, m):
    _redirect(req, req.arg("code", 302, int), "/redirect-loop")


# --- authentication ------------------------------------------------------------

_auth_seen = {}  # key -> the Authorization values of /basic-auth/KEY requests (None: absent)


@route(r"/basic-auth/([\w-]+)")
def basic_auth(req, m):
    got = req.header("Authorization")
    _auth_seen.setdefault(m.group(1), []).append(got)
    want = "Basic " + base64.b64encode(
        ("%s:%s" % (req.arg("user", ""), req.arg("pass", ""))).encode()).decode()
    if got == want:
        return echo(req, m)
    req.respond(401, "authorization required\n",
                headers=[("WWW-Authenticate", 'Basic realm="test"')])


@route(r"/basic-auth-seen/([\w-]+)")
def basic_auth_seen(req, m):
    req.respond(200, json.dumps(_auth_seen.get(m.group(1), [])), ctype="application/json")


# --- headers -----------------------------------------------------------------

@route(r"/headers")
def headers_route(req, m):
    hdrs = []
    for spec in req.query.get("h", []):
        name, sep, value = spec.partition(":")
        if not sep or not name:
            raise BadRequest(400, "h must be Name:Value")
        hdrs.append((name, value.strip()))
    req.respond(200, "ok\n", headers=hdrs)


@route(r"/dup-headers")
def dup_headers(req, m):
    req.respond(200, "ok\n", headers=[("X-Dup", "first"), ("Set-Cookie", "a=1; Path=/"),
                                      ("X-Dup", "second"), ("Set-Cookie", "b=2; Path=/")])


@route(r"/invalid-utf8-header")
def invalid_utf8_header(req, m):
    req.respond(200, "ok\n", headers=[(b"X-Bad", b"\xff\xfeabc")])


@route(r"/huge-header")
def huge_header(req, m):
    kib = req.arg("kib", 300, int)
    req.respond(200, "ok\n", headers=[("X-Huge", b"a" * (kib * 1024))])


@route(r"/many-headers")
def many_headers(req, m):
    n = req.arg("n", 10000, int)
    req.respond(200, "ok\n", headers=[("X-H-%d" % i, str(i)) for i in range(n)])


# --- timing and broken responses ---------------------------------------------

@route(r"/stall")
def stall(req, m):
    _wait_client_gone(req)


@route(r"/stall-body")
def stall_body(req, m):
    req.send(head_bytes(200, [("Content-Type", "text/plain"), ("Content-Length", 1000)]))
    _wait_client_gone(req)


@route(r"/drip")
def drip(req, m):
    interval = req.arg("interval_ms", 100, int) / 1000.0
    count = req.arg("n", None, int)
    if count is None:
        req.send(head_bytes(200, [("Content-Type", "text/plain"),
                                  ("Transfer-Encoding", "chunked")]))
        deadline = time.monotonic() + STALL_LIMIT_S
        while time.monotonic() < deadline:
            req.send(_chunk(b"."))
            time.sleep(interval)
        raise Close()
    req.send(head_bytes(200, [("Content-Type", "text/plain"), ("Content-Length", count)]))
    for _ in range(count):
        time.sleep(interval)
        req.send(b".")


@route(r"/slow-body")
def slow_body(req, m):
    ms = req.arg("ms", 1000, int)
    body = b"slow body\n"
    req.send(head_bytes(200, [("Content-Type", "text/plain"), ("Content-Length", len(body))]))
    time.sleep(ms / 1000.0)
    req.send(body)


@route(r"/delay")
def delay(req, m):
    time.sleep(req.arg("ms", 1000, int) / 1000.0)
    req.respond(200, "delayed\n")


@route(r"/close-before-response")
def close_before_response(req, m):
    raise Close()


@route(r"/close-after-headers")
def close_after_headers(req, m):
    # Read the upload first: closing on unread bytes would turn the close into a reset.
    req.finish_body()
    req.send(head_bytes(200, [("Content-Type", "text/plain"), ("Content-Length", 1000)]))
    raise Close()


def _reset(sock):
    # SO_LINGER with a zero timeout turns close() into an RST.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


@route(r"/reset-mid-body")
def reset_mid_body(req, m):
    req.send(head_bytes(200, [("Content-Type", "application/octet-stream"),
                              ("Content-Length", 100000)]))
    req.send(b"x" * 1000)
    time.sleep(0.05)
    _reset(req.sock)
    raise Close()


@route(r"/truncated-chunked")
def truncated_chunked(req, m):
    req.finish_body()
    req.send(head_bytes(200, [("Content-Type", "text/plain"),
                              ("Transfer-Encoding", "chunked")]))
    req.send(_chunk(b"a" * 100) + _chunk(b"b" * 100))
    req.send(b"64\r\n" + b"c" * 10)     # announces 100 bytes, sends 10
    raise Close()


@route(r"/bad-status")
def bad_status(req, m):
    req.finish_body()
    req.send(b"HTTP/1.1 abc nonsense\r\nContent-Length: 2\r\n\r\nok")
    raise Close()


# --- server ------------------------------------------------------------------

def dispatch(req):
    for rx, fn in ROUTES:
        m = rx.match(req.path)
        if m:
            return fn(req, m)
    req.respond(404, "no route for %s\n" % req.path)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        if hasattr(sock, "do_handshake"):
            sock.settimeout(30)
            sock.do_handshake()
            sock.settimeout(None)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        conn = httpcore.Conn(sock, next(_conn_ids))
        while True:
            try:
                head = httpcore.read_head(conn.rfile)
                if head is None:
                    return
                req = httpcore.Request(conn, *head)
            except BadRequest as e:
                sock.sendall(head_bytes(e.status, [("Content-Length", 0),
                                                   ("Connection", "close")]))
                return
            conn.requests += 1
            try:
                dispatch(req)
                req.finish_body()
            except BadRequest as e:
                req.keep_alive = False
                req.respond(e.status, str(e) + "\n")
                return
            if not req.keep_alive:
                return


def make_server(tls_context=None, host="127.0.0.1"):
    srv = httpcore.ThreadedServer(Handler, host=host)
    if tls_context is not None:
        srv.socket = tls_context.wrap_socket(srv.socket, server_side=True,
                                             do_handshake_on_connect=False)
    return srv
