"""Minimal HTTP/1.1 plumbing on raw sockets, for servers that need byte control."""

import re
import socket
import socketserver
import sys
from urllib.parse import parse_qs, urlsplit

MAX_LINE = 1 << 20          # one header line; clients under test send big ones
MAX_HEADERS = 20000
REASONS = {
    100: "Continue", 200: "OK", 201: "Created", 204: "No Content",
    206: "Partial Content", 301: "Moved Permanently", 302: "Found",
    303: "See Other", 304: "Not Modified", 307: "Temporary Redirect",
    308: "Permanent Redirect", 400: "Bad Request", 401: "Unauthorized",
    403: "Forbidden", 404: "Not Found", 405: "Method Not Allowed",
    407: "Proxy Authentication Required", 408: "Request Timeout",
    411: "Length Required", 413: "Content Too Large",
    431: "Request Header Fields Too Large", 500: "Internal Server Error",
    502: "Bad Gateway", 503: "Service Unavailable", 504: "Gateway Timeout",
}
METHOD_RE = re.compile(r"[A-Za-z0-9!#$%&'*+.^_`|~-]{1,32}\Z")
NET_ERRORS = (ConnectionError, TimeoutError, socket.timeout, OSError)


class BadRequest(Exception):
    def __init__(self, status, msg):
        super().__init__(msg)
        self.status = status


class Close(Exception):
    """Raised by a handler to drop the connection without further output."""


def status_line(status, reason=None):
    return b"HTTP/1.1 %d %s\r\n" % (status, (reason or REASONS.get(status, "Status")).encode())


def head_bytes(status, headers, reason=None):
    out = [status_line(status, reason)]
    for name, value in headers:
        if isinstance(name, str):
            name = name.encode("latin-1")
        if isinstance(value, str):
            value = value.encode("utf-8")
        elif isinstance(value, int):
            value = str(value).encode()
        out.append(name + b": " + value + b"\r\n")
    out.append(b"\r\n")
    return b"".join(out)


def read_line(rfile, limit=MAX_LINE):
    line = rfile.readline(limit + 1)
    if len(line) > limit:
        raise BadRequest(431, "line too long")
    return line


def read_head(rfile):
    """Returns (start_line, [(name, value)], raw_bytes) or None at a clean EOF.
    Names and values are the wire bytes decoded as UTF-8 with surrogateescape,
    so nothing is lost and valid UTF-8 reads naturally."""
    line = read_line(rfile)
    while line in (b"\r\n", b"\n"):   # tolerate stray CRLF between requests
        line = read_line(rfile)
    if not line:
        return None
    raw = [line]
    headers = []
    while True:
        h = read_line(rfile)
        if not h:
            raise BadRequest(400, "EOF inside header block")
        raw.append(h)
        if h in (b"\r\n", b"\n"):
            break
        if len(headers) >= MAX_HEADERS:
            raise BadRequest(431, "too many headers")
        name, sep, value = h.partition(b":")
        if not sep or not name or name != name.strip():
            raise BadRequest(400, "malformed header line")
        headers.append((name.decode("utf-8", "surrogateescape"),
                        value.strip().decode("utf-8", "surrogateescape")))
    return line.rstrip(b"\r\n").decode("utf-8", "surrogateescape"), headers, b"".join(raw)


def get_header(headers, name, default=None):
    name = name.lower()
    for k, v in headers:
        if k.lower() == name:
            return v
    return default


def has_token(headers, name, token):
    token = token.lower()
    return any(k.lower() == name.lower() and
               token in (t.strip().lower() for t in v.split(","))
               for k, v in headers)


def body_framing(headers):
    """('chunked', None), ('length', n) or ('none', 0) for a request."""
    if has_token(headers, "transfer-encoding", "chunked"):
        return "chunked", None
    cl = [v for k, v in headers if k.lower() == "content-length"]
    if cl:
        if len(set(cl)) != 1 or not cl[0].isdigit():
            raise BadRequest(400, "bad Content-Length")
        return "length", int(cl[0])
    return "none", 0


