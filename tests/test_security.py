"""What the client must never do: fetch other schemes, put CR or LF on the wire,
skip certificate checks unasked, follow proxy variables of the environment, or
cut a text short at a NUL."""

import base64
import json
import re
import select
import socket

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import cronet_testctl as ctl
from servers import HttpServer, pattern_bytes

REFUSED = "Failed to send request (session not found or concurrent limit reached)"
UNWRAP = "called `Result::unwrap()` on an `Err` value"


class Listener:
    """A loopback TCP and UDP port that only records whether anyone came."""

    def __init__(self):
        self.tcp = socket.socket()
        self.tcp.bind(("127.0.0.1", 0))
        self.tcp.listen(16)
        self.tcp.setblocking(False)
        self.port = self.tcp.getsockname()[1]
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            self.udp.bind(("127.0.0.1", self.port))
        except OSError:
            self.udp.close()
            self.udp = None

    def visits(self):
        n = 0
        while select.select([self.tcp], [], [], 0.05)[0]:
            conn, _ = self.tcp.accept()
            conn.close()
            n += 1
        while self.udp is not None and select.select([self.udp], [], [], 0)[0]:
            self.udp.recv(65536)
            n += 1
        return n

    def close(self):
        self.tcp.close()
        if self.udp is not None:
            self.udp.close()


@pytest.fixture
def listener():
    s = Listener()
    yield s
    s.close()


def raises(client, sid, url, method="GET", **kw):
    with pytest.raises(BaseException) as info:
        client.request(sid, url, method, **kw)
    return info.value


# --- only http and https ------------------------------------------------------------

OTHER_SCHEMES = ["ftp", "ftps", "gopher", "gophers", "dict", "telnet", "ldap", "ldaps", "imap",
                 "imaps", "pop3", "pop3s", "smtp", "smtps", "rtsp", "mqtt", "smb", "smbs", "scp",
                 "sftp", "tftp", "ws", "wss", "rtmp", "foo"]


@pytest.mark.parametrize("scheme", OTHER_SCHEMES)
def test_other_schemes_are_never_fetched(client, sid, listener, scheme):
    exc = raises(client, sid, f"{scheme}://127.0.0.1:{listener.port}/x")
    assert type(exc) is RuntimeError
    assert str(exc) == "Request failed: net::ERR_UNKNOWN_URL_SCHEME"
    assert listener.visits() == 0


@pytest.mark.parametrize("url", ["file:///etc/hostname", "file://localhost/etc/hostname",
                                 "data:text/plain,hello", "about:blank", "javascript:1"])
def test_local_schemes_are_never_fetched(client, sid, url):
    exc = raises(client, sid, url)
    assert type(exc) is RuntimeError
    assert re.fullmatch(r"Request failed: net::ERR_(UNKNOWN_URL_SCHEME|INVALID_URL)", str(exc))


@pytest.mark.parametrize("target", ["ftp://127.0.0.1:{port}/x", "gopher://127.0.0.1:{port}/x",
                                    "dict://127.0.0.1:{port}/x", "telnet://127.0.0.1:{port}",
                                    "tftp://127.0.0.1:{port}/x", "smtp://127.0.0.1:{port}",
                                    "file:///etc/passwd", "data:text/plain,hello"])
@pytest.mark.parametrize("code", [302, 307])
def test_redirects_to_other_schemes_are_not_followed(client, sid, http_server, listener,
                                                      target, code):
    to = target.format(port=listener.port)
    exc = raises(client, sid, http_server.url(f"/redirect/{code}?to={to}"))
    assert type(exc) is RuntimeError
    assert re.fullmatch(r"Request failed: net::ERR_(UNSAFE_REDIRECT|UNKNOWN_URL_SCHEME)",
                        str(exc)), str(exc)
    assert listener.visits() == 0


@pytest.mark.parametrize("scheme", ["HTTP", "Http", "hTTp"])
def test_scheme_case_does_not_matter(client, sid, http_server, scheme):
    url = http_server.url("/").replace("http", scheme, 1)
    assert client.request(sid, url, "GET")["body"] == b"hello\n"


# A second server, on 127.0.0.2, that these URLs must not reach: a browser reads
# the authority as ending at the backslash, and "http:/host" in a Location of
# an http page as a path on that page's host.
@pytest.fixture(scope="module")
def second_host():
    with HttpServer(host="127.0.0.2") as s:
        yield s


