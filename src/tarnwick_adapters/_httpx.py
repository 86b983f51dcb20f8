"""`TarnwickTransport`: an httpx transport on tarnwick."""

from __future__ import annotations

import ssl
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

import httpx

from . import _common as c
from ._common import UnsupportedOption

ProxyArg = Union[None, str, httpx.URL, httpx.Proxy]

_ERRORS: Dict[str, Callable[..., Exception]] = {
    c.CONNECT: httpx.ConnectError,
    c.CONNECT_TIMEOUT: httpx.ConnectTimeout,
    c.TIMEOUT: httpx.ReadTimeout,
    c.TLS: httpx.ConnectError,
    c.PROXY: httpx.ProxyError,
    c.REDIRECTS: httpx.TooManyRedirects,
    c.INVALID_URL: httpx.UnsupportedProtocol,
    c.INVALID_HEADER: httpx.LocalProtocolError,
    c.INVALID_METHOD: httpx.LocalProtocolError,
    c.PROTOCOL: httpx.RemoteProtocolError,
    c.DECODING: httpx.DecodingError,
    c.READ: httpx.ReadError,
    c.OTHER: httpx.TransportError,
}


def _default_accept_encoding() -> Optional[str]:
    try:
        from httpx._decoders import SUPPORTED_DECODERS
    except ImportError:  # pragma: no cover - layout of another httpx release
        return None
    return ", ".join(k for k in SUPPORTED_DECODERS if k != "identity")


_DEFAULT_ACCEPT_ENCODING = _default_accept_encoding()


class UnsupportedHttpxOption(UnsupportedOption, httpx.TransportError):
    """An httpx setting tarnwick cannot honour (it raises rather than ignore it)."""

    def __init__(self, message: str, *, request: Optional[httpx.Request] = None) -> None:
        httpx.TransportError.__init__(self, message, request=request)


