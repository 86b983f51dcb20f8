"""The requests adapter and the httpx transport: how each library's settings and errors map
onto tarnwick, against the local servers. requests' own suite (make test-peers) covers the rest."""

import json
import pickle
import ssl
import threading

import pytest

requests = pytest.importorskip("requests")
httpx = pytest.importorskip("httpx")

from conftest import closed_port  # noqa: E402
from servers import COMPRESSIBLE_BODY, pattern_bytes  # noqa: E402
from tarnwick_adapters import (TarnwickAdapter, TarnwickTransport,  # noqa: E402
                               UnsupportedHttpxOption, UnsupportedOption,
                               UnsupportedRequestsOption)
from tarnwick_adapters import _common  # noqa: E402

SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


@pytest.fixture
def adapter():
    a = TarnwickAdapter()
    yield a
    a.close()


@pytest.fixture
def rs(adapter):
    s = requests.Session()
    s.trust_env = False
    s.mount("http://", adapter)
    s.mount("https://", adapter)
    yield s
    s.close()


def hx_client(**transport_kw):
    return httpx.Client(transport=TarnwickTransport(**transport_kw), follow_redirects=True)


@pytest.fixture
def hx():
    with hx_client() as c:
        yield c


def sessions_of(pool):
    return pool._client.list_sessions() if pool._client is not None else []


# --- errors ------------------------------------------------------------------------------

ERROR_CASES = [
    # (url maker, request kw, requests type, httpx type, tarnwick text in the message)
    ("refused", {}, requests.ConnectionError, httpx.ConnectError, "net::ERR_CONNECTION_REFUSED"),
    ("self_signed", {}, requests.exceptions.SSLError, httpx.ConnectError,
     "net::ERR_CERT_AUTHORITY_INVALID"),
    ("/stall", {"timeout": 0.5}, requests.exceptions.ReadTimeout, httpx.ReadTimeout,
     "Request timeout after 500ms"),
    ("/redirect-loop", {}, requests.TooManyRedirects, httpx.TooManyRedirects,
     "net::ERR_TOO_MANY_REDIRECTS"),
    ("/close-before-response", {}, requests.ConnectionError, httpx.RemoteProtocolError,
     "net::ERR_EMPTY_RESPONSE"),
    ("/echo", {"headers": {"X Bad": "1"}}, requests.exceptions.InvalidHeader,
     httpx.LocalProtocolError, "invalid HTTP header name 'X Bad'"),
    ("/echo", {"headers": {"X-Nul": "a\0b"}}, requests.exceptions.InvalidHeader,
     httpx.LocalProtocolError, "NUL character in the HTTP header 'X-Nul'"),
]

IDS = [c[0] + ("-" + next(iter(c[1]["headers"])) if "headers" in c[1] else "") for c in ERROR_CASES]


def _error_url(what, http_server, bad_tls):
    if what == "refused":
        return "http://127.0.0.1:%d/" % closed_port()
    if what == "self_signed":
        return bad_tls.url("/", "self_signed")
    return http_server.url(what)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("what,kw,requests_type,_,text", ERROR_CASES, ids=IDS)
def test_requests_errors(rs, http_server, bad_tls, what, kw, requests_type, _, text):
    with pytest.raises(requests.RequestException) as info:
        rs.get(_error_url(what, http_server, bad_tls), **kw)
    assert type(info.value) is requests_type
    assert text in str(info.value)
    assert info.value.__cause__ is not None


@pytest.mark.timeout(60)
@pytest.mark.parametrize("what,kw,_,httpx_type,text", ERROR_CASES, ids=IDS)
def test_httpx_errors(hx, http_server, bad_tls, what, kw, _, httpx_type, text):
    if "timeout" in kw:
        kw = {"timeout": httpx.Timeout(kw["timeout"] / 2)}  # connect + read
    with pytest.raises(httpx.HTTPError) as info:
        hx.get(_error_url(what, http_server, bad_tls), **kw)
    assert type(info.value) is httpx_type
    assert text in str(info.value)
    assert info.value.request.url.path


# --- timeouts ------------------------------------------------------------------------------

