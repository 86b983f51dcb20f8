"""The `http-proxy` and `socks5` kinds.

Neither proxy resolves names or reaches beyond loopback: a host name is taken
to mean 127.0.0.1 (so tests may use made-up names and see them arrive), an IP
literal must be a loopback address, anything else is refused.
"""

import ipaddress
import json
import socket
import socketserver
import struct
import threading
from urllib.parse import urlsplit

import httpcore
from httpcore import BadRequest, head_bytes

HOP_BY_HOP = {"connection", "keep-alive", "proxy-connection", "proxy-authorization",
              "proxy-authenticate", "te", "trailer", "transfer-encoding", "upgrade",
              "expect", "content-length"}
CONNECT_TIMEOUT_S = 10


class Refused(Exception):
    pass


def loopback_address(host):
    """The address to connect to for `host`, or Refused."""
    host = host.strip("[]")
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        return "127.0.0.1"
    if not ip.is_loopback:
        raise Refused("%s is not a loopback address" % host)
    return str(ip)


class SeenLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def add(self, method, target):
        if not self.path:
            return
        line = json.dumps([method, target]) + "\n"
        with self.lock, open(self.path, "a") as f:
            f.write(line)


def relay(a, b, a_pending=b""):
    """Copies both ways between sockets a and b until both directions end."""
    def pump(src, dst, first=b""):
        try:
            if first:
                dst.sendall(first)
            while True:
                data = src.recv(1 << 16)
                if not data:
                    break
                dst.sendall(data)
        except OSError:
            pass
        for s, how in ((dst, socket.SHUT_WR), (src, socket.SHUT_RD)):
            try:
                s.shutdown(how)
            except OSError:
                pass

    t = threading.Thread(target=pump, args=(b, a), daemon=True)
    t.start()
    pump(a, b, a_pending)
    t.join()


def _buffered(conn):
    """Bytes the client sent after the CONNECT head that sit in our read buffer."""
    conn.sock.setblocking(False)
    try:
        data = conn.rfile.peek(1 << 16)
        return conn.rfile.read(len(data)) if data else b""
    except (BlockingIOError, OSError):
        return b""
    finally:
        conn.sock.setblocking(True)


# --- HTTP forward proxy ---------------------------------------------------------

class HttpProxyHandler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = httpcore.Conn(self.request, 0)
        while True:
            try:
                head = httpcore.read_head(conn.rfile)
                if head is None:
                    return
                req = httpcore.Request(conn, *head)
                self.server.seen.add(req.method, req.target)
                if req.method == "CONNECT":
                    return self.connect(conn, req)
                if not req.target.lower().startswith("http://"):
                    raise BadRequest(400, "a forward proxy needs an absolute http:// URI")
                if not self.forward(req):
                    return
            except BadRequest as e:
                self.request.sendall(head_bytes(e.status, [("Content-Length", 0),
                                                           ("Connection", "close")]))
                return
            if not req.keep_alive:
                return

    def connect(self, conn, req):
        if self.server.refuse_connect:
            req.keep_alive = False
            return req.respond(403, "CONNECT refused\n")
        host, _, port = req.target.rpartition(":")
        if not host or not port.isdigit():
            raise BadRequest(400, "CONNECT needs host:port")
        try:
            upstream = socket.create_connection((loopback_address(host), int(port)),
                                                timeout=CONNECT_TIMEOUT_S)
        except Refused as e:
            req.keep_alive = False
            return req.respond(403, str(e) + "\n")
        except OSError as e:
            req.keep_alive = False
            return req.respond(502, "cannot reach %s: %s\n" % (req.target, e))
        upstream.settimeout(None)
        with upstream:
            conn.sock.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            relay(conn.sock, upstream, _buffered(conn))

    def forward(self, req):
        """Relays one request; returns False when the client connection must end."""
        u = urlsplit(req.target)
        try:
            addr = loopback_address(u.hostname or "")
            port = u.port or 80
        except Refused as e:
            req.finish_body()
            req.respond(403, str(e) + "\n")
            return True
        except ValueError:
            raise BadRequest(400, "bad port")
        try:
            up = socket.create_connection((addr, port), timeout=CONNECT_TIMEOUT_S)
        except OSError as e:
            req.finish_body()
            req.respond(502, "cannot reach %s: %s\n" % (u.netloc, e))
            return True
        with up:
            up.settimeout(None)
            path = u.path or "/"
            if u.query:
                path += "?" + u.query
            hdrs = [(k, v) for k, v in req.headers if k.lower() not in HOP_BY_HOP]
            kind, n = req.framing
            if kind == "chunked":
                hdrs.append(("Transfer-Encoding", "chunked"))
            elif kind == "length":
                hdrs.append(("Content-Length", n))
            hdrs += [("Via", "1.1 test-proxy"), ("Connection", "close")]
            out = ("%s %s HTTP/1.1\r\n" % (req.method, path)).encode()
            up.sendall(out + head_bytes(0, hdrs).split(b"\r\n", 1)[1])
            for data in req.body_chunks():
                up.sendall(b"%x\r\n%s\r\n" % (len(data), data) if kind == "chunked" else data)
            if kind == "chunked":
                up.sendall(b"0\r\n\r\n")
            return self.relay_response(req, up)

    def relay_response(self, req, up):
        rfile = up.makefile("rb", buffering=1 << 16)
        while True:
            head = httpcore.read_head(rfile)
            if head is None:
                raise BadRequest(502, "upstream closed without a response")
            start, hdrs, _ = head
            try:
                status = int(start.split(" ", 2)[1])
            except (IndexError, ValueError):
                raise BadRequest(502, "bad upstream status line")
            if status >= 200 or status == 101:
                break      # interim 1xx answers are dropped
        out_hdrs = [(k, v) for k, v in hdrs
                    if k.lower() not in ("connection", "keep-alive", "proxy-connection")]
        no_body = req.method == "HEAD" or status in (204, 304)
        kind, n = ("none", 0) if no_body else httpcore.body_framing(hdrs)
        until_eof = not no_body and kind == "none"
        if until_eof or not req.keep_alive:
            out_hdrs.append(("Connection", "close"))
        reason = start.split(" ", 2)[2] if start.count(" ") >= 2 else None
        send = req.sock.sendall
        send(head_bytes(status, out_hdrs, reason))
        if kind == "chunked":
            for data in httpcore.iter_chunked(rfile, raw=True):
                send(data)
        elif kind == "length":
            for data in httpcore.iter_length(rfile, n):
                send(data)
        elif until_eof:
            while True:
                data = rfile.read1(1 << 16)
                if not data:
                    break
                send(data)
            return False
        return req.keep_alive