def iter_chunked(rfile, raw=False):
    """Yields the data of a chunked body; with raw=True yields the wire bytes
    instead (for relaying), ending after the trailer block."""
    while True:
        line = read_line(rfile, 4096)
        if not line.endswith(b"\n"):
            raise BadRequest(400, "truncated chunk size")
        try:
            size = int(line.split(b";", 1)[0].strip(), 16)
        except ValueError:
            raise BadRequest(400, "bad chunk size")
        if raw:
            yield line
        if size == 0:
            while True:
                t = read_line(rfile)
                if not t:
                    raise BadRequest(400, "truncated trailers")
                if raw:
                    yield t
                if t in (b"\r\n", b"\n"):
                    return
        left = size
        while left:
            data = rfile.read(min(left, 1 << 16))
            if not data:
                raise BadRequest(400, "truncated chunk")
            left -= len(data)
            yield data
        crlf = read_line(rfile, 2)
        if crlf not in (b"\r\n", b"\n"):
            raise BadRequest(400, "chunk not followed by CRLF")
        if raw:
            yield crlf


def iter_length(rfile, n):
    while n:
        data = rfile.read(min(n, 1 << 16))
        if not data:
            raise BadRequest(400, "truncated body")
        n -= len(data)
        yield data


class Request:
    def __init__(self, conn, start, headers, raw_head):
        self.conn = conn
        self.sock = conn.sock
        self.raw_head = raw_head
        parts = start.split(" ")
        if len(parts) != 3 or not parts[2].startswith("HTTP/1."):
            raise BadRequest(400, "malformed request line")
        self.method, self.target, self.version = parts
        if not METHOD_RE.match(self.method):
            raise BadRequest(400, "malformed method")
        self.headers = headers
        split = urlsplit(self.target)
        self.path = split.path
        self.query_string = split.query
        self.query = parse_qs(split.query, keep_blank_values=True)
        self.framing = body_framing(headers)
        conn_hdr = get_header(headers, "connection", "").lower()
        if self.version == "HTTP/1.0":
            self.keep_alive = "keep-alive" in conn_hdr
        else:
            self.keep_alive = not has_token(headers, "connection", "close")
        self._body_state = "unread"
        self._continue_sent = False

    def header(self, name, default=None):
        return get_header(self.headers, name, default)

    def arg(self, name, default=None, conv=str):
        vals = self.query.get(name)
        if not vals:
            return default
        try:
            return conv(vals[0])
        except ValueError:
            raise BadRequest(400, "bad query parameter %s" % name)

    def body_chunks(self):
        if self._body_state != "unread":
            raise RuntimeError("body already read")
        self._body_state = "reading"
        kind, n = self.framing
        if kind == "none" or (kind == "length" and n == 0):
            self._body_state = "done"
            return
        if has_token(self.headers, "expect", "100-continue") and not self._continue_sent:
            self._continue_sent = True
            self.sock.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
        it = iter_chunked(self.conn.rfile) if kind == "chunked" else iter_length(self.conn.rfile, n)
        for data in it:
            yield data
        self._body_state = "done"

    def read_body(self):
        return b"".join(self.body_chunks())

    def finish_body(self):
        """Drains an unread body so the next request on the connection parses."""
        if self._body_state == "unread":
            for _ in self.body_chunks():
                pass
        elif self._body_state != "done":
            raise Close()

    def send(self, data):
        self.sock.sendall(data)

    def respond(self, status, body=b"", headers=(), ctype="text/plain", reason=None):
        """A complete response with Content-Length. HEAD gets the head only."""
        if isinstance(body, str):
            body = body.encode("utf-8")
        hdrs = []
        no_body = status in (204, 304) or 100 <= status < 200
        if ctype and not no_body:
            hdrs.append(("Content-Type", ctype))
        if not no_body:
            hdrs.append(("Content-Length", len(body)))
        hdrs.extend(headers)
        if not self.keep_alive:
            hdrs.append(("Connection", "close"))
        out = head_bytes(status, hdrs, reason)
        if self.method != "HEAD" and not no_body:
            out += body
        self.sock.sendall(out)


class Conn:
    def __init__(self, sock, conn_id):
        self.sock = sock
        self.id = conn_id
        self.rfile = sock.makefile("rb", buffering=1 << 16)
        self.requests = 0


class ThreadedServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256

    def __init__(self, handler_cls, host="127.0.0.1", port=0):
        super().__init__((host, port), handler_cls)

    @property
    def port(self):
        return self.server_address[1]

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, NET_ERRORS + (Close,)):
            return
        super().handle_error(request, client_address)


def serve_in_thread(server):
    import threading
    t = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                         daemon=True)
    t.start()
    return t
