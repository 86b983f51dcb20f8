#!/usr/bin/env python3
"""A raw-socket HTTP/1.1 keep-alive server that misbehaves on purpose between
requests. Each request is answered with its path as the body; after the first
response on its first connection the server does what the case says (writes
stray bytes, or closes) a moment later, while the connection is idle; later
connections are served plainly.

    python tests/servers/raw_http.py CASE [--cert PEM --key KEY]

Prints {"port": P} when ready. Then each line on stdin is a command, answered
with one JSON line: `wait` (until the case's stray bytes are out, at most 10 s)
and `state` both answer {"connections": N, "stray_done": bool}. EOF on stdin
ends the server.
"""

import argparse
import gzip
import json
import socket
import ssl
import sys
import threading

_GZ_OK = gzip.compress(b"ok", mtime=0)


def answer(path, status=b"200 OK", length=None, body=None):
    body = path.encode() if body is None else body
    n = len(body) if length is None else length
    return b"HTTP/1.1 " + status + b"\r\nContent-Length: %d\r\n\r\n" % n + body


CLOSE = object()
# case: (the first response of a connection, what follows it while idle)
CASES = {
    "quiet": (None, None),
    "unsolicited-200": (None, b"HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nUNSOLICITED"),
    "stray-302": (None, b"HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n"),
    "stray-103": (None, b"HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n"),
    "late-body-after-204": (lambda p: b"HTTP/1.1 204 No Content\r\n\r\n", b"LATE BODY"),
    "late-body-after-head": (lambda p: answer(p, length=9, body=b""), b"LATE BODY"),
    "closed-while-idle": (None, CLOSE),
    # Framing headers written with a space before the colon.
    "spaced-length": (lambda p: b"HTTP/1.1 200 OK\r\nContent-Length : 2\r\n\r\nokJUNK", None),
    "spaced-length-zero": (lambda p: b"HTTP/1.1 200 OK\r\nContent-Length\t: 0\r\n\r\n", None),
    "spaced-length-cut": (lambda p: b"HTTP/1.1 200 OK\r\nContent-Length : 10\r\n\r\nok", CLOSE),
    "spaced-length-encoded": (lambda p: b"HTTP/1.1 200 OK\r\nContent-Length : %d\r\n"
                              b"Content-Encoding: gzip\r\n\r\n%s" % (len(_GZ_OK), _GZ_OK), None),
    "spaced-chunked": (lambda p: b"HTTP/1.1 200 OK\r\nTransfer-Encoding : chunked\r\n\r\n"
                       b"2\r\nok\r\n0\r\n\r\n", None),
}


class RawServer:
    def __init__(self, case, tls=None):
        self.first, self.stray = CASES[case]
        self.tls = tls
        self.connections = 0
        self.stray_done = threading.Event()
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._serve, args=(c, self.connections == 1),
                             daemon=True).start()

    def _serve(self, c, first):
        try:
            if self.tls:
                c = self.tls.wrap_socket(c, server_side=True)
            buf = b""
            while True:
                while b"\r\n\r\n" not in buf:
                    data = c.recv(65536)
                    if not data:
                        return
                    buf += data
                head, buf = buf.split(b"\r\n\r\n", 1)
                path = head.split(b" ")[1].decode()
                c.sendall(self.first(path) if first and self.first else answer(path))
                if first and self.stray is not None:
                    threading.Event().wait(0.2)  # the client has taken the response in
                    if self.stray is CLOSE:
                        c.close()
                    else:
                        c.sendall(self.stray)
                    self.stray_done.set()
                    if self.stray is CLOSE:
                        return
                first = False
        except (OSError, ValueError, IndexError):
            return
        finally:
            c.close()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("case", choices=sorted(CASES))
    p.add_argument("--cert")
    p.add_argument("--key")
    args = p.parse_args()
    tls = None
    if args.cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.cert, args.key)
    srv = RawServer(args.case, tls)
    print(json.dumps({"port": srv.port}), flush=True)
    for line in sys.stdin:
        if line.strip() == "wait":
            srv.stray_done.wait(10)
        print(json.dumps({"connections": srv.connections,
                          "stray_done": srv.stray_done.is_set()}), flush=True)
    srv.sock.close()


if __name__ == "__main__":
    main()
