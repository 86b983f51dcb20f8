"""pytest plugin: httpx's own test suite with tarnwick underneath.

Loaded with `-p tarnwick_httpx_plugin`. Every `httpx.Client` made without a transport of
its own gets a `TarnwickTransport` (with the client's verify, cert, proxy and trust_env)
and follows redirects, as the transport's documentation asks; clients given a transport
(httpx's mock transports) keep it. The suite's uvicorn server runs in a child process.
Expected failures and deselections come from the files tarnwick_peer_plugin reads.
"""

import os
import subprocess
import sys

import httpx
from tarnwick_adapters import TarnwickTransport

from tarnwick_peer_plugin import (COUNTS, _load_expected,  # noqa: F401
                                  pytest_collection_modifyitems, pytest_runtest_call,
                                  pytest_terminal_summary)


class _ChildServer:
    def __init__(self, url, proc):
        self.url = httpx.URL(url)
        self._proc = proc


def _serve_in_child(server):
    script = os.path.join(os.path.dirname(__file__), "httpx_server.py")
    proc = subprocess.Popen([sys.executable, script, os.getcwd()], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)
    url = proc.stdout.readline().strip()
    if not url:
        raise RuntimeError("httpx test server did not start")
    try:
        yield _ChildServer(url, proc)
    finally:
        proc.stdin.close()
        proc.wait(timeout=10)


def pytest_plugin_registered(plugin, manager):
    if getattr(plugin, "__name__", "") == "tests.conftest":
        plugin.serve_in_thread = _serve_in_child


def pytest_configure(config):
    original_init = httpx.Client.__init__
    original_handle = TarnwickTransport.handle_request

    def handle_request(self, request):
        COUNTS["requests"] += 1
        return original_handle(self, request)

    TarnwickTransport.handle_request = handle_request

    def init(self, *args, **kwargs):
        if kwargs.get("transport") is None and not kwargs.get("mounts"):
            try:
                kwargs["transport"] = TarnwickTransport(
                    verify=kwargs.get("verify", True), cert=kwargs.get("cert"),
                    proxy=kwargs.pop("proxy", None), trust_env=kwargs.get("trust_env", True))
            finally:
                kwargs.setdefault("follow_redirects", True)
        original_init(self, *args, **kwargs)

    httpx.Client.__init__ = init
    path = os.environ.get("TARNWICK_EXPECTED_FAILURES")
    config._tarnwick_expected = _load_expected(path) if path else {}
    path = os.environ.get("TARNWICK_DESELECTED")
    config._tarnwick_deselected = _load_expected(path) if path else {}
