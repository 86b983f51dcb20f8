"""A small HTTP/3 server (aioquic) for the QUIC tests, in a thread of its own.

Routes; every response carries `x-protocol: HTTP/3`, so a test sees which
server answered:
  /proto             "HTTP/3\\n"
  /echo              the request body back (any method)
  /alt-clear         "HTTP/3\n" with `Alt-Svc: clear`
  /redirect          302 to /proto
  /bytes/N           N bytes of the pattern (seed 0)
  /slow              answers after 60 s (for timeouts and cancellation)
"""

import asyncio
import threading

from aioquic.asyncio import serve
from aioquic.asyncio.protocol import QuicConnectionProtocol
from aioquic.h3.connection import H3_ALPN, H3Connection
from aioquic.h3.events import DataReceived, HeadersReceived
from aioquic.quic.configuration import QuicConfiguration
from aioquic.quic.events import ProtocolNegotiated

from patterns import pattern_bytes


class _Protocol(QuicConnectionProtocol):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._http = None
        self._requests = {}

    def quic_event_received(self, event):
        if isinstance(event, ProtocolNegotiated) and event.alpn_protocol in H3_ALPN:
            self._http = H3Connection(self._quic)
        if self._http is None:
            return
        for ev in self._http.handle_event(event):
            if isinstance(ev, HeadersReceived):
                self._requests[ev.stream_id] = (dict(ev.headers), bytearray())
            elif isinstance(ev, DataReceived) and ev.stream_id in self._requests:
                self._requests[ev.stream_id][1].extend(ev.data)
            else:
                continue
            if ev.stream_ended:
                headers, body = self._requests.pop(ev.stream_id)
                self._answer(ev.stream_id, headers, bytes(body))

    def _answer(self, sid, headers, body):
        path = headers.get(b":path", b"/").decode()
        status, extra, out = 200, [], b""
        if path == "/proto":
            out = b"HTTP/3\n"
        elif path == "/alt-clear":
            out, extra = b"HTTP/3\n", [(b"alt-svc", b"clear")]
        elif path == "/echo":
            out = body
        elif path == "/redirect":
            status, extra = 302, [(b"location", b"/proto")]
        elif path.startswith("/bytes/") and path[7:].isdigit():
            out = pattern_bytes(int(path[7:]))
        elif path == "/slow":
            asyncio.get_event_loop().call_later(60, self._send, sid, 200, [], b"late\n")
            return
        else:
            status, out = 404, b"not found\n"
        self._send(sid, status, extra, out)

    def _send(self, sid, status, extra, out):
        try:
            self._http.send_headers(sid, [(b":status", str(status).encode()),
                                          (b"content-length", str(len(out)).encode()),
                                          (b"x-protocol", b"HTTP/3")] + extra)
            self._http.send_data(sid, out, end_stream=True)
        except Exception:  # the client went away or reset the stream
            return
        self.transmit()


def start(cert, key):
    """Serves on 127.0.0.1 at a UDP port the kernel picks; returns (port, stop)."""
    loop = asyncio.new_event_loop()
    ready = threading.Event()
    box = {}

    async def main():
        cfg = QuicConfiguration(is_client=False, alpn_protocols=H3_ALPN,
                                max_datagram_frame_size=65536)
        cfg.load_cert_chain(cert, key)
        box["server"] = await serve("127.0.0.1", 0, configuration=cfg,
                                    create_protocol=_Protocol)
        box["port"] = box["server"]._transport.get_extra_info("sockname")[1]
        ready.set()

    def run():
        asyncio.set_event_loop(loop)
        loop.run_until_complete(main())
        loop.run_forever()

    t = threading.Thread(target=run, name="h3", daemon=True)
    t.start()
    if not ready.wait(20):
        raise RuntimeError("HTTP/3 server did not start")

    def stop():
        loop.call_soon_threadsafe(box["server"].close)
        loop.call_soon_threadsafe(loop.stop)
        t.join(5)

    return box["port"], stop