class TarnwickTransport(httpx.BaseTransport):
    """An httpx transport that sends every request through tarnwick.

    ::

        client = httpx.Client(transport=TarnwickTransport(), follow_redirects=True)
        r = client.get("https://example.test/")
        print(r.status_code, r.http_version, len(r.content))

    How httpx's settings map onto tarnwick:

    * Timeout: tarnwick has one limit for the whole call (connect, redirects, response
      headers and the whole body), not one per socket read. The request's timeout gives
      ``connect + read`` seconds (a None part adds nothing; ``pool`` and ``write`` are
      not used); no limit at all gives tarnwick's default of 30 seconds rather than
      waiting forever. A slow body that keeps trickling in is cut off, where a per-read
      timeout would let it run. httpx's default
      ``Timeout(5.0)`` thus allows 10 seconds for the whole call. Exceeding it raises
      ``httpx.ReadTimeout``, even when the call was still connecting.
    * Verification: ``verify=False`` skips it. httpx hands a client's ``verify``, ``cert``
      and ``proxy`` only to its own transports, so they are given here. A CA bundle, an
      ``ssl.SSLContext`` or a client certificate cannot be honoured by the engine and raise
      ``UnsupportedHttpxOption``; verification is never done against something else.
    * Proxies: ``proxy`` applies to http and https; without it and with ``trust_env=True``
      the proxies httpx reads from the environment (``HTTP_PROXY``, ``HTTPS_PROXY``,
      ``ALL_PROXY``, ``NO_PROXY``) are chosen per URL as httpx would. Proxy credentials
      cannot be sent and raise ``UnsupportedHttpxOption``.
    * Redirects: tarnwick follows them itself (at most 20) and returns the final response,
      so the client sees no redirect, ``response.history`` stays empty and ``response.url``
      is the URL asked for. A client with ``follow_redirects=False`` (httpx's default)
      cannot be honoured and raises ``UnsupportedHttpxOption``: create the client with
      ``follow_redirects=True``. httpx does not pass that flag to transports; it is read
      from the client's frame.
    * The body arrives decoded and complete: ``Content-Encoding`` and the encoded
      ``Content-Length`` are left out of the response headers. ``response.http_version``
      says "HTTP/1.1" whatever was used: tarnwick does not report the version.
    * Threads: every tarnwick call holds the interpreter lock until it returns, so
      requests made from many threads are served one after another, and a server
      running in a thread of the same process cannot answer until the call has timed
      out. There is no async transport: an ``AsyncClient`` would block its event loop.

    The transport keeps up to ``max_sessions`` tarnwick sessions, one per distinct
    (timeout, proxy rules, verification); ``close()`` (also the client's) closes them,
    about 300 ms each, and a later request opens new ones.
    """

    def __init__(self, verify: Union[bool, str, ssl.SSLContext] = True, cert: Any = None,
                 proxy: ProxyArg = None, trust_env: bool = False,
                 max_sessions: int = c.DEFAULT_POOL_SIZE) -> None:
        if cert is not None:
            raise UnsupportedHttpxOption("tarnwick cannot present a client certificate")
        if c.is_system_ca_bundle(verify):
            verify = True
        if not isinstance(verify, bool):
            raise UnsupportedHttpxOption(
                "tarnwick verifies against the system's trust store only and cannot use "
                "%r; pass verify=True or verify=False" % (verify,))
        self._skip_verify = not verify
        self._proxy = _proxy_url(proxy) if proxy is not None else None
        self._env: List[Tuple[Any, Optional[str]]] = []
        if self._proxy is None and trust_env:
            self._env = _environment_proxies()
        if self._proxy is not None:
            try:
                c.proxy_entry(self._proxy)
            except c.ProxyUnsupported as e:
                raise UnsupportedHttpxOption(str(e)) from None
        self._pool = c.SessionPool(max_sessions)

    def handle_request(self, request: httpx.Request) -> httpx.Response:
        if request.url.scheme not in ("http", "https"):
            raise httpx.UnsupportedProtocol(
                "Request URL has an unsupported protocol '%s://'." % request.url.scheme,
                request=request)
        if not c.caller_flag((("httpx/_client.py", "_send_handling_redirects"),),
                             "follow_redirects", True):
            raise UnsupportedHttpxOption(
                "tarnwick follows redirects itself; follow_redirects=False cannot be "
                "honoured (create the client with follow_redirects=True)", request=request)
        url = str(request.url)
        key = c.SessionKey(c.timeout_ms(_whole_call(request.extensions.get("timeout"))),
                           self._rules(url, request), self._skip_verify)
        drop = [("Host", request.url.netloc.decode("ascii"))]
        if _DEFAULT_ACCEPT_ENCODING:
            drop.append(("Accept-Encoding", _DEFAULT_ACCEPT_ENCODING))
        enc = request.headers.encoding
        raw = ((n.decode(enc), v.decode(enc)) for n, v in request.headers.raw)
        headers = c.request_headers(raw, drop=drop)
        try:
            result = self._pool.request(key, url, request.method, headers, request.read())
        except (RuntimeError, TimeoutError, c.EngineUnavailable, c.Refused) as e:
            kind = c.failure_kind(e)
            if kind is None:
                raise
            raise _ERRORS[kind](str(e), request=request) from e
        status: int = result["status_code"]  # type: ignore[assignment]
        return httpx.Response(
            status, headers=c.response_headers(result["headers"]),  # type: ignore[arg-type]
            stream=httpx.ByteStream(result["body"]),  # type: ignore[arg-type]
            extensions={"reason_phrase": c.reason_phrase(status).encode("ascii"),
                        "http_version": b"HTTP/1.1"})

    def _rules(self, url: str, request: httpx.Request) -> str:
        if self._proxy is not None:
            chosen: List[Optional[str]] = [self._proxy, self._proxy]
        elif self._env:
            chosen = [_match(self._env, httpx.URL(c.with_scheme(url, s)))
                      for s in ("http", "https")]
        else:
            return ""
        try:
            return c.proxy_rules(chosen[0], chosen[1])
        except c.ProxyUnsupported as e:
            raise UnsupportedHttpxOption(str(e), request=request) from None

    def close(self) -> None:
        """Close every tarnwick session of this transport."""
        self._pool.close()


def _whole_call(timeout: Optional[Dict[str, Optional[float]]]) -> Optional[float]:
    if not timeout:
        return None
    return c.whole_call_seconds(timeout.get("connect"), timeout.get("read"))


def _proxy_url(proxy: Union[str, httpx.URL, httpx.Proxy]) -> str:
    if isinstance(proxy, httpx.Proxy):
        if proxy.auth is not None:
            raise UnsupportedHttpxOption("tarnwick cannot send proxy credentials")
        if proxy.headers:
            raise UnsupportedHttpxOption("tarnwick cannot send proxy headers")
        return str(proxy.url)
    return str(proxy)


def _environment_proxies() -> List[Tuple[Any, Optional[str]]]:
    # httpx's own reading of the environment and its own URL patterns, in its order.
    from httpx._utils import URLPattern, get_environment_proxies

    patterns = [(URLPattern(key), value) for key, value in get_environment_proxies().items()]
    return sorted(patterns, key=lambda item: item[0])


def _match(patterns: List[Tuple[Any, Optional[str]]], url: httpx.URL) -> Optional[str]:
    for pattern, proxy in patterns:
        if pattern.matches(url):
            return proxy
    return None


__all__ = ["TarnwickTransport", "UnsupportedHttpxOption"]
