"""examples/fetch.py against local servers: curl's exit codes and the options it
shares with curl."""
import base64
import json
import os
import subprocess
import sys

import pytest

from conftest import closed_port
from test_hostile import _netns_prefix

FETCH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "fetch.py")


def fetch(*args, prefix=(), cwd=None):
    return subprocess.run([*prefix, sys.executable, FETCH, *args], capture_output=True,
                          timeout=60, cwd=cwd)


@pytest.mark.parametrize("path, args, code", [
    ("/", [], 0),
    ("/status/404", [], 0),
    ("/status/503", [], 0),
    ("/status/404", ["-f"], 22),
    ("/status/500", ["--fail"], 22),
    ("/status/399", ["-f"], 0),
    ("/stall", ["-m", "0.5"], 28),
    ("/stall", ["--timeout", "500"], 28),
    ("/close-before-response", [], 52),
    ("/redirect-loop", [], 47),
])
def test_exit_code(http_server, path, args, code):
    r = fetch(*args, http_server.url(path))
    assert r.returncode == code, r.stderr
    if code == 22:
        assert r.stdout == b""
        assert b"(22) The requested URL returned error" in r.stderr


@pytest.mark.parametrize("args, code", [
    ([], 7),
    (["-s"], 7),
    (["-x", "http://127.0.0.1:{port}"], 7),
    (["-x", "no proxy here"], 2),
])
def test_connect_failures(args, code):
    port = closed_port()
    r = fetch(*[a.format(port=port) for a in args], f"http://127.0.0.1:{port}/")
    assert r.returncode == code, r.stderr
    assert (r.stderr == b"") == ("-s" in args)


def test_name_not_resolved_exits_6():
    prefix = _netns_prefix()
    if prefix is None:
        pytest.skip("no private network namespace available: a lookup could leave the machine")
    r = fetch("http://no-such-host.invalid/", prefix=prefix)
    assert r.returncode == 6, r.stderr


@pytest.mark.parametrize("args, method, body, ctype", [
    (["-d", ""], "POST", b"", "application/x-www-form-urlencoded"),
    (["-d", "a=1", "-d", "b=2"], "POST", b"a=1&b=2", "application/x-www-form-urlencoded"),
    (["--data-binary", "x\ny", "-H", "Content-Type: text/plain"], "POST", b"x\ny", "text/plain"),
    (["-X", "PUT", "-d", "v"], "PUT", b"v", "application/x-www-form-urlencoded"),
    ([], "GET", b"", None),
])
def test_request_shape(http_server, args, method, body, ctype):
    r = fetch(*args, http_server.url("/echo"))
    assert r.returncode == 0, r.stderr
    echo = json.loads(r.stdout)
    got_ctype = [v for k, v in echo["headers"] if k.lower() == "content-type"]
    assert (echo["method"], echo["body_len"], got_ctype) == \
        (method, len(body), [ctype] if ctype else [])
    if body:
        assert base64.b64decode(echo["body_b64"]) == body


def test_data_from_file_drops_newlines(http_server, tmp_path):
    (tmp_path / "form").write_bytes(b"a=1\r\nb=2\n")
    r = fetch("-d", "@form", http_server.url("/echo"), cwd=tmp_path)
    assert base64.b64decode(json.loads(r.stdout)["body_b64"]) == b"a=1b=2"


@pytest.mark.parametrize("args", [["-i"], ["-I"], ["-i", "-o", "out"], ["-o", "out"], ["-v"]])
def test_output(http_server, tmp_path, args):
    r = fetch(*args, http_server.url("/"), cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    out = (tmp_path / "out").read_bytes() if "-o" in args else r.stdout
    head, sep, body = out.partition(b"\r\n\r\n")
    if "-i" in args or "-I" in args:
        assert head.split(b"\r\n")[0] == b"HTTP 200 OK"
        assert b"\r\nContent-Length: " in head
        assert body == (b"" if "-I" in args else b"hello\n")
    else:
        assert out == b"hello\n"
    if "-o" in args:
        assert r.stdout == b""
    if "-v" in args:
        assert b"> GET " in r.stderr and b"< HTTP 200 OK" in r.stderr
