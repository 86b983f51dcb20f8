#!/usr/bin/env python3
"""A small curl-like command on top of tarnwick.

    fetch.py [options] URL

Options shared with curl behave as curl's do:

    -X, --request METHOD     method (default GET, or POST with -d)
    -H, --header 'N: v'      request header (repeatable)
    -d, --data DATA          POST DATA (`@file` reads a file, dropping CR and LF; repeated -d
                             are joined with '&'); Content-Type application/x-www-form-urlencoded
                             unless given with -H
    --data-binary DATA       like -d, but `@file` is sent byte for byte
    -I, --head               HEAD; print the status line and headers
    -i, --include            status line and headers before the body
    -o, --output FILE        write the output to FILE instead of stdout
    -f, --fail               HTTP status 400 or above: no output, exit 22
    -s, --silent             no error messages (-S, --show-error: errors even with -s)
    -v, --verbose            request and response heads on stderr
    -k, --insecure           skip certificate verification
    -x, --proxy RULES        proxy, e.g. http://127.0.0.1:3128 or socks5://127.0.0.1:1080
    -m, --max-time SECONDS   whole-request timeout
    --timeout MS             the same in milliseconds (tarnwick's own unit)

Exit codes follow curl's: 0 success (any HTTP status without -f), 1 unsupported scheme, 2 the
engine did not start (e.g. bad proxy rules), 3 malformed URL, 6 name not resolved, 7 could not
connect, 22 HTTP error with -f, 28 timeout, 35 TLS handshake failed, 47 too many redirects,
52 empty reply, 56 connection failed while receiving, 60 certificate not trusted.
The status line shows no protocol version (`HTTP 200 OK`): tarnwick does not report it.
"""
import argparse
import http
import sys

import tarnwick

# net:: error names to curl's exit codes; anything else exits 1 ("unsupported protocol"
# is 1 as well, which is what curl does for an unknown scheme).
NET_ERROR_EXIT = {
    "ERR_INVALID_URL": 3,
    "ERR_NAME_NOT_RESOLVED": 6,
    "ERR_NAME_RESOLUTION_FAILED": 6,
    "ERR_PROXY_CONNECTION_FAILED": 7,
    "ERR_CONNECTION_REFUSED": 7,
    "ERR_CONNECTION_FAILED": 7,
    "ERR_ADDRESS_UNREACHABLE": 7,
    "ERR_INTERNET_DISCONNECTED": 7,
    "ERR_TIMED_OUT": 28,
    "ERR_CONNECTION_TIMED_OUT": 28,
    "ERR_TOO_MANY_REDIRECTS": 47,
    "ERR_EMPTY_RESPONSE": 52,
    "ERR_CONNECTION_RESET": 56,
    "ERR_CONNECTION_CLOSED": 56,
    "ERR_CONNECTION_ABORTED": 56,
    "ERR_CONTENT_LENGTH_MISMATCH": 56,
    "ERR_INCOMPLETE_CHUNKED_ENCODING": 56,
    "ERR_TUNNEL_CONNECTION_FAILED": 56,
}


def exit_code_for(exc):
    if isinstance(exc, TimeoutError):
        return 28
    text = str(exc)
    name = text.rpartition("net::")[2].split()[0] if "net::" in text else ""
    if name in NET_ERROR_EXIT:
        return NET_ERROR_EXIT[name]
    if name.startswith("ERR_CERT_"):
        return 60
    if name.startswith("ERR_SSL_"):
        return 35
    return 1


def parse_header(text):
    name, sep, value = text.partition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"header must look like 'Name: value', got {text!r}")
    return name.strip(), value.strip()


def read_data(value, binary):
    if not value.startswith("@"):
        return value.encode()
    path = value[1:]
    if path == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(path, "rb") as f:
            data = f.read()
    return data if binary else data.replace(b"\r", b"").replace(b"\n", b"")


def status_line(code):
    try:
        reason = http.HTTPStatus(code).phrase
    except ValueError:
        reason = ""
    return f"HTTP {code} {reason}".rstrip()


