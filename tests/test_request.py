"""The request method end to end, against local servers."""

import base64
import json
import threading
import time

import pytest

import cronet_testctl as ctl
from conftest import closed_port
from servers import COMPRESSIBLE_BODY, pattern_bytes

REFUSED = "Failed to send request (session not found or concurrent limit reached)"


def echo(client, sid, url, method="POST", **kw):
    r = client.request(sid, url, method, **kw)
    assert r["status_code"] == 200, r
    return json.loads(r["body"])


# --- success -------------------------------------------------------------------------

def test_response_dict_shape_and_order(client, sid, http_server):
    r = client.request(sid, http_server.url("/bytes/100?seed=7"), "GET")
    assert list(r) == ["status_code", "body", "headers"]
    assert r["status_code"] == 200
    assert r["body"] == pattern_bytes(100, seed=7)
    assert all(type(h) is tuple and len(h) == 2 for h in r["headers"])
    assert ("Content-Length", "100") in r["headers"]


@pytest.mark.parametrize("path,expected", [
    ("/dup-headers", [("X-Dup", "first"), ("Set-Cookie", "a=1; Path=/"),
                      ("X-Dup", "second"), ("Set-Cookie", "b=2; Path=/")]),
    ("/invalid-utf8-header", [("X-Bad", "\ufffd\ufffdabc")]),
])
def test_response_headers_in_wire_order(client, sid, http_server, path, expected):
    got = client.request(sid, http_server.url(path), "GET")["headers"]
    names = {n for n, _ in expected}
    assert [h for h in got if h[0] in names] == expected


@pytest.mark.parametrize("path,status", [("/empty", 200), ("/no-content", 204), ("/status/404", 404),
                                         ("/status/503", 503)])
def test_any_status_is_a_result(client, sid, http_server, path, status):
    r = client.request(sid, http_server.url(path), "GET")
    assert r["status_code"] == status
    if status in (200, 204):
        assert r["body"] == b""


@pytest.mark.parametrize("path", ["/bytes/52428800?seed=3", "/chunked/52428800?seed=3"])
def test_large_body_is_byte_exact(client, sid, http_server, path):
    r = client.request(sid, http_server.url(path), "GET")
    assert len(r["body"]) == 50 * 1024 * 1024
    assert r["body"] == pattern_bytes(50 * 1024 * 1024, seed=3)


def test_request_headers_sent_in_order_with_duplicates(client, sid, http_server):
    sent = [("X-One", "1"), ("X-Dup", "a"), ("X-Two", "2"), ("X-Dup", "b")]
    got = echo(client, sid, http_server.url("/echo"), "GET", headers=sent)
    assert [tuple(h) for h in got["headers"] if h[0].startswith("X-")] == sent


# --- bodies --------------------------------------------------------------------------

@pytest.mark.parametrize("body", [b"\x00\x01abc\xff" * 1000, bytearray(b"\x00\x01abc\xff" * 1000),
                                  list(b"\x00\x01abc\xff" * 1000), tuple(b"\x00\x01abc\xff" * 1000)])
def test_body_forms_send_the_same_bytes(client, sid, http_server, body):
    got = echo(client, sid, http_server.url("/echo"), body=body)
    assert base64.b64decode(got["body_b64"]) == b"\x00\x01abc\xff" * 1000


@pytest.mark.parametrize("kw", [{}, {"body": None}, {"body": b""}, {"body": []}])
def test_no_body_and_empty_body_send_none(client, sid, http_server, kw):
    got = echo(client, sid, http_server.url("/echo"), "PUT", **kw)
    assert got["body_len"] == 0
    assert not any(n.lower() == "transfer-encoding" for n, _ in got["headers"])


def test_body_much_larger_than_a_buffer(client, sid, http_server):
    body = pattern_bytes(5 * 1024 * 1024 + 17, seed=9)
    got = client.request(sid, http_server.url("/upload-sink"), "POST", body=body)
    import hashlib
    assert json.loads(got["body"]) == {"len": len(body), "sha256": hashlib.sha256(body).hexdigest()}


