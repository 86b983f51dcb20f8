#!/usr/bin/env python3
"""A small curl-like command on top of tarnwick.

    fetch.py URL [-X METHOD] [-H 'Name: value']... [-d DATA | --data-file F]
             [--proxy RULES] [--insecure] [--timeout MS] [-i]

Prints the body (with -i, the status line and headers first) and exits non-zero with the
error text when the request fails.
"""
import argparse
import sys

import tarnwick


def parse_header(text):
    name, sep, value = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"header must look like 'Name: value', got {text!r}")
    return name.strip(), value.strip()


def main(argv=None):
    ap = argparse.ArgumentParser(prog="fetch.py", description="Fetch a URL through tarnwick.")
    ap.add_argument("url")
    ap.add_argument("-X", "--request", dest="method", default=None, help="HTTP method")
    ap.add_argument("-H", "--header", dest="headers", action="append", type=parse_header,
                    default=[], help="request header 'Name: value' (repeatable)")
    body = ap.add_mutually_exclusive_group()
    body.add_argument("-d", "--data", help="request body text")
    body.add_argument("--data-file", help="file whose bytes are the request body")
    ap.add_argument("--proxy", help="proxy rules, e.g. http://127.0.0.1:3128")
    ap.add_argument("--insecure", action="store_true", help="skip certificate verification")
    ap.add_argument("--timeout", type=int, default=None, help="timeout in milliseconds")
    ap.add_argument("-i", "--include", action="store_true", help="print status and headers")
    args = ap.parse_args(argv)

    data = None
    if args.data is not None:
        data = args.data.encode()
    elif args.data_file:
        with open(args.data_file, "rb") as f:
            data = f.read()
    method = args.method or ("POST" if data else "GET")

    client = tarnwick.ZoDeruziDuzera()
    sid = client.create_session(proxy_rules=args.proxy, skip_cert_verify=args.insecure or None,
                                timeout_ms=args.timeout)
    if not sid:
        print("fetch.py: the network engine did not start (check the proxy rules)", file=sys.stderr)
        return 2
    try:
        resp = client.request(sid, args.url, method, headers=args.headers or None, body=data)
    except (RuntimeError, TimeoutError) as e:
        print(f"fetch.py: {e}", file=sys.stderr)
        return 1
    finally:
        client.close_session(sid)

    out = sys.stdout.buffer
    if args.include:
        out.write(f"status: {resp['status_code']}\n".encode())
        for name, value in resp["headers"]:
            out.write(f"{name}: {value}\n".encode())
        out.write(b"\n")
    out.write(resp["body"])
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
