"""Throwaway CA and server certificates made with the openssl command."""

import os
import ssl
import subprocess
import tempfile
from collections import namedtuple

CA = namedtuple("CA", "cert key")

# Used by the expired certificate: long past, and already over.
EXPIRED_START = "20200101000000Z"
EXPIRED_END = "20200201000000Z"


def _openssl(*args, cwd=None):
    subprocess.run(("openssl",) + args, check=True, cwd=cwd,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def _ec_key(path):
    # EC keys: generated in milliseconds, unlike RSA.
    _openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
             "-out", path)


def _atomic_dir_lock(d):
    """Serialises CA creation between servers started at once on one directory."""
    import fcntl
    f = open(os.path.join(d, ".lock"), "w")
    fcntl.flock(f, fcntl.LOCK_EX)
    return f


def ensure_ca(d, name="ca"):
    cert, key = os.path.join(d, name + ".pem"), os.path.join(d, name + ".key")
    with _atomic_dir_lock(d):
        if not (os.path.exists(cert) and os.path.exists(key)):
            tmpkey = key + ".tmp"
            _ec_key(tmpkey)
            _openssl("req", "-x509", "-new", "-key", tmpkey, "-out", cert + ".tmp",
                     "-days", "3650", "-subj", "/CN=tarnwick test CA " + name,
                     "-addext", "basicConstraints=critical,CA:TRUE",
                     "-addext", "keyUsage=critical,keyCertSign,cRLSign")
            os.replace(tmpkey, key)
            os.replace(cert + ".tmp", cert)
    return CA(cert, key)


def _ext_file(d, dns, ips):
    san = ",".join(["DNS:" + n for n in dns] + ["IP:" + i for i in ips])
    fd, path = tempfile.mkstemp(dir=d, suffix=".ext")
    with os.fdopen(fd, "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=%s\n" % san)
    return path


def server_cert(d, label, ca, dns=("localhost",), ips=("127.0.0.1",), expired=False):
    """Returns (cert_path, key_path) for a leaf signed by `ca`; made once per label."""
    cert, key = os.path.join(d, label + ".pem"), os.path.join(d, label + ".key")
    with _atomic_dir_lock(d):
        if os.path.exists(cert) and os.path.exists(key):
            return cert, key
        _ec_key(key)
        csr = os.path.join(d, label + ".csr")
        _openssl("req", "-new", "-key", key, "-out", csr, "-subj", "/CN=" + dns[0])
        ext = _ext_file(d, dns, ips)
        try:
            if expired:
                _sign_with_dates(d, ca, csr, cert, ext)
            else:
                _openssl("x509", "-req", "-in", csr, "-CA", ca.cert, "-CAkey", ca.key,
                         "-CAcreateserial", "-CAserial", os.path.join(d, "ca.srl"),
                         "-days", "825", "-sha256", "-extfile", ext, "-out", cert)
        finally:
            os.unlink(ext)
            os.unlink(csr)
    return cert, key


def _sign_with_dates(d, ca, csr, out, ext):
    # `openssl x509` here cannot set a start date in the past; `openssl ca` can.
    db = tempfile.mkdtemp(dir=d, prefix="cadb-")
    open(os.path.join(db, "index.txt"), "w").close()
    with open(os.path.join(db, "serial"), "w") as f:
        f.write("1000\n")
    conf = os.path.join(db, "ca.cnf")
    with open(conf, "w") as f:
        f.write("[ca]\ndefault_ca=tca\n[tca]\ndir=%s\ndatabase=$dir/index.txt\n"
                "serial=$dir/serial\nnew_certs_dir=$dir\ndefault_md=sha256\n"
                "policy=anything\nunique_subject=no\ncopy_extensions=none\n"
                "[anything]\ncommonName=supplied\n" % db)
    _openssl("ca", "-batch", "-config", conf, "-cert", ca.cert, "-keyfile", ca.key,
             "-in", csr, "-out", out, "-notext", "-extfile", ext,
             "-startdate", EXPIRED_START, "-enddate", EXPIRED_END)
    import shutil
    shutil.rmtree(db, ignore_errors=True)


def self_signed(d, label, dns=("localhost",), ips=("127.0.0.1",)):
    cert, key = os.path.join(d, label + ".pem"), os.path.join(d, label + ".key")
    with _atomic_dir_lock(d):
        if not (os.path.exists(cert) and os.path.exists(key)):
            _ec_key(key)
            san = ",".join(["DNS:" + n for n in dns] + ["IP:" + i for i in ips])
            _openssl("req", "-x509", "-new", "-key", key, "-out", cert, "-days", "825",
                     "-subj", "/CN=" + dns[0], "-addext", "subjectAltName=" + san)
    return cert, key


def server_context(cert, key, alpn=("http/1.1",)):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    if alpn:
        ctx.set_alpn_protocols(list(alpn))
    return ctx