@pytest.mark.parametrize("code", [307, 308])
def test_307_308_resend_the_body(client, sid, http_server, code):
    body = pattern_bytes(100_000, seed=1)
    got = echo(client, sid, http_server.url(f"/redirect/{code}?to=/echo/final"), body=body)
    assert got["method"] == "POST"
    assert got["path"] == "/echo/final"
    assert base64.b64decode(got["body_b64"]) == body


@pytest.mark.parametrize("code,method,final_method,keeps_body", [
    (301, "POST", "GET", False), (302, "POST", "GET", False), (303, "POST", "GET", False),
    (303, "PUT", "GET", False), (307, "PUT", "PUT", True), (308, "POST", "POST", True),
    (301, "GET", "GET", False), (302, "DELETE", "DELETE", True),
])
def test_redirect_kinds_end_in_the_final_response(client, sid, http_server, code, method,
                                                  final_method, keeps_body):
    r = client.request(sid, http_server.url(f"/redirect/{code}?to=/echo/end"), method,
                       body=b"payload" if method != "GET" else None)
    assert r["status_code"] == 200
    # Only the final response's headers: no Location from the redirect.
    assert not any(n.lower() == "location" for n, _ in r["headers"])
    got = json.loads(r["body"])
    assert (got["method"], got["path"]) == (final_method, "/echo/end")
    assert got["body_len"] == (7 if keeps_body else 0)


def test_redirect_chain(client, sid, http_server):
    got = echo(client, sid, http_server.url("/redirect-chain/5"), "GET")
    assert got["path"] == "/echo"


def test_spaces_in_a_url_are_sent_as_percent_20(client, sid, http_server):
    got = echo(client, sid, http_server.url("/echo/a b?q=a b&r=c+d"), "GET")
    assert (got["path"], got["query"]) == ("/echo/a%20b", "q=a%20b&r=c+d")
    # A query-only Location from a URL with a fragment keeps its query.
    got = echo(client, sid, http_server.url("/redirect/302?to=%3Fto%3D/echo/final#top"), "GET")
    assert got["path"] == "/echo/final"


@pytest.mark.parametrize("length", ["1", "3", "999"])
def test_the_body_decides_the_framing(client, http_server, length):
    # A wrong Content-Length of the caller's must not leave the kept-alive
    # connection out of step for the next request.
    sid = client.create_session(timeout_ms=5000)
    got = echo(client, sid, http_server.url("/echo"), headers=[("Content-Length", length)],
               body=b"abc")
    assert got["body_len"] == 3
    assert [v for n, v in got["headers"] if n.lower() == "content-length"] == ["3"]
    after = echo(client, sid, http_server.url("/echo"), "GET")
    assert (after["method"], after["body_len"], after["conn_id"]) == ("GET", 0, got["conn_id"])


@pytest.mark.parametrize("server,path,which", [
    ("http_server", "/echo", None), ("nginx_server", "/1k.bin", "http"),
    ("nginx_server", "/1k.bin", "h2")], ids=["python", "nginx", "nginx-h2"])
@pytest.mark.parametrize("body", [None, b"abc"], ids=["no-body", "body"])
def test_head_responses_end_at_their_headers(client, request, server, path, which, body):
    srv = request.getfixturevalue(server)
    url = srv.url(path, which) if which else srv.url(path)
    sid = client.create_session(timeout_ms=5000, skip_cert_verify=True)
    for _ in range(2):
        r = client.request(sid, url, "HEAD", body=body)
        assert (r["status_code"], r["body"]) == (200, b"")
    # The connection is still in step.
    r = client.request(sid, url, "GET")
    assert r["status_code"] == 200 and len(r["body"]) > 0


# --- decoding and TLS ----------------------------------------------------------------

@pytest.mark.parametrize("path", ["/gzip", "/deflate", "/br"])
def test_content_is_decoded_and_header_kept(client, sid, http_server, path):
    r = client.request(sid, http_server.url(path), "GET")
    assert r["body"] == COMPRESSIBLE_BODY
    assert ("Content-Encoding", path[1:]) in r["headers"]


