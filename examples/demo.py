#!/usr/bin/env python3
"""Real requests through tarnwick against servers started here on 127.0.0.1.

Starts nginx (HTTPS with HTTP/2 and Brotli, certificate made on the fly), a small
HTTP server and a forward proxy, makes a handful of requests and prints what came back.
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import tarnwick  # noqa: E402
from servers import HttpProxy, HttpServer, NginxServer  # noqa: E402


def header(headers, name):
    for k, v in headers:
        if k.lower() == name.lower():
            return v
    return None


def show(title, fn):
    start = time.perf_counter()
    try:
        detail = fn()
        outcome = "ok"
    except (RuntimeError, TimeoutError) as e:
        detail = f"{type(e).__name__}: {e}"
        outcome = "raised"
    ms = (time.perf_counter() - start) * 1000
    print(f"  {title:<42} {outcome:<7} {ms:7.1f} ms  {detail}")


def main():
    client = tarnwick.ZoDeruziDuzera()
    with NginxServer() as nginx, HttpServer() as web, HttpProxy() as proxy:
        print("servers: nginx https+h2 on %d, http on %d, proxy on %d\n"
              % (nginx.port("h2"), web.port(), proxy.port()))
        plain = client.create_session(timeout_ms=5000)
        insecure = client.create_session(skip_cert_verify=True, timeout_ms=5000)
        proxied = client.create_session(proxy_rules=proxy.proxy_url, timeout_ms=5000)
        quick = client.create_session(timeout_ms=300)
        print(f"sessions: {len(client.list_sessions())} open\n")

        def get():
            r = client.request(plain, web.url("/bytes/4096"), "GET")
            return f"status {r['status_code']}, {len(r['body'])} bytes"

        def post():
            import json
            r = client.request(plain, web.url("/echo"), "POST",
                               headers=[("Content-Type", "text/plain")], body=b"hello, server")
            echo = json.loads(r["body"])
            return f"status {r['status_code']}, server read {echo['body_len']} bytes via {echo['method']}"

        def redirects():
            import json
            r = client.request(plain, web.url("/redirect-chain/3"), "GET")
            return f"status {r['status_code']}, ended at {json.loads(r['body'])['path']}"

        def brotli():
            r = client.request(insecure, nginx.url("/text.txt", "h2"), "GET")
            return (f"status {r['status_code']}, content-encoding "
                    f"{header(r['headers'], 'content-encoding')}, {len(r['body'])} bytes decoded")

        def https_h2():
            r = client.request(insecure, nginx.url("/1k.bin", "h2"), "GET")
            return f"status {r['status_code']}, {len(r['body'])} bytes, server {header(r['headers'], 'server')}"

        def verified():
            client.request(plain, nginx.url("/1k.bin", "h2"), "GET")
            return "unexpectedly accepted a throwaway certificate"

        def via_proxy():
            r = client.request(proxied, web.url("/echo"), "GET")
            return f"status {r['status_code']}, proxy saw {proxy.seen[-1]}"

        def timeout():
            client.request(quick, web.url("/stall"), "GET")
            return "no timeout?"

        print("requests:")
        show("GET /bytes/4096", get)
        show("POST /echo with a body", post)
        show("redirect chain of 3", redirects)
        show("Brotli over HTTP/2 (skip_cert_verify)", brotli)
        show("HTTPS HTTP/2 (skip_cert_verify)", https_h2)
        show("HTTPS with verification (untrusted CA)", verified)
        show("GET through the local proxy", via_proxy)
        show("stalled server, 300 ms timeout", timeout)

        for sid in client.list_sessions():
            client.close_session(sid)
        print(f"\nsessions closed; {len(client.list_sessions())} open")


if __name__ == "__main__":
    main()