def head_text(resp):
    lines = [status_line(resp["status_code"])]
    lines += [f"{name}: {value}" for name, value in resp["headers"]]
    return "".join(line + "\r\n" for line in lines) + "\r\n"


def build_parser():
    ap = argparse.ArgumentParser(prog="fetch.py", description="Fetch a URL through tarnwick.")
    ap.add_argument("url")
    ap.add_argument("-X", "--request", dest="method", help="HTTP method")
    ap.add_argument("-H", "--header", dest="headers", action="append", type=parse_header,
                    default=[], help="request header 'Name: value' (repeatable)")
    ap.add_argument("-d", "--data", dest="data", action="append", default=[],
                    help="POST data; @file reads a file without its CR and LF")
    ap.add_argument("--data-binary", dest="data_binary", action="append", default=[],
                    help="POST data; @file is sent as is")
    ap.add_argument("--data-file", help="file whose bytes are the request body")
    ap.add_argument("-I", "--head", action="store_true", help="HEAD request, print the head")
    ap.add_argument("-i", "--include", action="store_true", help="print status and headers")
    ap.add_argument("-o", "--output", help="write to this file instead of stdout")
    ap.add_argument("-f", "--fail", action="store_true", help="exit 22 on HTTP status >= 400")
    ap.add_argument("-s", "--silent", action="store_true", help="no error messages")
    ap.add_argument("-S", "--show-error", action="store_true", help="error messages despite -s")
    ap.add_argument("-v", "--verbose", action="store_true", help="heads on stderr")
    ap.add_argument("-k", "--insecure", action="store_true", help="skip certificate verification")
    ap.add_argument("-x", "--proxy", help="proxy rules, e.g. http://127.0.0.1:3128")
    ap.add_argument("-m", "--max-time", type=float, help="timeout in seconds")
    ap.add_argument("--timeout", type=int, help="timeout in milliseconds")
    return ap


def main(argv=None):
    args = build_parser().parse_args(argv)

    def error(code, text):
        if not args.silent or args.show_error:
            print(f"fetch.py: ({code}) {text}", file=sys.stderr)
        return code

    parts = [read_data(v, False) for v in args.data] + \
            [read_data(v, True) for v in args.data_binary]
    data = b"&".join(parts) if parts else None
    if args.data_file:
        with open(args.data_file, "rb") as f:
            data = f.read()
    headers = list(args.headers)
    if data is not None and not any(n.lower() == "content-type" for n, _ in headers):
        headers.append(("Content-Type", "application/x-www-form-urlencoded"))
    # An empty -d still makes a POST, as with curl.
    method = args.method or ("HEAD" if args.head else "POST" if data is not None else "GET")
    timeout_ms = args.timeout
    if args.max_time is not None:
        timeout_ms = max(1, int(args.max_time * 1000))

    client = tarnwick.ZoDeruziDuzera()
    sid = client.create_session(proxy_rules=args.proxy, skip_cert_verify=args.insecure or None,
                                timeout_ms=timeout_ms)
    if not sid:
        return error(2, "the network engine did not start (check the proxy rules)")
    if args.verbose:
        print(f"> {method} {args.url}", file=sys.stderr)
        for name, value in headers:
            print(f"> {name}: {value}", file=sys.stderr)
        print(">", file=sys.stderr)
    try:
        resp = client.request(sid, args.url, method, headers=headers or None, body=data)
    except (RuntimeError, TimeoutError) as e:
        return error(exit_code_for(e), e)
    finally:
        client.close_session(sid)

    head = head_text(resp)
    if args.verbose:
        for line in head.splitlines():
            print(f"< {line}", file=sys.stderr)
    if args.fail and resp["status_code"] >= 400:
        return error(22, f"The requested URL returned error: {resp['status_code']}")

    out_bytes = (head.encode() if args.include or args.head else b"") + resp["body"]
    if args.output and args.output != "-":
        with open(args.output, "wb") as f:
            f.write(out_bytes)
    else:
        sys.stdout.buffer.write(out_bytes)
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