def test_https_h2_with_skip_cert_verify(client, nginx_server):
    sid = client.create_session(skip_cert_verify=True)
    r = client.request(sid, nginx_server.url("/1k.bin", "h2"), "GET")
    assert r["status_code"] == 200
    assert r["body"] == pattern_bytes(1024)


def test_nginx_brotli(client, nginx_server):
    sid = client.create_session(skip_cert_verify=True)
    r = client.request(sid, nginx_server.url("/text.txt", "h2"), "GET")
    assert r["body"] == COMPRESSIBLE_BODY
    assert any(n.lower() == "content-encoding" and v == "br" for n, v in r["headers"])


def test_untrusted_certificate_fails(client, sid, nginx_server):
    with pytest.raises(RuntimeError, match=r"^Request failed: net::ERR_CERT_AUTHORITY_INVALID$"):
        client.request(sid, nginx_server.url("/1k.bin", "https"), "GET")


# --- failures ------------------------------------------------------------------------

def test_unknown_and_closed_sessions_are_refused(client, http_server):
    sid = client.create_session()
    client.close_session(sid)
    for bad in (sid, "no-such-session", sid.upper()):
        with pytest.raises(RuntimeError) as e:
            client.request(bad, http_server.url("/"), "GET")
        assert str(e.value) == REFUSED


def test_connection_refused(client, sid):
    port = closed_port()
    with pytest.raises(RuntimeError, match=r"^Request failed: net::ERR_CONNECTION_REFUSED$"):
        client.request(sid, f"http://127.0.0.1:{port}/", "GET")


def test_reset_mid_body_gives_only_the_failure(client, sid, http_server):
    with pytest.raises(RuntimeError) as e:
        client.request(sid, http_server.url("/reset-mid-body"), "GET")
    assert str(e.value) == "Request failed: net::ERR_CONNECTION_RESET"
    assert e.value.args == ("Request failed: net::ERR_CONNECTION_RESET",)


NUL_CASES = [
    dict(url="http://127.0.0.1:1/\0x"),
    dict(method="GE\0T"),
    dict(headers=[("X-A\0", "v")]),
    dict(headers=[("X-A", "v\0")]),
]
REFUSED_CASES = [
    (dict(method="GE T"), "invalid HTTP method"),
    (dict(method="GET\r\n"), "invalid HTTP method"),
    (dict(url=""), "URL"),
    (dict(headers=[("", "v")]), "header name"),
    (dict(headers=[("X-A", "")]), "X-A"),
    (dict(headers=[("X A", "v")]), "X A"),
    (dict(headers=[("X-A", "a\r\nInjected: yes")]), "invalid HTTP header value for 'X-A'"),
    (dict(headers=[("X-A", "a\nb")]), "X-A"),
    (dict(headers=[("X:A", "v")]), "X:A"),
]


def _call(client, sid, default_url, **kw):
    args = dict(url=default_url, method="GET")
    args.update(kw)
    return client.request(sid, args.pop("url"), args.pop("method"), **args)


