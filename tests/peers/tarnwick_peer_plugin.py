"""pytest plugin: a peer library's own test suite with tarnwick underneath.

Loaded with `-p tarnwick_peer_plugin`. Every `requests.Session` gets one shared
`TarnwickAdapter` mounted for http:// and https:// (shared, because closing tarnwick
sessions pauses on purpose and the suite makes a session per call). Tests listed in
the file named by TARNWICK_EXPECTED_FAILURES are marked strict xfail with the reason
given there, so a listed test that starts passing shows up as well; node id prefixes in
the file named by TARNWICK_DESELECTED are not run. httpbin runs in a child process.
"""

import os
import subprocess
import sys
from urllib.parse import urljoin, urlsplit

import pytest
from tarnwick_adapters import TarnwickAdapter

_adapter = None


# Requests that went through tarnwick, and tests that made at least one.
COUNTS = {"requests": 0, "tests": 0}


class SharedAdapter(TarnwickAdapter):
    def send(self, request, **kwargs):
        COUNTS["requests"] += 1
        return super().send(request, **kwargs)

    def close(self):  # closed once, when the run ends
        pass

    def __reduce__(self):  # a pickled session gets the shared adapter back
        return (_shared, ())


def _shared():
    return _adapter


class _ChildServer:
    """httpbin in a child process, with the attributes of pytest-httpbin's servers."""

    def __init__(self, scheme):
        script = os.path.join(os.path.dirname(__file__), "httpbin_server.py")
        self._proc = subprocess.Popen([sys.executable, script, scheme], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True)
        self.url = self._proc.stdout.readline().strip()
        if not self.url:
            raise RuntimeError("httpbin child process did not start")
        parts = urlsplit(self.url)
        self.host, self.port = parts.hostname, parts.port
        self.protocol = parts.scheme

    def join(self, url, allow_fragments=True):
        return urljoin(self.url, url, allow_fragments=allow_fragments)

    def __add__(self, other):
        return self.url + other

    def stop(self):
        self._proc.stdin.close()
        self._proc.wait(timeout=10)


# The same fixtures as pytest-httpbin (disabled with -p no:httpbin), served out of process.
@pytest.fixture(scope="session")
def httpbin():
    server = _ChildServer("http")
    yield server
    server.stop()


@pytest.fixture(scope="session")
def httpbin_secure():
    server = _ChildServer("https")
    yield server
    server.stop()


@pytest.fixture(scope="session", params=["http", "https"])
def httpbin_both(request, httpbin, httpbin_secure):
    return httpbin if request.param == "http" else httpbin_secure


@pytest.fixture(scope="function")
def httpbin_ca_bundle(monkeypatch):
    from pytest_httpbin import certs

    monkeypatch.setenv("REQUESTS_CA_BUNDLE", certs.where())


def _load_expected(path):
    expected = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            nodeid, sep, reason = line.partition(" # ")
            if not sep or not reason.strip():
                raise pytest.UsageError("expected failure without a reason: %r" % line)
            expected[nodeid.strip()] = reason.strip()
    return expected


def pytest_configure(config):
    global _adapter
    import requests

    _adapter = SharedAdapter()
    original_init = requests.Session.__init__

    def init(self, *args, **kwargs):
        original_init(self, *args, **kwargs)
        self.mount("https://", _adapter)
        self.mount("http://", _adapter)

    requests.Session.__init__ = init
    path = os.environ.get("TARNWICK_EXPECTED_FAILURES")
    config._tarnwick_expected = _load_expected(path) if path else {}
    path = os.environ.get("TARNWICK_DESELECTED")
    config._tarnwick_deselected = _load_expected(path) if path else {}


def pytest_collection_modifyitems(config, items):
    prefixes = tuple(config._tarnwick_deselected)
    if prefixes:
        dropped = [item for item in items if item.nodeid.startswith(prefixes)]
        items[:] = [item for item in items if not item.nodeid.startswith(prefixes)]
        config.hook.pytest_deselected(items=dropped)
    expected = config._tarnwick_expected
    seen = set()
    for item in items:
        reason = expected.get(item.nodeid)
        if reason is not None:
            seen.add(item.nodeid)
            item.add_marker(pytest.mark.xfail(reason=reason, strict=True))
    stale = sorted(set(expected) - seen)
    if stale:
        config._tarnwick_stale = stale


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_call(item):
    before = COUNTS["requests"]
    yield
    if COUNTS["requests"] > before:
        COUNTS["tests"] += 1


def pytest_terminal_summary(terminalreporter, config):
    terminalreporter.write_line("through tarnwick: %(requests)d requests in %(tests)d tests"
                                % COUNTS)
    stale = getattr(config, "_tarnwick_stale", None)
    if stale:
        terminalreporter.write_line("expected failures naming no collected test:")
        for nodeid in stale:
            terminalreporter.write_line("  " + nodeid)


def pytest_unconfigure(config):
    if _adapter is not None:
        TarnwickAdapter.close(_adapter)