def make_http_proxy(refuse_connect=False, log_path=None):
    srv = httpcore.ThreadedServer(HttpProxyHandler)
    srv.refuse_connect = refuse_connect
    srv.seen = SeenLog(log_path)
    return srv


# --- SOCKS5 --------------------------------------------------------------------

REP_OK, REP_FAIL, REP_NOT_ALLOWED, REP_REFUSED, REP_CMD, REP_ATYP = 0, 1, 2, 5, 7, 8


def _recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        data = sock.recv(n - len(buf))
        if not data:
            raise ConnectionError("client went away")
        buf += data
    return buf


class Socks5Handler(socketserver.BaseRequestHandler):
    def reply(self, code, bind=("0.0.0.0", 0)):
        self.request.sendall(b"\x05" + bytes([code]) + b"\x00\x01" +
                             socket.inet_aton(bind[0]) + struct.pack(">H", bind[1]))

    def handle(self):
        s = self.request
        ver, nmethods = _recv_exact(s, 2)
        if ver != 5:
            return
        if 0 not in _recv_exact(s, nmethods):
            s.sendall(b"\x05\xff")
            return
        s.sendall(b"\x05\x00")
        ver, cmd, _, atyp = _recv_exact(s, 4)
        if atyp == 1:
            host = socket.inet_ntoa(_recv_exact(s, 4))
        elif atyp == 3:
            host = _recv_exact(s, _recv_exact(s, 1)[0]).decode("utf-8", "replace")
        elif atyp == 4:
            host = "[%s]" % socket.inet_ntop(socket.AF_INET6, _recv_exact(s, 16))
        else:
            return self.reply(REP_ATYP)
        port = struct.unpack(">H", _recv_exact(s, 2))[0]
        self.server.seen.add("CONNECT" if cmd == 1 else "CMD%d" % cmd, "%s:%d" % (host, port))
        if ver != 5 or cmd != 1:
            return self.reply(REP_CMD)
        try:
            addr = loopback_address(host)
        except Refused:
            return self.reply(REP_NOT_ALLOWED)
        try:
            up = socket.create_connection((addr, port), timeout=CONNECT_TIMEOUT_S)
        except ConnectionRefusedError:
            return self.reply(REP_REFUSED)
        except OSError:
            return self.reply(REP_FAIL)
        with up:
            up.settimeout(None)
            bound = up.getsockname()
            self.reply(REP_OK, bound if up.family == socket.AF_INET else ("0.0.0.0", 0))
            relay(s, up)


def make_socks5(log_path=None):
    srv = httpcore.ThreadedServer(Socks5Handler)
    srv.seen = SeenLog(log_path)
    return srv