def test_nul_and_refused_inputs_take_no_slot(client, sid, http_server):
    for _ in range(15 // (len(NUL_CASES) + len(REFUSED_CASES)) + 1):
        for kw in NUL_CASES:
            with pytest.raises(BaseException) as e:
                _call(client, sid, http_server.url("/echo"), **kw)
            assert type(e.value).__name__ == "PanicException"
            assert not isinstance(e.value, Exception)
            assert str(e.value).startswith("called `Result::unwrap()` on an `Err` value")
        for kw, reason in REFUSED_CASES:
            with pytest.raises(RuntimeError) as e:
                _call(client, sid, http_server.url("/echo"), **kw)
            assert str(e.value).startswith("Request failed: ") and reason in str(e.value)
    # Every slot is still free and nothing reached the server.
    assert echo(client, sid, http_server.url("/echo"), "GET")["method"] == "GET"


def test_timeout_then_session_still_usable(client, http_server, capfd):
    sid = client.create_session(timeout_ms=300)
    start = time.monotonic()
    with pytest.raises(TimeoutError) as e:
        client.request(sid, http_server.url("/stall"), "GET")
    elapsed = time.monotonic() - start
    assert str(e.value) == "Request timeout after 300ms"
    assert 0.3 <= elapsed < 5.0  # the cancel was confirmed, not waited out
    assert "[WARN]" not in capfd.readouterr().err
    assert client.request(sid, http_server.url("/"), "GET")["body"] == b"hello\n"


def test_zero_timeout(client, http_server):
    sid = client.create_session(timeout_ms=0)
    with pytest.raises(TimeoutError, match=r"^Request timeout after 0ms$"):
        client.request(sid, http_server.url("/delay?ms=200"), "GET")


# --- release -------------------------------------------------------------------------

def _journal_calls(lines, name):
    return [l for l in lines if l.startswith(name + "(")]


def test_completed_request_makes_no_cancel_call(client, sid, http_server):
    with ctl.journal() as j:
        client.request(sid, http_server.url("/"), "GET")
    lines = j.lines
    assert _journal_calls(lines, "Cronet_UrlRequest_Start")
    assert not _journal_calls(lines, "Cronet_UrlRequest_Cancel")
    for name in ("Cronet_UrlRequest_Destroy", "Cronet_UrlRequestCallback_Destroy",
                 "Cronet_Executor_Destroy"):
        assert len(_journal_calls(lines, name)) == 1


def test_timed_out_request_is_cancelled_once(client, http_server):
    sid = client.create_session(timeout_ms=200)
    with ctl.journal() as j:
        with pytest.raises(TimeoutError):
            client.request(sid, http_server.url("/stall"), "GET")
    lines = j.lines
    assert len(_journal_calls(lines, "Cronet_UrlRequest_Cancel")) == 1
    cancel = lines.index("Cronet_UrlRequest_Cancel()")
    assert lines.index("Cronet_UrlRequest_Destroy()") > cancel


@pytest.mark.keeps_cronet_objects("unconfirmed cancels keep their request objects alive on purpose")
def test_unconfirmed_cancels_warn_and_fill_the_session(client, http_server, capfd):
    sid = client.create_session(timeout_ms=1)
    ctl.unconfirmed_cancels(True)
    try:
        start = time.monotonic()
        with pytest.raises(TimeoutError):
            client.request(sid, http_server.url("/stall"), "GET")
        assert time.monotonic() - start > 5.0
        assert capfd.readouterr().err.count(
            "[WARN] CronetRequest::drop - Timeout waiting for cancel callback\n") == 1
        for _ in range(9):
            with pytest.raises(TimeoutError):
                client.request(sid, http_server.url("/stall"), "GET")
    finally:
        ctl.unconfirmed_cancels(False)
    with pytest.raises(RuntimeError, match=r"^Failed to send request"):
        client.request(sid, http_server.url("/"), "GET")
    err = capfd.readouterr().err
    assert f"[WARN] Session {sid} reached max concurrent requests limit: 10/10\n" in err
    # Another session is unaffected.
    other = client.create_session()
    assert client.request(other, http_server.url("/"), "GET")["status_code"] == 200


# --- the interpreter lock ------------------------------------------------------------

def test_other_python_threads_wait_for_the_call(client, sid, http_server):
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.005)

    t = threading.Thread(target=ticker)
    t.start()
    time.sleep(0.05)
    before = time.monotonic()
    client.request(sid, http_server.url("/delay?ms=500"), "GET")
    after = time.monotonic()
    stop.set()
    t.join()
    during = [x for x in ticks if before + 0.02 < x < after - 0.02]
    assert after - before >= 0.5
    assert during == []


@pytest.mark.parametrize("kw", [dict(method="GE\0T"), dict(headers=[("", "v")]),
                                dict(url="")])
def test_unknown_session_is_refused_before_the_input_is_checked(client, kw):
    with pytest.raises(RuntimeError) as e:
        _call(client, "no-such-session", "http://127.0.0.1:1/", **kw)
    assert str(e.value) == REFUSED
