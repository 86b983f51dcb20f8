"""What both adapters share: the pool of tarnwick sessions, timeouts, proxy rules, error kinds."""

from __future__ import annotations

import http
import math
import os
import re
import ssl
import sys
import threading
from collections import OrderedDict
from types import FrameType
from typing import Dict, FrozenSet, Iterable, List, NamedTuple, Optional, Sequence, Tuple
from urllib.parse import SplitResult, urlsplit

import tarnwick

#: tarnwick's own whole-call timeout, used when the caller gives none.
DEFAULT_TIMEOUT_S = 30.0

#: Sessions kept per adapter; the least recently used one is closed beyond this.
DEFAULT_POOL_SIZE = 4

# Response headers that describe the encoded body; the engine hands back the decoded one.
ENCODING_HEADERS = ("content-encoding", "content-length")

# The engine frames the body itself and never sends these as given.
FRAMING_HEADERS = frozenset(("content-length", "transfer-encoding"))

Headers = List[Tuple[str, str]]


class SessionKey(NamedTuple):
    """What a tarnwick session fixes for every request made on it."""

    timeout_ms: int
    proxy_rules: str
    skip_cert_verify: bool


class UnsupportedOption(ValueError):
    """A setting of the calling library that tarnwick cannot honour; raised, never ignored."""


class EngineUnavailable(Exception):
    """tarnwick could not start an engine for these settings (e.g. proxy rules it rejects)."""


class SessionPool:
    """A few tarnwick sessions, one per distinct `SessionKey`, reused across requests.

    Closing a tarnwick session drains it and pauses on purpose (about 300 ms), so sessions
    live until the pool evicts them or is closed, never just for one request.

    Every tarnwick call holds the interpreter lock until it returns; the pool's own lock
    is held across the call as well, so eviction never closes a session in use.
    """

    def __init__(self, max_sessions: int = DEFAULT_POOL_SIZE) -> None:
        if max_sessions < 1:
            raise ValueError("max_sessions must be at least 1")
        self.max_sessions = max_sessions
        self._client: Optional[tarnwick.ZoDeruziDuzera] = None
        self._sessions: "OrderedDict[SessionKey, str]" = OrderedDict()
        self._lock = threading.Lock()

    def request(self, key: SessionKey, url: str, method: str, headers: Headers,
                body: bytes) -> Dict[str, object]:
        check_nul(url, method, headers)
        with self._lock:
            sid = self._session(key)
            client = self._client
            assert client is not None
            return dict(client.request(sid, url, method, headers, body))

    def _session(self, key: SessionKey) -> str:
        sid = self._sessions.get(key)
        if sid is not None:
            self._sessions.move_to_end(key)
            return sid
        if self._client is None:
            self._client = tarnwick.ZoDeruziDuzera()
        sid = self._client.create_session(proxy_rules=key.proxy_rules or None,
                                          skip_cert_verify=key.skip_cert_verify,
                                          timeout_ms=key.timeout_ms)
        if not sid:
            raise EngineUnavailable(
                "tarnwick could not start a session with proxy rules %r" % key.proxy_rules)
        self._sessions[key] = sid
        while len(self._sessions) > self.max_sessions:
            _, old = self._sessions.popitem(last=False)
            self._client.close_session(old)
        return sid

    def session_count(self) -> int:
        return len(self._sessions)

    def close(self) -> None:
        """Close every session; a later request opens new ones, as requests' adapters do."""
        with self._lock:
            client, self._client = self._client, None
            sessions = list(self._sessions.values())
            self._sessions.clear()
            if client is not None:
                for sid in sessions:
                    client.close_session(sid)


def _system_ca_bundles() -> FrozenSet[str]:
    paths = {"/etc/ssl/certs/ca-certificates.crt", ssl.get_default_verify_paths().openssl_cafile}
    return frozenset(os.path.realpath(p) for p in paths if p)


_SYSTEM_CA_BUNDLES = _system_ca_bundles()


def is_system_ca_bundle(path: object) -> bool:
    """Whether `path` is the system's own CA bundle, the one the engine verifies against.

    Environments often name it explicitly (REQUESTS_CA_BUNDLE, SSL_CERT_FILE); that is
    not a custom CA, so it need not be refused.
    """
    return isinstance(path, (str, os.PathLike)) and os.path.realpath(path) in _SYSTEM_CA_BUNDLES


def timeout_ms(seconds: Optional[float]) -> int:
    """Milliseconds of a whole-call timeout in seconds; None gives tarnwick's default."""
    if seconds is None:
        seconds = DEFAULT_TIMEOUT_S
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        raise TypeError("a timeout must be a number of seconds, not %r" % (seconds,))
    if seconds < 0 or math.isnan(seconds):
        raise ValueError("a timeout must not be negative, got %r" % (seconds,))
    if math.isinf(seconds):
        return 2**64 - 1
    return math.ceil(seconds * 1000)


