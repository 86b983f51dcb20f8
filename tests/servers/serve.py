#!/usr/bin/env python3
"""Starts one local test server, prints one JSON line when ready, serves until
stdin reaches EOF, the reader of stdout goes away, the parent exits, or SIGTERM.

    python tests/servers/serve.py http|nginx|http-proxy|socks5|tls-bad [options]
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import httpcore  # noqa: E402
import lifecycle  # noqa: E402


def _cert_dir(args, cleanups):
    if args.certs:
        os.makedirs(args.certs, exist_ok=True)
        return args.certs
    d = tempfile.mkdtemp(prefix="tarnwick-certs-")
    cleanups.append(lambda: shutil.rmtree(d, ignore_errors=True))
    return d


def _serve(srv, cleanups):
    httpcore.serve_in_thread(srv)
    cleanups.append(srv.shutdown)
    return srv.port


def run_http(args, cleanups):
    import http_server
    ctx = None
    info = {}
    if args.tls:
        import certs
        d = _cert_dir(args, cleanups)
        ca = certs.ensure_ca(d)
        cert, key = certs.server_cert(d, "localhost", ca)
        ctx = certs.server_context(cert, key)
        info["ca"] = ca.cert
    info["port"] = _serve(http_server.make_server(ctx, args.host), cleanups)
    return info


def run_nginx(args, cleanups):
    import nginx
    d = _cert_dir(args, cleanups)
    ng = nginx.Nginx(d, big_mib=args.big_mib)
    cleanups.append(ng.stop)
    info = ng.start()
    if args.h3:
        import certs
        import h3
        cert, key = certs.server_cert(d, "localhost", certs.ensure_ca(d))
        info["h3_port"], stop = h3.start(cert, key)
        cleanups.append(stop)
    return info


def run_http_proxy(args, cleanups):
    import proxies
    srv = proxies.make_http_proxy(refuse_connect=args.refuse_connect, log_path=args.log)
    return {"port": _serve(srv, cleanups)}


def run_socks5(args, cleanups):
    import proxies
    return {"port": _serve(proxies.make_socks5(log_path=args.log), cleanups)}


def run_tls_bad(args, cleanups):
    import tls_bad
    d = _cert_dir(args, cleanups)
    servers = tls_bad.BadTls(d)
    cleanups.append(servers.stop)
    return servers.start()


KINDS = {
    "http": run_http,
    "nginx": run_nginx,
    "http-proxy": run_http_proxy,
    "socks5": run_socks5,
    "tls-bad": run_tls_bad,
}


def _loopback(addr):
    import ipaddress
    if not ipaddress.ip_address(addr).is_loopback:
        raise argparse.ArgumentTypeError("only loopback addresses")
    return addr


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("kind", choices=sorted(KINDS))
    p.add_argument("--certs", help="directory holding (or to hold) the throwaway CA and "
                                   "certificates; reused when it already has a CA")
    p.add_argument("--tls", action="store_true", help="http: serve HTTPS instead")
    p.add_argument("--host", default="127.0.0.1", type=_loopback,
                   help="http: the loopback address to listen on")
    p.add_argument("--big-mib", type=int, default=0, help="nginx: create big.bin of N MiB")
    p.add_argument("--h3", action="store_true",
                   help="nginx: also an HTTP/3 server (aioquic) with the same certificate")
    p.add_argument("--refuse-connect", action="store_true",
                   help="http-proxy: answer CONNECT with 403")
    p.add_argument("--log", help="proxies: append one JSON line per request seen")
    args = p.parse_args(argv)

    cleanups = []

    def cleanup():
        for fn in reversed(cleanups):
            try:
                fn()
            except Exception as e:  # keep going: the rest must still be released
                print("cleanup failed: %r" % (e,), file=sys.stderr)

    try:
        info = KINDS[args.kind](args, cleanups)
    except BaseException:
        cleanup()
        raise
    lifecycle.announce_and_wait(info, cleanup)


if __name__ == "__main__":
    main()