@pytest.mark.parametrize("timeout,ms", [
    (None, 30000),
    (2, 2000),
    (0.0004, 1),
    ((1, 2.5), 3500),
    ((1, None), 1000),
    ((None, None), 30000),
    (requests.adapters.TimeoutSauce(connect=1, read=2), 3000),
])
def test_requests_timeout_becomes_whole_call(rs, adapter, http_server, timeout, ms):
    try:
        assert rs.get(http_server.url("/"), timeout=timeout).status_code == 200
    except requests.exceptions.ReadTimeout:
        assert ms == 1  # only the 1 ms limit may run out, on a loaded machine
    assert [k.timeout_ms for k in adapter._pool._sessions] == [ms]


@pytest.mark.parametrize("timeout,ms", [
    (httpx.Timeout(5.0), 10000),
    (httpx.Timeout(None), 30000),
    (httpx.Timeout(1.0, read=3.0), 4000),
    (httpx.Timeout(1.0, connect=None), 1000),
])
def test_httpx_timeout_becomes_whole_call(http_server, timeout, ms):
    transport = TarnwickTransport()
    with httpx.Client(transport=transport, follow_redirects=True, timeout=timeout) as c:
        assert c.get(http_server.url("/")).status_code == 200
        assert [k.timeout_ms for k in transport._pool._sessions] == [ms]


@pytest.mark.parametrize("timeout,text", [((1, 2, 3), "Invalid timeout"),
                                          ("5", "must be an int, float or None")])
def test_requests_bad_timeout(rs, http_server, timeout, text):
    with pytest.raises(ValueError, match=text):
        rs.get(http_server.url("/"), timeout=timeout)


# --- verification --------------------------------------------------------------------------

@pytest.mark.parametrize("kw,outcome", [
    ({"verify": False}, 200),
    ({"verify": True}, requests.exceptions.SSLError),
    ({"verify": SYSTEM_BUNDLE}, requests.exceptions.SSLError),   # what the engine uses anyway
    ({"verify": "CA"}, UnsupportedRequestsOption),
    ({"verify": False, "cert": "CA"}, UnsupportedRequestsOption),
    ({"verify": "/nonexistent/ca.pem"}, OSError),
])
def test_requests_verification(rs, https_server, server_ca, kw, outcome):
    kw = {k: server_ca if v == "CA" else v for k, v in kw.items()}
    if outcome == 200:
        assert rs.get(https_server.url("/"), **kw).text == "hello\n"
        return
    with pytest.raises(outcome):
        rs.get(https_server.url("/"), **kw)


@pytest.mark.parametrize("kw,outcome", [
    ({"verify": False}, 200),
    ({"verify": True}, httpx.ConnectError),
    ({"verify": SYSTEM_BUNDLE}, httpx.ConnectError),
    ({"verify": "CA"}, UnsupportedHttpxOption),
    ({"verify": ssl.create_default_context()}, UnsupportedHttpxOption),
    ({"cert": "/tmp/client.pem"}, UnsupportedHttpxOption),
])
def test_httpx_verification(https_server, server_ca, kw, outcome):
    if kw.get("verify") == "CA":
        kw = {"verify": server_ca}
    if outcome is UnsupportedHttpxOption:
        with pytest.raises(UnsupportedOption):
            TarnwickTransport(**kw)
        return
    with hx_client(**kw) as c:
        if outcome == 200:
            assert c.get(https_server.url("/")).text == "hello\n"
        else:
            with pytest.raises(outcome, match="net::ERR_CERT_AUTHORITY_INVALID"):
                c.get(https_server.url("/"))


# --- proxies -------------------------------------------------------------------------------

@pytest.mark.parametrize("http,https,rules", [
    (None, None, ""),
    ("http://p:3128", None, "http=http://p:3128;https=direct://"),
    ("p:3128", "socks5h://[::1]:1080", "http=http://p:3128;https=socks5://[::1]:1080"),
    ("socks4a://p", "https://p:8443/", "http=socks4://p;https=https://p:8443"),
])
def test_proxy_rules(http, https, rules):
    assert _common.proxy_rules(http, https) == rules


@pytest.mark.parametrize("proxy,malformed", [
    ("http://user:pw@p:3128", False), ("ftp://p:21", False), ("http://p:3128/path", False),
    ("http://p:99999", False), ("http:/p:3128", True), ("http://:8080", True), ("https://", True),
])
def test_proxy_rules_refused(proxy, malformed):
    with pytest.raises(_common.ProxyUnsupported) as info:
        _common.proxy_rules(proxy, None)
    assert isinstance(info.value, _common.ProxyMalformed) == malformed