def whole_call_seconds(connect: Optional[float], read: Optional[float]) -> Optional[float]:
    """One whole-call limit from a connect and a read limit: the sum of those given.

    A part given as None adds nothing; with neither given, None (tarnwick's default).
    """
    if connect is None and read is None:
        return None
    return (connect or 0) + (read or 0)


_PROXY_SCHEMES = {"http": "http", "https": "https", "socks4": "socks4", "socks4a": "socks4",
                  "socks5": "socks5", "socks5h": "socks5"}


class ProxyUnsupported(ValueError):
    """A proxy setting the engine cannot follow."""


class ProxyMalformed(ProxyUnsupported):
    """A proxy URL without a host."""


def proxy_entry(proxy: str) -> str:
    """One proxy URL as the engine's `scheme://host:port`."""
    if "://" not in proxy and not proxy.lower().startswith(tuple(k + ":" for k in _PROXY_SCHEMES)):
        proxy = "http://" + proxy
    parts = urlsplit(proxy)
    if not parts.hostname:
        raise ProxyMalformed("proxy URL %r has no host" % proxy)
    scheme = _PROXY_SCHEMES.get(parts.scheme.lower())
    if scheme is None:
        raise ProxyUnsupported("proxy scheme %r is not supported by tarnwick" % parts.scheme)
    if parts.username is not None or parts.password is not None:
        raise ProxyUnsupported("tarnwick cannot send proxy credentials (proxy %s)"
                               % _without_userinfo(parts))
    if parts.path not in ("", "/") or parts.query or parts.fragment:
        raise ProxyUnsupported("a proxy URL cannot carry a path or query: %r" % proxy)
    try:
        port = parts.port
    except ValueError as e:
        raise ProxyUnsupported("proxy URL %r: %s" % (proxy, e)) from None
    host = parts.hostname
    if ":" in host:
        host = "[%s]" % host
    return "%s://%s%s" % (scheme, host, ":%d" % port if port else "")


def _without_userinfo(parts: SplitResult) -> str:
    netloc = parts.netloc.rpartition("@")[2]
    return "%s://%s" % (parts.scheme, netloc)


def proxy_rules(http_proxy: Optional[str], https_proxy: Optional[str]) -> str:
    """The engine's rules for a proxy per scheme (None: direct); "" when both go direct.

    Both schemes are set because the engine follows redirects itself and may change scheme.
    """
    if not http_proxy and not https_proxy:
        return ""
    rules = []
    for scheme, proxy in (("http", http_proxy), ("https", https_proxy)):
        rules.append("%s=%s" % (scheme, proxy_entry(proxy) if proxy else "direct://"))
    return ";".join(rules)


def with_scheme(url: str, scheme: str) -> str:
    """`url` as it would read with another scheme (for per-scheme proxy choice)."""
    return scheme + url[url.index(":"):]


def reason_phrase(status: int) -> str:
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return ""


def response_headers(headers: Sequence[Tuple[str, str]]) -> Headers:
    """The response headers a library may see: without those of the encoded body."""
    encoded = any(name.lower() == "content-encoding" for name, _ in headers)
    if not encoded:
        return list(headers)
    return [(n, v) for n, v in headers if n.lower() not in ENCODING_HEADERS]


def request_headers(items: Iterable[Tuple[object, object]],
                    drop: Iterable[Tuple[str, str]] = ()) -> Headers:
    """Header pairs as text for the engine, without framing headers and the pairs in `drop`."""
    dropped = {(n.lower(), v) for n, v in drop}
    out: Headers = []
    for name, value in items:
        name = name.decode("latin-1") if isinstance(name, bytes) else str(name)
        value = value.decode("latin-1") if isinstance(value, bytes) else str(value)
        lname = name.lower()
        if lname in FRAMING_HEADERS or (lname, value) in dropped:
            continue
        out.append((name, value))
    return out


# -- tarnwick's failures, sorted into what the libraries tell apart ---------------------

CONNECT = "connect"            # nothing reached the server: refused, name lookup, unreachable
CONNECT_TIMEOUT = "connect_timeout"
TIMEOUT = "timeout"            # the whole-call timeout
TLS = "tls"                    # certificate or handshake
PROXY = "proxy"
REDIRECTS = "redirects"        # more than 20 redirects
INVALID_URL = "invalid_url"
INVALID_METHOD = "invalid_method"
INVALID_HEADER = "invalid_header"
PROTOCOL = "protocol"          # the server's answer broke HTTP or was cut short
DECODING = "decoding"
READ = "read"                  # the connection broke after the request went out
OTHER = "other"

