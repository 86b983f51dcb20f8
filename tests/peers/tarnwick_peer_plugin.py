"""pytest plugin: a peer library's own test suite with tarnwick underneath.

Loaded with `-p tarnwick_peer_plugin`. Every `requests.Session` gets one shared
`TarnwickAdapter` mounted for http:// and https:// (shared, because closing tarnwick
sessions pauses on purpose and the suite makes a session per call). Tests listed in
the file named by TARNWICK_EXPECTED_FAILURES are marked strict xfail with the reason
given there, so a listed test that starts passing shows up as well.
"""

import os

import pytest

_adapter = None


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
    from tarnwick_adapters import TarnwickAdapter

    class SharedAdapter(TarnwickAdapter):
        def close(self):  # closed once, when the run ends
            pass

    _adapter = SharedAdapter()
    original_init = requests.Session.__init__

    def init(self, *args, **kwargs):
        original_init(self, *args, **kwargs)
        self.mount("https://", _adapter)
        self.mount("http://", _adapter)

    requests.Session.__init__ = init
    path = os.environ.get("TARNWICK_EXPECTED_FAILURES")
    config._tarnwick_expected = _load_expected(path) if path else {}


def pytest_collection_modifyitems(config, items):
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


def pytest_terminal_summary(terminalreporter, config):
    stale = getattr(config, "_tarnwick_stale", None)
    if stale:
        terminalreporter.write_line("expected failures naming no collected test:")
        for nodeid in stale:
            terminalreporter.write_line("  " + nodeid)


def pytest_unconfigure(config):
    if _adapter is not None:
        TarnwickAdapter = type(_adapter).__mro__[1]
        TarnwickAdapter.close(_adapter)
