"""How request and response bodies are held: an exact `bytes` body is read in
place by the upload (and kept alive by a request abandoned while it may still
read it); the response buffer is sized from Content-Length, which is only a hint."""

import base64
import json
import sys

import pytest

import cronet_testctl as ctl
from conftest import closed_port
from servers import pattern_bytes


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("make", [bytes, BytesSubclass, bytearray, list],
                         ids=["bytes", "bytes-subclass", "bytearray", "list"])
def test_every_body_form_arrives_exactly(client, sid, http_server, make):
    want = pattern_bytes(300_000, seed=5)
    r = client.request(sid, http_server.url("/echo"), "POST", body=make(want))
    got = json.loads(r["body"])
    assert got["body_len"] == len(want)
    assert base64.b64decode(got["body_b64"]) == want


def _ended(client, sid, url, body):
    try:
        return client.request(sid, url, "POST", body=body)["status_code"]
    except (RuntimeError, TimeoutError) as e:
        return type(e).__name__


@pytest.mark.parametrize("path,timeout_ms,outcome", [
    ("/upload-sink", None, 200),
    ("closed", None, "RuntimeError"),
    ("/stall", 100, "TimeoutError"),
])
def test_a_finished_request_holds_no_reference_to_its_body(client, http_server, path, timeout_ms,
                                                            outcome):
    sid = client.create_session(timeout_ms=timeout_ms)
    url = "http://127.0.0.1:%d/" % closed_port() if path == "closed" else http_server.url(path)
    body = pattern_bytes(200_000, seed=2)
    before = sys.getrefcount(body)
    assert _ended(client, sid, url, body) == outcome
    assert sys.getrefcount(body) == before


@pytest.mark.skipif(not ctl.available(), reason="needs the cronet_curl test controls")
@pytest.mark.keeps_cronet_objects("an unconfirmed cancel keeps its request objects alive on purpose")
def test_an_abandoned_request_keeps_its_lent_body_alive(client, http_server, capfd):
    sid = client.create_session(timeout_ms=50)
    body = pattern_bytes(4 << 20, seed=4)
    before = sys.getrefcount(body)
    ctl.unconfirmed_cancels(True)
    try:
        assert _ended(client, sid, http_server.url("/stall"), body) == "TimeoutError"
    finally:
        ctl.unconfirmed_cancels(False)
    assert "Timeout waiting for cancel callback" in capfd.readouterr().err
    # Cronet may still read it: the request took a reference it never gives back.
    assert sys.getrefcount(body) == before + 1


# Content-Length only sizes the response buffer: what arrives decides the body.
@pytest.mark.parametrize("method,path,want", [
    ("GET", "/lie/10/100000", pattern_bytes(10)),             # fewer announced than sent
    ("GET", "/lie/100000/10", "failed"),                      # more announced than sent
    ("GET", "/lie/1000000000000000/1000", "failed"),          # far beyond any sane size
    ("HEAD", "/lie/1000000000000000/0", b""),
    ("GET", "/gzip-of/1", pattern_bytes(1)),                  # encoded length above the body
    ("GET", "/gzip-of/3000000", pattern_bytes(3000000)),      # encoded length far below it
], ids=["fewer", "more", "absurd", "head", "gzip-small", "gzip-large"])
def test_a_wrong_content_length_never_shapes_the_body(client, sid, http_server, method, path,
                                                      want):
    try:
        got = client.request(sid, http_server.url(path), method)["body"]
    except RuntimeError as e:
        assert str(e).startswith("Request failed: ")
        got = "failed"
    assert got == want