@pytest.mark.parametrize("url,body", [
    ("http://{a}\\@{b}/x", "no route for /@{b}/x\n"),
    ("http://{a}\\@{b}/", "no route for /@{b}/\n"),
    ("http://{a}/redirect/302?to=http:/{b}/c", "no route for /{b}/c\n"),
    ("http://{a}/redirect/307?to=http:{b}/c", "no route for /redirect/{b}/c\n"),
])
def test_urls_reach_the_host_a_browser_would(client, sid, http_server, second_host, url, body):
    fmt = {"a": "127.0.0.1:%d" % http_server.port(), "b": "127.0.0.2:%d" % second_host.port()}
    r = client.request(sid, url.format(**fmt), "GET")
    assert (r["status_code"], r["body"]) == (404, body.format(**fmt).encode())


# --- CR and LF ----------------------------------------------------------------------

CRLF_HEADERS = [
    [("X-A", "a\r\nX-Injected: 1")], [("X-A", "a\nX-Injected: 1")], [("X-A", "a\rb")],
    [("X-A", "\r\n")], [("X-A\r\nX-Injected", "1")], [("X-A\n", "1")],
    [("X-Ok", "fine"), ("X-A", "x\r\n\r\nGET /smuggled HTTP/1.1")],
]


@pytest.mark.parametrize("headers", CRLF_HEADERS)
def test_crlf_in_headers_is_refused_before_the_wire(client, sid, http_server, listener, headers):
    exc = raises(client, sid, f"http://127.0.0.1:{listener.port}/", headers=headers)
    assert type(exc) is RuntimeError
    assert str(exc).startswith("Request failed: ")
    assert listener.visits() == 0
    assert client.request(sid, http_server.url("/"), "GET")["body"] == b"hello\n"


@pytest.mark.parametrize("method", ["GET\r\nX-Injected: 1", "GET /x HTTP/1.1\r\n", "G\nET"])
def test_crlf_in_method_is_refused(client, sid, listener, method):
    exc = raises(client, sid, f"http://127.0.0.1:{listener.port}/", method)
    assert type(exc) is RuntimeError and str(exc).startswith("Request failed: ")
    assert listener.visits() == 0


def _head_lines(echo):
    return base64.b64decode(echo["raw_head_b64"]).split(b"\r\n")


@pytest.mark.parametrize("suffix", ["\r\nX-Injected: 1", "\nX-Injected: 1", "?q=1\r\nX-Injected: 1",
                                    "#\r\nX-Injected: 1"])
def test_crlf_in_url_never_splits_the_request(client, sid, http_server, suffix):
    url = http_server.url("/echo/") + suffix
    try:
        r = client.request(sid, url, "GET")
    except RuntimeError as e:
        assert str(e).startswith("Request failed: net::ERR_")
        return
    lines = _head_lines(json.loads(r["body"]))
    assert not any(l.lower().startswith(b"x-injected") for l in lines)
    assert all(b"\r" not in l and b"\n" not in l for l in lines)


