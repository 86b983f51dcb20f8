"""`TarnwickAdapter`: requests' transport adapter on tarnwick."""

from __future__ import annotations

import io
import os
from http.client import HTTPMessage
from typing import Any, Dict, Mapping, Optional, Tuple, Union

from requests.adapters import BaseAdapter, HTTPAdapter
from requests.exceptions import (ConnectionError, ConnectTimeout, ContentDecodingError,
                                 InvalidHeader, InvalidProxyURL, InvalidURL, ProxyError,
                                 ReadTimeout,
                                 RequestException, SSLError, TooManyRedirects)
from requests.models import PreparedRequest, Response
from requests.utils import DEFAULT_ACCEPT_ENCODING, select_proxy
from urllib3 import HTTPResponse
from urllib3._collections import HTTPHeaderDict
from urllib3.exceptions import ReadTimeoutError
from urllib3.util import Timeout as TimeoutSauce

from . import _common as c
from ._common import UnsupportedOption

TimeoutArg = Union[None, float, Tuple[Optional[float], Optional[float]], TimeoutSauce]

_ERRORS = {
    c.CONNECT: ConnectionError,
    c.CONNECT_TIMEOUT: ConnectTimeout,
    c.TIMEOUT: ReadTimeout,
    c.TLS: SSLError,
    c.PROXY: ProxyError,
    c.REDIRECTS: TooManyRedirects,
    c.INVALID_URL: InvalidURL,
    c.INVALID_HEADER: InvalidHeader,
    c.INVALID_METHOD: RequestException,
    c.PROTOCOL: ConnectionError,
    c.DECODING: ContentDecodingError,
    c.READ: ConnectionError,
    c.OTHER: ConnectionError,
}


class UnsupportedRequestsOption(RequestException, UnsupportedOption):
    """A requests setting tarnwick cannot honour (it raises rather than ignore it)."""


class _OriginalResponse:
    """The part of http.client's response that requests' cookie handling reads."""

    def __init__(self, msg: HTTPMessage) -> None:
        self.msg = msg

    def isclosed(self) -> bool:
        return True

    def close(self) -> None:
        pass


class TarnwickAdapter(BaseAdapter):
    """A requests transport adapter that sends every request through tarnwick.

    Mount it on a session for both schemes::

        s = requests.Session()
        a = TarnwickAdapter(); s.mount("https://", a); s.mount("http://", a)
        r = s.get("https://example.test/", timeout=10)

    How requests' settings map onto tarnwick:

    * Timeout: tarnwick has one limit for the whole call (connect, redirects, response
      headers and the whole body), not a limit per socket read. A number is that limit; a
      ``(connect, read)`` pair gives the sum of the parts given (a None part adds
      nothing); no timeout at all gives tarnwick's default of 30 seconds rather than
      waiting forever. Exceeding it raises ``ReadTimeout``, even when the call was still
      connecting. A slow body that keeps trickling in is cut off, where a per-read
      timeout would let it run.
    * ``verify=False`` skips certificate verification. A CA bundle path (also one that
      requests takes from ``REQUESTS_CA_BUNDLE`` or ``CURL_CA_BUNDLE``) other than the
      system's own bundle, and a client
      certificate (``cert``) cannot be honoured by the engine and raise
      ``UnsupportedRequestsOption``; verification is never done against something else.
    * Proxies: the proxy requests selects for the URL's scheme (``proxies``, with
      environment proxies when the session's ``trust_env`` is on) becomes the engine's
      proxy rules. Proxy credentials cannot be sent and raise ``UnsupportedRequestsOption``.
    * Redirects: tarnwick follows them itself (at most 20) and returns the final
      response, so ``response.history`` stays empty and ``response.url`` is the URL that
      was asked for. ``allow_redirects=False`` (the default of ``head()``) cannot be
      honoured and raises ``UnsupportedRequestsOption``; requests does not pass that
      flag to adapters, so it is read from ``Session.send``'s frame.
    * The body arrives decoded and complete: ``Content-Encoding`` and the encoded
      ``Content-Length`` are left out of ``response.headers``; ``stream=True`` and
      ``iter_content`` read that complete body. ``response.raw.version`` is 11 whatever
      was used: tarnwick does not report the HTTP version.
    * Threads: every tarnwick call holds the interpreter lock until it returns, so
      requests made from many threads are served one after another, and a server
      running in a thread of the same process cannot answer until the call has timed out.

    The adapter keeps up to ``max_sessions`` tarnwick sessions, one per distinct
    (timeout, proxy rules, verification); ``close()`` (also ``Session.close()``) closes them,
    about 300 ms each, and a later request opens new ones.
    """

    def __init__(self, max_sessions: int = c.DEFAULT_POOL_SIZE) -> None:
        super().__init__()
        self._pool = c.SessionPool(max_sessions)

    def send(self, request: PreparedRequest, stream: bool = False, timeout: TimeoutArg = None,
             verify: Union[bool, str] = True, cert: Any = None,
             proxies: Optional[Mapping[str, str]] = None) -> Response:
        if not c.caller_flag((("requests/sessions.py", "send"),), "allow_redirects", True):
            raise UnsupportedRequestsOption(
                "tarnwick follows redirects itself; allow_redirects=False cannot be honoured",
                request=request)
        url = request.url or ""
        key = c.SessionKey(c.timeout_ms(_whole_call(timeout)),
                           _proxy_rules(url, proxies or {}, request),
                           _skip_verify(verify, cert, request))
        method = request.method or "GET"
        headers = c.request_headers(request.headers.items(),
                                    drop=(("Accept-Encoding", DEFAULT_ACCEPT_ENCODING),))
        try:
            result = self._pool.request(key, url, method, headers, _body_bytes(request.body))
        except (RuntimeError, TimeoutError, c.EngineUnavailable, c.Refused) as e:
            kind = c.failure_kind(e)
            if kind is None:
                raise
            if kind == c.TIMEOUT:
                # As requests' own adapter: the urllib3 error inside, "Read timed out." first.
                inner = ReadTimeoutError(None, url,  # type: ignore[arg-type]
                                         "Read timed out. (%s)" % e)
                raise ReadTimeout(inner, request=request) from e
            raise _ERRORS[kind](str(e), request=request) from e
        return self._build(request, method, result)

    def _build(self, request: PreparedRequest, method: str, result: Mapping[str, Any]) -> Response:
        status: int = result["status_code"]
        pairs = c.response_headers(result["headers"])
        msg = HTTPMessage()
        for name, value in pairs:
            msg[name] = value
        raw = HTTPResponse(body=io.BytesIO(result["body"]), headers=HTTPHeaderDict(pairs),
                           status=status, reason=c.reason_phrase(status), version=11,
                           preload_content=False, decode_content=False,
                           enforce_content_length=False, request_method=method,
                           request_url=request.url,
                           original_response=_OriginalResponse(msg))  # type: ignore[arg-type]
        # The same Response as requests' own adapter builds: encoding, cookies, url, reason.
        return HTTPAdapter.build_response(self, request, raw)  # type: ignore[arg-type]

    def close(self) -> None:
        """Close every tarnwick session of this adapter."""
        self._pool.close()

    # Sessions are pickled with their adapters; a copy starts without tarnwick sessions.
    def __getstate__(self) -> Dict[str, Any]:
        return {"max_sessions": self._pool.max_sessions}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__init__(state["max_sessions"])  # type: ignore[misc]