@pytest.mark.timeout(60)
@pytest.mark.parametrize("kind", ["http", "socks5h"])
@pytest.mark.parametrize("scheme", ["http", "https"])
def test_requests_proxies(rs, http_proxy, socks5_proxy, http_server, https_server, kind, scheme):
    proxy = http_proxy if kind == "http" else socks5_proxy
    proxy_url = proxy.proxy_url.replace("socks5://", "socks5h://")
    server = http_server if scheme == "http" else https_server
    r = rs.get(server.url("/", host="origin.test"), proxies={scheme: proxy_url}, verify=False)
    assert r.text == "hello\n"
    assert proxy.seen


@pytest.mark.timeout(60)
def test_requests_env_proxy_only_with_trust_env(rs, http_proxy, http_server, monkeypatch):
    monkeypatch.setenv("HTTP_PROXY", http_proxy.proxy_url)
    monkeypatch.delenv("NO_PROXY", raising=False)
    monkeypatch.delenv("no_proxy", raising=False)
    url = http_server.url("/")
    assert rs.get(url).text == "hello\n"
    assert not http_proxy.seen
    rs.trust_env = True
    assert rs.get(url).text == "hello\n"
    assert http_proxy.seen
    with pytest.raises(UnsupportedRequestsOption, match="proxy credentials"):
        rs.get(url, proxies={"http": "http://u:p@127.0.0.1:1"})
    with pytest.raises(requests.exceptions.InvalidProxyURL):
        rs.get(url, proxies={"http": "http:///127.0.0.1:1"})


@pytest.mark.timeout(60)
def test_httpx_proxies(http_proxy, http_server, monkeypatch):
    url = http_server.url("/", host="origin.test")
    with hx_client(proxy=http_proxy.proxy_url) as c:
        assert c.get(url).text == "hello\n"
    assert http_proxy.seen
    http_proxy.clear_seen()
    monkeypatch.setenv("HTTP_PROXY", http_proxy.proxy_url)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    with hx_client(trust_env=True) as c:
        assert c.get(url).text == "hello\n"
        assert c.get(http_server.url("/")).text == "hello\n"     # bypassed
        assert len(http_proxy.seen) == 1
    with pytest.raises(UnsupportedOption, match="credentials"):
        TarnwickTransport(proxy=httpx.Proxy("http://127.0.0.1:1", auth=("u", "p")))


# --- redirects -----------------------------------------------------------------------------

def test_requests_redirects(rs, http_server):
    r = rs.get(http_server.url("/redirect/302?to=/echo"))
    assert r.status_code == 200 and r.json()["path"] == "/echo"
    assert r.history == []
    for call in (lambda: rs.get(http_server.url("/"), allow_redirects=False),
                 lambda: rs.head(http_server.url("/"))):
        with pytest.raises(UnsupportedRequestsOption, match="allow_redirects=False"):
            call()
    assert rs.head(http_server.url("/"), allow_redirects=True).status_code == 200
    # Used without a Session, the adapter follows.
    adapter = rs.get_adapter("http://")
    prepared = requests.Request("GET", http_server.url("/redirect/301?to=/")).prepare()
    assert adapter.send(prepared).text == "hello\n"


def test_httpx_redirects(http_server):
    transport = TarnwickTransport()
    with httpx.Client(transport=transport) as c:
        with pytest.raises(UnsupportedHttpxOption, match="follow_redirects=False"):
            c.get(http_server.url("/"))
        r = c.get(http_server.url("/redirect/307?to=/echo"), follow_redirects=True)
        assert r.status_code == 200 and r.json()["path"] == "/echo"
        assert r.history == []


# --- headers and bodies --------------------------------------------------------------------

def test_requests_response_mapping(rs, http_server):
    r = rs.get(http_server.url("/dup-headers"))
    assert r.reason == "OK"
    assert r.headers["X-Dup"] == "first, second"
    assert r.raw.headers.getlist("Set-Cookie") == ["a=1; Path=/", "b=2; Path=/"]
    assert rs.cookies.get_dict() == {"a": "1", "b": "2"}
    assert rs.get(http_server.url("/status/404")).reason == "Not Found"
    r = rs.get(http_server.url("/gzip"), stream=True)
    assert "Content-Encoding" not in r.headers and "Content-Length" not in r.headers
    assert b"".join(r.iter_content(777)) == COMPRESSIBLE_BODY
    r = rs.get(http_server.url("/plain"))
    assert r.headers["Content-Length"] == str(len(COMPRESSIBLE_BODY))
    assert r.content == COMPRESSIBLE_BODY