_NET_KINDS = {
    "ERR_CONNECTION_REFUSED": CONNECT,
    "ERR_NAME_NOT_RESOLVED": CONNECT,
    "ERR_ADDRESS_UNREACHABLE": CONNECT,
    "ERR_CONNECTION_FAILED": CONNECT,
    "ERR_CONNECTION_TIMED_OUT": CONNECT_TIMEOUT,
    "ERR_TIMED_OUT": CONNECT_TIMEOUT,
    "ERR_PROXY_CONNECTION_FAILED": PROXY,
    "ERR_TUNNEL_CONNECTION_FAILED": PROXY,
    "ERR_SOCKS_CONNECTION_FAILED": PROXY,
    "ERR_SOCKS_CONNECTION_HOST_UNREACHABLE": PROXY,
    "ERR_TOO_MANY_REDIRECTS": REDIRECTS,
    "ERR_INVALID_URL": INVALID_URL,
    "ERR_UNKNOWN_URL_SCHEME": INVALID_URL,
    "ERR_UNSAFE_REDIRECT": INVALID_URL,
    "ERR_INVALID_REDIRECT": INVALID_URL,
    "ERR_EMPTY_RESPONSE": PROTOCOL,
    "ERR_INVALID_HTTP_RESPONSE": PROTOCOL,
    "ERR_INVALID_RESPONSE": PROTOCOL,
    "ERR_CONTENT_LENGTH_MISMATCH": PROTOCOL,
    "ERR_INCOMPLETE_CHUNKED_ENCODING": PROTOCOL,
    "ERR_RESPONSE_HEADERS_TOO_BIG": PROTOCOL,
    "ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_LENGTH": PROTOCOL,
    "ERR_RESPONSE_HEADERS_MULTIPLE_LOCATION": PROTOCOL,
    "ERR_RESPONSE_HEADERS_MULTIPLE_CONTENT_DISPOSITION": PROTOCOL,
    "ERR_HTTP2_PROTOCOL_ERROR": PROTOCOL,
    "ERR_QUIC_PROTOCOL_ERROR": PROTOCOL,
    "ERR_CONTENT_DECODING_FAILED": DECODING,
    "ERR_CONNECTION_RESET": READ,
    "ERR_CONNECTION_CLOSED": READ,
    "ERR_CONNECTION_ABORTED": READ,
}

# Codes the engine gives when it refuses to start a request (Cronet result codes).
_REFUSAL_KINDS = {
    -104: INVALID_METHOD,
    -105: INVALID_HEADER,
    -305: INVALID_URL,
}

# Requests the binding refuses before the engine sees them.
_REFUSAL_TEXTS = (
    ("Request failed: invalid HTTP method", INVALID_METHOD),
    ("Request failed: empty URL", INVALID_URL),
    ("Request failed: empty HTTP header", INVALID_HEADER),
    ("Request failed: invalid HTTP header", INVALID_HEADER),
)

_NET_ERROR = re.compile(r"net::(ERR_[A-Z0-9_]+)")
_REFUSAL = re.compile(r"Cronet_UrlRequest_\w+ returned (-?\d+)")


def failure_kind(exc: BaseException) -> Optional[str]:
    """The kind of a tarnwick failure, or None when `exc` is not one of tarnwick's."""
    if isinstance(exc, TimeoutError):
        return TIMEOUT
    if isinstance(exc, EngineUnavailable):
        return PROXY
    if isinstance(exc, Refused):
        return exc.kind
    if not isinstance(exc, RuntimeError):
        return None
    text = str(exc)
    for prefix, kind in _REFUSAL_TEXTS:
        if text.startswith(prefix):
            return kind
    m = _NET_ERROR.search(text)
    if m:
        code = m.group(1)
        if code.startswith(("ERR_CERT_", "ERR_SSL_")) or code in (
                "ERR_HOSTNAME_MISMATCH", "ERR_IP_ADDRESS_MISMATCH", "ERR_BAD_SSL_CLIENT_AUTH_CERT"):
            return TLS
        return _NET_KINDS.get(code, OTHER)
    m = _REFUSAL.search(text)
    if m:
        return _REFUSAL_KINDS.get(int(m.group(1)), OTHER)
    if text.startswith("Failed to send request"):
        return CONNECT
    return OTHER


class Refused(Exception):
    """A request the engine must not see; `kind` says what was wrong with it."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


def check_nul(url: str, method: str, headers: Headers) -> None:
    """A NUL character ends a tarnwick call with an internal fault, so it never gets there."""
    if "\0" in url:
        raise Refused(INVALID_URL, "NUL character in the URL")
    if "\0" in method:
        raise Refused(INVALID_METHOD, "NUL character in the HTTP method")
    for name, value in headers:
        if "\0" in name or "\0" in value:
            raise Refused(INVALID_HEADER, "NUL character in the HTTP header %r" % name)


def caller_flag(names: Sequence[Tuple[str, str]], variable: str, default: bool) -> bool:
    """The value of `variable` in the nearest calling frame of one of `names`.

    Each name is a (module file fragment, function name) pair: the library function that
    decided about redirects before handing the request to the adapter. Adapters are not
    given the redirect flag, so it is read where the library keeps it.
    """
    frame: Optional[FrameType] = sys._getframe(1)
    depth = 0
    while frame is not None and depth < 12:
        code = frame.f_code
        for fragment, func in names:
            if code.co_name == func and fragment in code.co_filename.replace("\\", "/"):
                value = frame.f_locals.get(variable, default)
                return bool(value)
        frame = frame.f_back
        depth += 1
    return default
