"""The HTTP/3 server of the benchmark: ngtcp2's C example server (Debian's
ngtcp2-server, binary gtlsserver), serving nginx's document root, so the same
paths answer over TCP and QUIC. A Python server would measure itself."""

import os
import shutil
import socket
import subprocess
import time

BINARY = "gtlsserver"
# Flow-control windows large enough that a loopback download is not held to
# the server's defaults (256 KiB per stream at first).
WINDOWS = ["--max-data=16M", "--max-stream-data-bidi-local=16M",
           "--max-window=64M", "--max-stream-window=64M"]


def _free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
    finally:
        s.close()


def udp_bound(port, table="/proc/net/udp"):
    """Whether some socket listens on 127.0.0.1:port (UDP has no connect probe)."""
    want = "0100007F:%04X" % port
    try:
        with open(table) as f:
            return any(line.split()[1] == want for line in f.readlines()[1:])
    except OSError:
        return False


class H3Server:
    def __init__(self, docroot, cert, key):
        self.docroot, self.cert, self.key = docroot, cert, key
        self.proc = None
        self.port = None

    def __enter__(self):
        exe = shutil.which(BINARY)
        if exe is None:
            raise RuntimeError("%s not found (Debian package ngtcp2-server)" % BINARY)
        for _attempt in range(5):   # the port can be taken between the pick and the bind
            port = _free_udp_port()
            self.proc = subprocess.Popen(
                [exe, "-q", "--no-quic-dump", "--no-http-dump", "--timeout=120s", *WINDOWS,
                 "-d", self.docroot, "127.0.0.1", str(port), self.key, self.cert],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while self.proc.poll() is None and time.monotonic() < deadline:
                if udp_bound(port):
                    self.port = port
                    return self
                time.sleep(0.05)
            self._stop()
        raise RuntimeError("%s did not start" % BINARY)

    def _stop(self):
        p, self.proc = self.proc, None
        if p is not None and p.poll() is None:
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def __exit__(self, *exc):
        self._stop()
        return False

    @property
    def pid(self):
        return self.proc.pid