@settings(max_examples=80, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(value=st.text(st.sampled_from("ab :\t\r\n\x0b\x0c\x85\u2028\u2029\x7f"), min_size=1,
                     max_size=12))
def test_header_values_reach_the_wire_whole_or_not_at_all(client, sid, http_server, value):
    try:
        r = client.request(sid, http_server.url("/echo"), "GET", headers=[("X-Probe", value)])
    except RuntimeError as e:
        assert str(e).startswith("Request failed: ")
        return
    assert "\r" not in value and "\n" not in value, "a value with CR or LF was sent"
    lines = _head_lines(json.loads(r["body"]))
    probe = [l for l in lines if l.lower().startswith(b"x-probe:")]
    assert len(probe) == 1
    # The stack may trim outer whitespace, never change the inside.
    assert probe[0].split(b":", 1)[1].strip(b" \t") == value.encode().strip(b" \t")


def test_crlf_in_proxy_rules_starts_no_session(client):
    assert client.create_session(proxy_rules="http://127.0.0.1:1\r\nX-Injected: 1") == ""
    assert client.list_sessions() == []


# --- certificate verification --------------------------------------------------------

VERIFY_ON = [{}, {"skip_cert_verify": None}, {"skip_cert_verify": False},
             {"skip_cert_verify": numpy.bool_(False)}]
VERIFY_OFF = [{"skip_cert_verify": True}, {"skip_cert_verify": numpy.bool_(True)}]
BAD_CERTS = ["wrong_host", "expired", "self_signed"]


CERT_ERRORS = {"wrong_host": "ERR_CERT_COMMON_NAME_INVALID", "expired": "ERR_CERT_DATE_INVALID",
               "self_signed": "ERR_CERT_AUTHORITY_INVALID"}


@pytest.fixture
def trusted_ca(bad_tls):
    """Sessions made in the test trust the test CA, as a deployment trusts its own."""
    ctl.ca_bundle(bad_tls.ca)
    yield bad_tls.ca
    ctl.ca_bundle(None)


@pytest.mark.parametrize("which", BAD_CERTS)
@pytest.mark.parametrize("kw", VERIFY_ON)
def test_certificates_are_verified_unless_asked_not_to(client, bad_tls, which, kw):
    sid = client.create_session(timeout_ms=10000, **kw)
    exc = raises(client, sid, bad_tls.url("/", which))
    assert type(exc) is RuntimeError
    assert re.fullmatch(r"Request failed: net::ERR_CERT_[A-Z_]+", str(exc)), str(exc)


@pytest.mark.parametrize("which", BAD_CERTS)
@pytest.mark.parametrize("kw", VERIFY_ON)
def test_a_trusted_ca_still_gets_host_and_date_checked(client, bad_tls, trusted_ca, which, kw):
    sid = client.create_session(timeout_ms=10000, **kw)
    assert client.request(sid, bad_tls.url("/", "good"), "GET")["body"] == b"hello\n"
    exc = raises(client, sid, bad_tls.url("/", which))
    assert str(exc) == f"Request failed: net::{CERT_ERRORS[which]}"


@pytest.mark.parametrize("which", BAD_CERTS + ["good"])
@pytest.mark.parametrize("kw", VERIFY_OFF)
def test_skip_cert_verify_accepts_any_certificate(client, bad_tls, which, kw):
    sid = client.create_session(timeout_ms=10000, **kw)
    assert client.request(sid, bad_tls.url("/", which), "GET")["body"] == b"hello\n"


@pytest.mark.parametrize("via", ["redirect", "proxy"])
def test_verification_holds_through_redirects_and_proxies(client, http_server, bad_tls,
                                                          http_proxy, via):
    if via == "proxy":
        sid = client.create_session(proxy_rules=http_proxy.proxy_url, timeout_ms=10000)
        url = bad_tls.url("/", "expired", host="localhost")
    else:
        sid = client.create_session(timeout_ms=10000)
        url = http_server.url("/redirect/302?to=" + bad_tls.url("/", "expired"))
    exc = raises(client, sid, url)
    assert re.fullmatch(r"Request failed: net::ERR_CERT_[A-Z_]+", str(exc)), str(exc)
    if via == "proxy":
        assert [m for m, _ in http_proxy.seen] == ["CONNECT"]


# --- proxy variables of the environment ----------------------------------------------

PROXY_VARS = ["http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
              "ALL_PROXY", "socks_proxy", "SOCKS_PROXY"]


@pytest.mark.parametrize("target", ["http", "https"])
@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_proxy_variables_do_not_redirect_a_direct_session(client, monkeypatch, http_proxy,
                                                          http_server, bad_tls, target, host):
    for var in PROXY_VARS:
        monkeypatch.setenv(var, http_proxy.proxy_url)
    sid = client.create_session(skip_cert_verify=True, timeout_ms=10000)
    url = http_server.url("/", host=host) if target == "http" else bad_tls.url("/", "good",
                                                                              host=host)
    assert client.request(sid, url, "GET")["body"] == b"hello\n"
    assert http_proxy.seen == []


def test_dead_proxy_variables_do_not_break_a_direct_session(client, monkeypatch, http_server,
                                                           listener):
    for var in PROXY_VARS:
        monkeypatch.setenv(var, f"http://127.0.0.1:{listener.port}")
    sid = client.create_session(timeout_ms=10000)
    assert client.request(sid, http_server.url("/"), "GET")["body"] == b"hello\n"
    assert listener.visits() == 0


@pytest.mark.parametrize("var", ["no_proxy", "NO_PROXY"])
def test_no_proxy_variable_does_not_bypass_proxy_rules(client, monkeypatch, http_proxy,
                                                       http_server, var):
    monkeypatch.setenv(var, "*,127.0.0.1,localhost")
    sid = client.create_session(proxy_rules=http_proxy.proxy_url, timeout_ms=10000)
    assert client.request(sid, http_server.url("/"), "GET")["body"] == b"hello\n"
    assert [tuple(x) for x in http_proxy.seen] == [("GET", http_server.url("/"))]


def test_proxy_variables_do_not_replace_proxy_rules(client, monkeypatch, http_proxy,
                                                    socks5_proxy, http_server):
    for var in PROXY_VARS:
        monkeypatch.setenv(var, http_proxy.proxy_url)
    sid = client.create_session(proxy_rules=socks5_proxy.proxy_url, timeout_ms=10000)
    assert client.request(sid, http_server.url("/"), "GET")["body"] == b"hello\n"
    assert socks5_proxy.seen and http_proxy.seen == []


# --- NUL ------------------------------------------------------------------------------

NUL_INPUTS = [
    {"url": "http://127.0.0.1:{port}/\0/evil"},
    {"url": "http://127.0.0.1:{port}\0.example/"},
    {"method": "GET\0DELETE"},
    {"headers": [("X-A\0B", "v")]},
    {"headers": [("X-A", "v\0\r\nX-Injected: 1")]},
    {"headers": [("X-Ok", "1"), ("X-A", "\0")]},
]


@pytest.mark.parametrize("kw", NUL_INPUTS)
def test_nul_in_request_texts_stops_the_call(client, sid, listener, http_server, kw):
    args = {"url": "http://127.0.0.1:{port}/", "method": "GET"}
    args.update(kw)
    url = args.pop("url").format(port=listener.port)
    exc = raises(client, sid, url, args.pop("method"), **args)
    assert type(exc).__name__ == "PanicException"
    assert str(exc).startswith(UNWRAP)
    assert listener.visits() == 0
    assert client.request(sid, http_server.url("/"), "GET")["body"] == b"hello\n"


@pytest.mark.parametrize("rules", ["http://127.0.0.1:1\0", "\0", "direct://\0http://127.0.0.1:1",
                                   "socks5://127.0.0.1:1080\0junk"])
def test_nul_in_proxy_rules_registers_nothing(client, rules):
    with pytest.raises(BaseException) as info:
        client.create_session(proxy_rules=rules)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value).startswith("Invalid proxy string")
    assert client.list_sessions() == []


