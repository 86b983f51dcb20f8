"""The `tls-bad` kind: TLS listeners whose certificates a verifying client must
reject, plus one whose handshake fails outright and one good control."""

import select
import socketserver

import certs
import http_server
import httpcore

GARBAGE = b"this is not a TLS record\r\n" * 4


class HandshakeFailHandler(socketserver.BaseRequestHandler):
    def handle(self):
        s = self.request
        # Wait for the ClientHello so the client is mid-handshake when the junk lands.
        r, _, _ = select.select([s], [], [], 10)
        if r:
            s.recv(1 << 14)
            s.sendall(GARBAGE)


class BadTls:
    def __init__(self, cert_dir):
        self.cert_dir = cert_dir
        self.servers = []

    def _tls(self, cert_key):
        srv = http_server.make_server(certs.server_context(*cert_key))
        self.servers.append(srv)
        httpcore.serve_in_thread(srv)
        return srv.port

    def start(self):
        d = self.cert_dir
        ca = certs.ensure_ca(d)
        ports = {
            "good": self._tls(certs.server_cert(d, "localhost", ca)),
            "wrong_host": self._tls(certs.server_cert(d, "other-host", ca,
                                                      dns=("other.example",), ips=())),
            "expired": self._tls(certs.server_cert(d, "expired", ca, expired=True)),
            "self_signed": self._tls(certs.self_signed(d, "self-signed")),
        }
        hs = httpcore.ThreadedServer(HandshakeFailHandler)
        self.servers.append(hs)
        httpcore.serve_in_thread(hs)
        ports["handshake_fail"] = hs.port
        return {"ports": ports, "ca": ca.cert}

    def stop(self):
        for s in self.servers:
            s.shutdown()
            s.server_close()
