"""The `nginx` kind: Debian's nginx on a generated config in a temp directory."""

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import certs
from patterns import COMPRESSIBLE_BODY, PatternSource, pattern_bytes

NGINX = os.environ.get("TARNWICK_NGINX", "/usr/sbin/nginx")
MODULE_DIRS = ("/usr/lib/nginx/modules", "/usr/share/nginx/modules")
BROTLI_MODULE = "ngx_http_brotli_filter_module.so"
# Bodies up to this size stay in memory; bigger ones spill to the temp dir.
BODY_BUFFER = "64m"

CONF = """\
{load_brotli}
daemon off;
master_process on;
worker_processes 1;
{user}
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections 4096; }}
http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    keepalive_timeout 120s;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    ssl_certificate {cert};
    ssl_certificate_key {key};
    ssl_protocols TLSv1.2 TLSv1.3;
    {brotli}
    gzip on;
    gzip_types text/plain application/json;
    gzip_min_length 20;

    server {{
        listen 127.0.0.1:{http_port};
        listen 127.0.0.1:{https_port} ssl;
        listen 127.0.0.1:{h2_port} ssl http2;
        server_name localhost 127.0.0.1;
        root {docroot};

        # proxy_pass (buffered) reads the whole body before it answers, unlike
        # `return`, which replies at once and discards the body afterwards.
        location = /upload {{
            client_max_body_size 0;
            client_body_buffer_size {body_buffer};
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_pass_request_body off;
            proxy_set_header Content-Length "";
            proxy_set_header Transfer-Encoding "";
            proxy_pass http://sink_upstream/__upload_done;
        }}
        location = /status {{
            return 200 "ok\\n";
        }}
        # The connection's serial number: tells reused connections from new ones.
        location = /conn {{
            return 200 "$connection\\n";
        }}
        # The protocol that served the request; /alt also advertises an
        # HTTP/3 alternative (?h3=PORT&ma=SECONDS), /alt-clear withdraws it.
        location = /proto {{
            return 200 "$server_protocol\\n";
        }}
        location = /alt {{
            add_header Alt-Svc 'h3=":$arg_h3"; ma=$arg_ma' always;
            return 200 "$server_protocol\\n";
        }}
        location = /alt-clear {{
            add_header Alt-Svc clear always;
            return 200 "$server_protocol\\n";
        }}
    }}
    upstream sink_upstream {{
        server unix:{tmp}/sink.sock;
        keepalive 16;
    }}
    # Answers /upload once its body is in; reachable only through the socket file.
    server {{
        listen unix:{tmp}/sink.sock;
        access_log off;
        location / {{ return 204; }}
    }}
}}
"""


def _find_module(name):
    for d in MODULE_DIRS:
        p = os.path.join(d, name)
        if os.path.exists(p):
            return p
    return None


def _free_ports(n):
    socks = []
    try:
        for _ in range(n):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def _die_with_parent():
    # nginx must not outlive us even if we are SIGKILLed.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def write_big_file(path, mib):
    src = PatternSource(0)
    total = mib << 20
    with open(path, "wb") as f:
        off = 0
        while off < total:
            piece = src.slice(off, min(1 << 20, total - off))
            f.write(piece)
            off += len(piece)


class Nginx:
    def __init__(self, cert_dir, big_mib=0):
        self.cert_dir = cert_dir
        self.big_mib = big_mib
        self.tmp = None
        self.proc = None

    def _write_tree(self):
        self.tmp = tempfile.mkdtemp(prefix="tarnwick-nginx-")
        os.chmod(self.tmp, 0o755)
        self.docroot = os.path.join(self.tmp, "docroot")
        os.mkdir(self.docroot)
        with open(os.path.join(self.docroot, "1k.bin"), "wb") as f:
            f.write(pattern_bytes(1024))
        with open(os.path.join(self.docroot, "text.txt"), "wb") as f:
            f.write(COMPRESSIBLE_BODY)
        if self.big_mib:
            write_big_file(os.path.join(self.docroot, "big.bin"), self.big_mib)

    def _config(self, ports, cert, key):
        brotli_mod = _find_module(BROTLI_MODULE)
        user = ""
        if os.geteuid() == 0:
            import grp
            import pwd
            user = "user %s %s;" % (pwd.getpwuid(0).pw_name, grp.getgrgid(0).gr_name)
        return CONF.format(
            load_brotli=("load_module %s;" % brotli_mod) if brotli_mod else "",
            brotli=("brotli on; brotli_comp_level 5; brotli_min_length 20; "
                    "brotli_types text/plain application/json;") if brotli_mod else "",
            user=user, tmp=self.tmp, cert=cert, key=key, docroot=self.docroot,
            body_buffer=BODY_BUFFER, http_port=ports[0], https_port=ports[1],
            h2_port=ports[2])

    def start(self):
        ca = certs.ensure_ca(self.cert_dir)
        cert, key = certs.server_cert(self.cert_dir, "localhost", ca)
        self._write_tree()
        conf_path = os.path.join(self.tmp, "nginx.conf")
        last_err = ""
        for _attempt in range(5):   # a port picked free can be taken before nginx binds
            ports = _free_ports(3)
            with open(conf_path, "w") as f:
                f.write(self._config(ports, cert, key))
            errf = open(os.path.join(self.tmp, "stderr.log"), "wb")
            self.proc = subprocess.Popen(
                [NGINX, "-p", self.tmp, "-c", conf_path, "-e", os.path.join(self.tmp, "error.log")],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errf,
                preexec_fn=_die_with_parent)
            errf.close()
            if self._wait_ready(ports):
                return {"http_port": ports[0], "https_port": ports[1], "h2_port": ports[2],
                        "docroot": self.docroot, "ca": ca.cert,
                        "brotli": _find_module(BROTLI_MODULE) is not None}
            last_err = self._stop_proc()
        self.stop()
        raise RuntimeError("nginx did not start: " + last_err)

    def _wait_ready(self, ports, timeout=20):
        deadline = time.monotonic() + timeout
        pending = list(ports)
        while pending and time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                socket.create_connection(("127.0.0.1", pending[0]), timeout=1).close()
                pending.pop(0)
            except OSError:
                time.sleep(0.05)
        return not pending

    def _stop_proc(self):
        p, self.proc = self.proc, None
        if p is None:
            return ""
        if p.poll() is None:
            p.terminate()   # fast shutdown: open downloads must not hold us up
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        err = ""
        for name in ("stderr.log", "error.log"):
            log = os.path.join(self.tmp or "", name)
            if os.path.exists(log):
                with open(log, errors="replace") as f:
                    err += f.read()[-4000:]
        return err

    def stop(self):
        self._stop_proc()
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)
            self.tmp = None
