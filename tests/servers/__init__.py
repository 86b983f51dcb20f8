"""Local test servers for the pytest suite, the demo and the benchmarks.

Each class runs `serve.py KIND` in a child process (so a client under test that
holds the GIL or crashes cannot take the server with it) and is a context
manager:

    with HttpServer() as s:
        url = s.url("/echo")
"""

import json
import os
import select
import subprocess
import sys
import tempfile
import time

from .patterns import COMPRESSIBLE_BODY, PERIOD, pattern_byte, pattern_bytes  # noqa: F401

SERVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "serve.py")
START_TIMEOUT_S = 60


class ServerError(RuntimeError):
    pass


class _Server:
    kind = None
    default_port = "port"

    def __init__(self, *args, python=None, certs=None):
        self._args = list(args)
        if certs:
            self._args += ["--certs", certs]
        self._python = python or sys.executable
        self.proc = None
        self.info = None

    def start(self):
        if self.proc is not None:
            return self
        try:
            self.proc = subprocess.Popen([self._python, SERVE, self.kind] + self._args,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        except OSError:
            self.stop()     # releases what the subclass set up (proxy logs)
            raise
        line = self._read_ready_line()
        try:
            self.info = json.loads(line)
        except ValueError:
            self.stop()
            raise ServerError("%s server: bad ready line %r" % (self.kind, line))
        return self

    def _read_ready_line(self):
        fd = self.proc.stdout.fileno()
        buf = b""
        deadline = time.monotonic() + START_TIMEOUT_S
        while not buf.endswith(b"\n"):
            left = deadline - time.monotonic()
            r, _, _ = select.select([fd], [], [], max(left, 0))
            chunk = os.read(fd, 4096) if r else b""
            if not chunk:
                self.stop()
                raise ServerError("%s server did not start (exit status %s)"
                                  % (self.kind, self.proc.returncode))
            buf += chunk
        return buf.decode()

    def stop(self):
        p = self.proc
        if p is None:
            return
        if p.stdin:
            try:
                p.stdin.close()
            except OSError:
                pass
        try:
            p.wait(15)
        except subprocess.TimeoutExpired:
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        if p.stdout:
            p.stdout.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def pid(self):
        return self.info["pid"]

    def port(self, which=None):
        return self.info[which or self.default_port]

    @property
    def host(self):
        return "127.0.0.1"

    def _scheme(self, which):
        return "https" if which in ("https", "h2") else "http"

    def url(self, path="/", which=None, host=None):
        scheme = self._scheme(which or self.default_port)
        if not path.startswith("/"):
            path = "/" + path
        return "%s://%s:%d%s" % (scheme, host or self.host, self.port(which), path)


class HttpServer(_Server):
    """The `http` kind; HttpServer(tls=True) serves the same routes over HTTPS,
    HttpServer(host="127.0.0.2") listens on another loopback address."""
    kind = "http"

    def __init__(self, tls=False, host="127.0.0.1", **kw):
        super().__init__(*(["--tls"] if tls else []), "--host", host, **kw)
        self.tls = tls
        self._host = host

    @property
    def host(self):
        return self._host

    @property
    def ca(self):
        return self.info.get("ca")

    def _scheme(self, which):
        return "https" if self.tls else "http"


class NginxServer(_Server):
    """nginx on three ports: port('http'), port('https') (HTTP/1.1 only), port('h2');
    with h3=True also an HTTP/3 server at port('h3') (tests/servers/h3.py)."""
    kind = "nginx"
    default_port = "http_port"

    def __init__(self, big_mib=0, h3=False, **kw):
        super().__init__(*(["--big-mib", str(big_mib)] if big_mib else []) + (["--h3"] if h3 else []),
                         **kw)

    def port(self, which=None):
        which = which or "http"
        return self.info[which if which.endswith("_port") else which + "_port"]

    def url(self, path="/", which="http", host=None):
        return super().url(path, which, host)

    @property
    def docroot(self):
        return self.info["docroot"]

    @property
    def ca(self):
        return self.info["ca"]


class _Proxy(_Server):
    scheme = "http"

    def __init__(self, *args, **kw):
        fd, self._log = tempfile.mkstemp(prefix="tarnwick-%s-" % self.kind, suffix=".log")
        os.close(fd)
        super().__init__(*(list(args) + ["--log", self._log]), **kw)

    def stop(self):
        super().stop()
        if self._log and os.path.exists(self._log):
            os.unlink(self._log)

    @property
    def seen(self):
        """What the proxy was asked for so far, oldest first."""
        with open(self._log) as f:
            return [tuple(json.loads(line)) for line in f if line.endswith("\n")]

    def clear_seen(self):
        open(self._log, "w").close()

    @property
    def proxy_url(self):
        return "%s://127.0.0.1:%d" % (self.scheme, self.port())


class HttpProxy(_Proxy):
    """Forward proxy; .seen is a list of (method, target)."""
    kind = "http-proxy"

    def __init__(self, refuse_connect=False, **kw):
        super().__init__(*(["--refuse-connect"] if refuse_connect else []), **kw)


class Socks5Proxy(_Proxy):
    """SOCKS5 proxy; .seen is a list of ("CONNECT", "host:port") as the client sent it."""
    kind = "socks5"
    scheme = "socks5"


class BadTlsServers(_Server):
    """TLS listeners that must fail verification: port('wrong_host'),
    port('expired'), port('self_signed'), port('handshake_fail')."""
    kind = "tls-bad"
    default_port = "wrong_host"

    def port(self, which=None):
        return self.info["ports"][which or self.default_port]

    def _scheme(self, which):
        return "https"

    @property
    def ca(self):
        return self.info["ca"]


__all__ = ["HttpServer", "NginxServer", "HttpProxy", "Socks5Proxy", "BadTlsServers",
           "ServerError", "COMPRESSIBLE_BODY", "pattern_bytes", "pattern_byte", "PERIOD"]