def test_nul_in_a_session_id_names_no_session(client, sid, http_server):
    for bad in (sid + "\0", sid + "\0junk", sid[:8] + "\0" + sid[9:]):
        with pytest.raises(RuntimeError) as info:
            client.request(bad, http_server.url("/"), "GET")
        assert str(info.value) == REFUSED
        assert client.close_session(bad) is False
    assert client.list_sessions() == [sid]


@pytest.mark.parametrize("size", [1, 251, 70000])
def test_nul_bytes_in_bodies_pass_whole(client, sid, http_server, size):
    body = pattern_bytes(size, seed=0)
    assert body.count(0) >= 1
    got = client.request(sid, http_server.url(f"/bytes/{size}?seed=0"), "GET")["body"]
    assert got == body
    r = client.request(sid, http_server.url("/echo"), "POST", body=body)
    assert base64.b64decode(json.loads(r["body"])["body_b64"]) == body


def test_nul_in_a_response_header_is_never_cut_silently(client, sid, http_server):
    try:
        r = client.request(sid, http_server.url("/headers?h=X-Nul:left%00right&h=X-After:1"),
                           "GET")
    except RuntimeError as e:
        assert str(e).startswith("Request failed: net::ERR_")
        return
    values = [v for n, v in r["headers"] if n == "X-Nul"]
    assert len(values) == 1 and "left" in values[0] and "right" in values[0], r["headers"]
    assert ("X-After", "1") in r["headers"]


@pytest.mark.parametrize("value", [" ", "\t", "  \t ", "\x0b", "\x0c"])
def test_blank_header_values_are_sent_not_dropped(client, sid, http_server, value):
    r = client.request(sid, http_server.url("/echo"), "GET", headers=[("X-Blank", value)])
    lines = _head_lines(json.loads(r["body"]))
    assert [l for l in lines if l.lower().startswith(b"x-blank:")], lines