def _whole_call(timeout: TimeoutArg) -> Optional[float]:
    if timeout is None:
        return None
    if isinstance(timeout, TimeoutSauce):
        connect, read = timeout.connect_timeout, timeout.read_timeout
        if connect is TimeoutSauce.DEFAULT_TIMEOUT or read is TimeoutSauce.DEFAULT_TIMEOUT:
            return None
        return c.whole_call_seconds(connect, read)  # type: ignore[arg-type]
    if isinstance(timeout, tuple):
        try:
            connect, read = timeout
        except ValueError:
            raise ValueError(
                f"Invalid timeout {timeout}. Pass a (connect, read) timeout tuple, "
                f"or a single float to set both timeouts to the same value.") from None
        return c.whole_call_seconds(connect, read)
    TimeoutSauce(connect=timeout, read=timeout)  # urllib3's own check and message
    return timeout


def _skip_verify(verify: Union[bool, str, None], cert: Any, request: PreparedRequest) -> bool:
    # Missing files fail as in requests' own adapter, before anything else.
    if isinstance(verify, str) and not os.path.exists(verify):
        raise OSError("Could not find a suitable TLS CA certificate bundle, "
                      f"invalid path: {verify}")
    if cert:
        cert_file, key_file = (cert, None) if isinstance(cert, str) else (cert[0], cert[1])
        if cert_file and not os.path.exists(cert_file):
            raise OSError(f"Could not find the TLS certificate file, invalid path: {cert_file}")
        if key_file and not os.path.exists(key_file):
            raise OSError(f"Could not find the TLS key file, invalid path: {key_file}")
        raise UnsupportedRequestsOption(
            "tarnwick cannot present a client certificate (cert=%r)" % (cert,), request=request)
    if verify is True or verify is None or c.is_system_ca_bundle(verify):
        return False
    if verify is False:
        return True
    raise UnsupportedRequestsOption(
        "tarnwick verifies against the system's trust store only and cannot use the CA "
        "bundle %r; pass verify=True or verify=False" % (verify,), request=request)


def _proxy_rules(url: str, proxies: Mapping[str, str], request: PreparedRequest) -> str:
    if not proxies or ":" not in url:
        return ""
    chosen = [select_proxy(c.with_scheme(url, s), proxies) for s in ("http", "https")]
    try:
        return c.proxy_rules(chosen[0], chosen[1])
    except c.ProxyMalformed:
        raise InvalidProxyURL("Please check proxy URL. It is malformed "
                              "and could be missing the host.") from None
    except c.ProxyUnsupported as e:
        raise UnsupportedRequestsOption(str(e), request=request) from None


def _body_bytes(body: Any) -> bytes:
    if body is None:
        return b""
    if isinstance(body, (bytes, bytearray, memoryview)):
        return bytes(body)
    if isinstance(body, str):
        return body.encode("utf-8")
    if hasattr(body, "read"):
        data = body.read()
        return data.encode("utf-8") if isinstance(data, str) else bytes(data)
    # An iterable of chunks (requests would send it chunked; the engine frames it itself).
    return b"".join(ch.encode("utf-8") if isinstance(ch, str) else bytes(ch) for ch in body)


__all__ = ["TarnwickAdapter", "UnsupportedRequestsOption"]
