"""Sessions as a Python caller sees them; request arguments that reach the wire."""

import hashlib
import json
import re

import numpy
import pytest

from tarnwick import ZoDeruziDuzera

ID_FORMAT = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


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


def test_dropping_a_client_with_open_sessions(http_server):
    c = ZoDeruziDuzera()
    sid = c.create_session()
    c.create_session()
    assert c.request(sid, http_server.url("/plain"), "GET")["status_code"] == 200
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


# --- arguments that reach the wire --------------------------------------------

class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


PAYLOAD = bytes(range(256)) * 3


@pytest.mark.parametrize("body", [
    PAYLOAD,
    memoryview(PAYLOAD),
    [numpy.uint8(b) for b in PAYLOAD],
    [Indexable(b) for b in PAYLOAD],
    [bool(b & 1) for b in PAYLOAD],
], ids=["bytes", "memoryview", "numpy", "index", "bool"])
def test_body_item_conversions_send_the_values(client, http_server, body):
    sid = client.create_session(timeout_ms=20000)
    expected = bytes(int(b) for b in body) if isinstance(body, list) else PAYLOAD
    result = client.request(sid, http_server.url("/upload-sink"), "POST", body=body)
    seen = json.loads(result["body"])
    assert seen == {"len": len(expected), "sha256": hashlib.sha256(expected).hexdigest()}


@pytest.mark.parametrize("skip, ok", [
    (numpy.bool_(True), True),
    (True, True),
    (numpy.bool_(False), False),
    (None, False),
])
def test_skip_cert_verify_reaches_the_engine(client, https_server, skip, ok):
    sid = client.create_session(skip_cert_verify=skip, timeout_ms=20000)
    url = https_server.url("/plain")
    if ok:
        assert client.request(sid, url, "GET")["status_code"] == 200
    else:
        with pytest.raises(RuntimeError, match="^Request failed: "):
            client.request(sid, url, "GET")