def test_httpx_response_mapping(hx, http_server):
    r = hx.get(http_server.url("/dup-headers"))
    assert r.reason_phrase == "OK"
    assert r.headers.get_list("x-dup") == ["first", "second"]
    assert dict(hx.cookies) == {"a": "1", "b": "2"}
    assert hx.get(http_server.url("/status/418")).reason_phrase == "I'm a Teapot"
    r = hx.get(http_server.url("/br"))
    assert "content-encoding" not in r.headers
    assert r.content == COMPRESSIBLE_BODY
    with hx.stream("GET", http_server.url("/deflate")) as r:
        assert b"".join(r.iter_bytes()) == COMPRESSIBLE_BODY


def _echoed(r):
    out = json.loads(r.content)
    return out, {k.lower(): v for k, v in out["headers"]}


def _chunks():
    yield b"ab"
    yield "cd"


def test_requests_request_mapping(rs, http_server):
    out, hdrs = _echoed(rs.post(http_server.url("/echo"), data=_chunks(),
                                headers={"X-One": "1"}))
    assert out["method"] == "POST" and out["body_len"] == 4
    assert "transfer-encoding" not in hdrs and hdrs["content-length"] == "4"
    assert hdrs["x-one"] == "1"
    assert "br" in hdrs["accept-encoding"]                 # the engine's own list
    _, hdrs = _echoed(rs.get(http_server.url("/echo"), headers={"Accept-Encoding": "identity"}))
    assert hdrs["accept-encoding"] == "identity"


def test_httpx_request_mapping(hx, http_server):
    out, hdrs = _echoed(hx.put(http_server.url("/echo"), content=iter([b"ab", b"cde"]),
                               headers=[("X-Two", "a"), ("X-Two", "b")]))
    assert out["method"] == "PUT" and out["body_len"] == 5
    assert [v for k, v in out["headers"] if k.lower() == "x-two"] == ["a", "b"]
    assert "br" in hdrs["accept-encoding"]
    with pytest.raises(httpx.UnsupportedProtocol):
        hx.get("ftp://127.0.0.1/")


# --- sessions ------------------------------------------------------------------------------

def test_sessions_pooled_per_settings(http_server):
    adapter = TarnwickAdapter(max_sessions=2)
    s = requests.Session()
    s.mount("http://", adapter)
    url = http_server.url("/")
    for timeout in (1, 1, 2, 1, 3):
        assert s.get(url, timeout=timeout).status_code == 200
    pool = adapter._pool
    assert [k.timeout_ms for k in pool._sessions] == [1000, 3000]   # 2000 was evicted
    assert len(sessions_of(pool)) == 2
    client = pool._client
    s.close()
    assert client.list_sessions() == []
    assert s.get(url, timeout=5).status_code == 200       # reopened, as requests' adapters do
    assert [k.timeout_ms for k in pool._sessions] == [5000]
    copy = pickle.loads(pickle.dumps(s))                     # a copy has no sessions yet
    assert copy.get(url).status_code == 200
    copy.close()
    adapter.close()


@pytest.mark.timeout(120)
def test_threads_share_one_adapter(http_server):
    # One session slot, four settings: requests from four threads keep evicting each
    # other's sessions and must all come back whole.
    adapter = TarnwickAdapter(max_sessions=1)
    s = requests.Session()
    s.mount("http://", adapter)
    errors = []

    def work(timeout):
        try:
            for _ in range(5):
                r = s.get(http_server.url("/bytes/5000?seed=%d" % timeout), timeout=timeout)
                assert r.content == pattern_bytes(5000, seed=timeout)
        except Exception as e:  # reported below, with the thread's timeout
            errors.append((timeout, e))

    threads = [threading.Thread(target=work, args=(t,)) for t in (5, 6, 7, 8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    s.close()
    assert errors == []
    assert adapter._pool.session_count() == 0
