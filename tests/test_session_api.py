"""Sessions and requests as a Python caller sees them, against local servers."""

import hashlib
import json
import os
import re
import socket
import subprocess
import sys

import numpy
import pytest

from tarnwick import ZoDeruziDuzera

SERVE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "servers", "serve.py")
ID_FORMAT = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
REFUSED = "Failed to send request (session not found or concurrent limit reached)"


def start_server(*args):
    proc = subprocess.Popen([sys.executable, SERVE, *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line:
        proc.kill()
        proc.wait()
        pytest.fail(f"test server {args} did not start")
    return proc, json.loads(line)


def stop_server(proc):
    proc.stdin.close()  # the server stops at EOF on stdin
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    proc.stdout.close()


@pytest.fixture(scope="module")
def http_url():
    proc, info = start_server("http")
    yield f"http://127.0.0.1:{info['port']}"
    stop_server(proc)


@pytest.fixture(scope="module")
def https_url():
    proc, info = start_server("http", "--tls")
    yield f"https://localhost:{info['port']}"
    stop_server(proc)


@pytest.fixture
def client():
    c = ZoDeruziDuzera()
    yield c
    for sid in c.list_sessions():
        c.close_session(sid)


@pytest.fixture
def session(client):
    return client.create_session(timeout_ms=20000)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- sessions ----------------------------------------------------------------

def test_create_list_close_round_trip(client):
    sid = client.create_session()
    assert type(sid) is str
    assert ID_FORMAT.fullmatch(sid), sid
    assert client.list_sessions() == [sid]
    assert client.close_session(sid) is True
    assert client.list_sessions() == []
    assert client.close_session(sid) is False


def test_identifiers_are_distinct_and_all_listed(client):
    made = [client.create_session() for _ in range(3)]
    assert len(set(made)) == 3
    listed = client.list_sessions()
    assert sorted(listed) == sorted(made)
    assert all(type(s) is str for s in listed)


@pytest.mark.parametrize("kwargs", [
    {},
    {"proxy_rules": None, "skip_cert_verify": None, "timeout_ms": None},
    {"proxy_rules": ""},
    {"skip_cert_verify": False, "timeout_ms": 0},
    {"timeout_ms": 2**64 - 1},
    {"timeout_ms": True},
])
def test_create_session_accepts(client, kwargs):
    sid = client.create_session(**kwargs)
    assert ID_FORMAT.fullmatch(sid)
    assert client.list_sessions() == [sid]


def test_close_matches_exact_identifier(client):
    sid = client.create_session()
    assert client.close_session(sid.upper()) is False
    assert client.close_session("") is False
    assert client.close_session(sid + " ") is False
    assert client.list_sessions() == [sid]


def test_clients_have_separate_registries(client):
    other = ZoDeruziDuzera()
    sid = client.create_session()
    assert other.list_sessions() == []
    assert other.close_session(sid) is False
    assert client.list_sessions() == [sid]


def test_dropping_a_client_with_open_sessions(http_url):
    c = ZoDeruziDuzera()
    sid = c.create_session()
    c.create_session()
    assert c.request(sid, http_url + "/plain", "GET")["status_code"] == 200
    del c  # tears both sessions down before returning
    c = ZoDeruziDuzera()
    assert c.list_sessions() == []


def test_panic_leaves_the_registry_usable(client):
    sid = client.create_session()
    with pytest.raises(BaseException) as info:
        client.create_session(proxy_rules="socks5://127.0.0.1:1\0")
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith("Invalid proxy string")
    assert client.list_sessions() == [sid]


# --- requests ----------------------------------------------------------------

def echo(client, sid, url, **kwargs):
    result = client.request(sid, url + "/echo", "POST", **kwargs)
    assert result["status_code"] == 200
    return json.loads(result["body"])


def test_result_dict_shape(client, session, http_url):
    result = client.request(session, http_url + "/dup-headers", "GET")
    assert type(result) is dict
    assert list(result) == ["status_code", "body", "headers"]
    assert type(result["status_code"]) is int and result["status_code"] == 200
    assert type(result["body"]) is bytes and result["body"] == b"ok\n"
    headers = result["headers"]
    assert type(headers) is list
    assert all(type(h) is tuple and len(h) == 2 and all(type(x) is str for x in h)
               for h in headers)
    dup = [v for k, v in headers if k.lower() == "x-dup"]
    assert dup == ["first", "second"]
    cookies = [v for k, v in headers if k.lower() == "set-cookie"]
    assert cookies == ["a=1; Path=/", "b=2; Path=/"]


@pytest.mark.parametrize("status", [204, 404, 500])
def test_any_status_is_a_result(client, session, http_url, status):
    assert client.request(session, f"{http_url}/status/{status}", "GET")["status_code"] == status


PAYLOAD = bytes(range(256)) * 3


@pytest.mark.parametrize("body", [
    PAYLOAD,
    bytearray(PAYLOAD),
    list(PAYLOAD),
    tuple(PAYLOAD),
    memoryview(PAYLOAD),
    [numpy.uint8(b) for b in PAYLOAD],
], ids=["bytes", "bytearray", "list", "tuple", "memoryview", "numpy"])
def test_body_forms_send_the_same_bytes(client, session, http_url, body):
    seen = echo(client, session, http_url, body=body)
    assert seen["body_len"] == len(PAYLOAD)
    assert seen["body_sha256"] == hashlib.sha256(PAYLOAD).hexdigest()


@pytest.mark.parametrize("kwargs", [{}, {"body": None}, {"body": b""}, {"body": []},
                                    {"headers": None}, {"headers": []}])
def test_absent_and_empty_bodies_send_nothing(client, session, http_url, kwargs):
    assert echo(client, session, http_url, **kwargs)["body_len"] == 0


def test_headers_keep_order_and_duplicates(client, session, http_url):
    sent = [("X-One", "1"), ("X-Dup", "a"), ("X-Two", "2"), ("X-Dup", "b")]
    seen = echo(client, session, http_url, headers=sent)
    ours = [(k, v) for k, v in seen["headers"] if k.lower().startswith("x-")]
    assert [(k.lower(), v) for k, v in ours] == [(k.lower(), v) for k, v in sent]


def test_large_bytes_body(client, session, http_url):
    body = os.urandom(1 << 20) * 24
    result = client.request(session, http_url + "/upload-sink", "PUT", body=body)
    seen = json.loads(result["body"])
    assert seen == {"len": len(body), "sha256": hashlib.sha256(body).hexdigest()}


def test_unknown_and_closed_sessions_are_refused(client, http_url):
    sid = client.create_session()
    client.close_session(sid)
    for target in (sid, sid.upper(), "nope"):
        with pytest.raises(RuntimeError) as info:
            client.request(target, http_url + "/plain", "GET")
        assert str(info.value) == REFUSED


def test_transport_failure_is_a_runtime_error(client, session):
    with pytest.raises(RuntimeError) as info:
        client.request(session, f"http://127.0.0.1:{closed_port()}/", "GET")
    assert type(info.value) is RuntimeError
    assert str(info.value).startswith("Request failed: ")


def test_timeout_then_session_still_usable(client, http_url):
    sid = client.create_session(timeout_ms=300)
    with pytest.raises(TimeoutError) as info:
        client.request(sid, http_url + "/stall", "GET")
    assert str(info.value) == "Request timeout after 300ms"
    assert client.request(sid, http_url + "/plain", "GET")["status_code"] == 200


def test_zero_timeout(client, http_url):
    sid = client.create_session(timeout_ms=0)
    with pytest.raises(TimeoutError) as info:
        client.request(sid, http_url + "/delay?ms=500", "GET")
    assert str(info.value) == "Request timeout after 0ms"


@pytest.mark.parametrize("args", [
    ("GE\0T", "/plain", []),
    ("GET", "/pl\0ain", []),
    ("GET", "/plain", [("X-A\0", "v")]),
    ("GET", "/plain", [("X-A", "v\0")]),
])
def test_nul_in_request_text_is_an_internal_fault(client, session, http_url, args):
    method, path, headers = args
    with pytest.raises(BaseException) as info:
        client.request(session, http_url + path, method, headers=headers)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith("called `Result::unwrap()` on an `Err` value")
    assert client.request(session, http_url + "/plain", "GET")["status_code"] == 200


@pytest.mark.parametrize("skip, ok", [
    (numpy.bool_(True), True),
    (True, True),
    (numpy.bool_(False), False),
    (None, False),
])
def test_skip_cert_verify_reaches_the_engine(client, https_url, skip, ok):
    sid = client.create_session(skip_cert_verify=skip, timeout_ms=20000)
    if ok:
        assert client.request(sid, https_url + "/plain", "GET")["status_code"] == 200
    else:
        with pytest.raises(RuntimeError, match="^Request failed: "):
            client.request(sid, https_url + "/plain", "GET")
