import os
import socket
import sys
import threading
import time

import pytest

from tarnwick import ZoDeruziDuzera

sys.path.insert(0, os.path.dirname(__file__))

import cronet_testctl  # noqa: E402  (beside this file)

pytest_plugins = ["servers.pytest_plugin"]


@pytest.fixture
def client():
    c = ZoDeruziDuzera()
    yield c
    for sid in c.list_sessions():
        c.close_session(sid)


@pytest.fixture
def sid(client):
    return client.create_session(timeout_ms=10000)


_reserved_ports = []


def closed_port():
    """A port where connections are refused for as long as this process lives.

    The socket stays bound without listening, so no server of another test
    worker can take the port later and answer in its place.
    """
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    _reserved_ports.append(s)
    return s.getsockname()[1]


def _live_objects():
    if not cronet_testctl.available():
        return None
    return cronet_testctl.live_objects()


@pytest.fixture(autouse=True)
def no_leaks(request):
    """After every test: no Cronet object and no thread more than before it.

    A test that keeps objects alive on purpose says so with
    @pytest.mark.keeps_cronet_objects(reason).
    """
    tasks_before = _os_thread_count()
    live_before = _live_objects() or {}
    yield
    if request.node.get_closest_marker("keeps_cronet_objects"):
        return
    deadline = time.monotonic() + 2.0
    while True:
        live = _live_objects()
        leaked = {k: v - live_before.get(k, 0) for k, v in (live or {}).items()
                  if v > live_before.get(k, 0)}
        tasks = _os_thread_count()
        if not leaked and tasks <= tasks_before:
            break
        if time.monotonic() > deadline:
            break
        time.sleep(0.02)
    assert not leaked, f"live Cronet objects after the test: {leaked}"
    assert tasks <= tasks_before, f"threads before {tasks_before}, after {tasks}"


def _os_thread_count():
    """Native threads the interpreter does not know about (ours and the library's)."""
    python_threads = {t.native_id for t in threading.enumerate()}
    return sum(1 for tid in os.listdir("/proc/self/task") if int(tid) not in python_threads)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "keeps_cronet_objects(reason): the test leaves Cronet objects alive on purpose")
    # Under CI a sanitized run without the leak sanitizer loaded would check nothing.
    if os.environ.get("TARNWICK_SANITIZED") and cronet_testctl.required():
        import ctypes
        if not hasattr(ctypes.CDLL(None), "__lsan_do_leak_check"):
            raise pytest.UsageError("TARNWICK_SANITIZED is set but LeakSanitizer is not loaded; "
                                    "CI=true requires the leak check")


def pytest_report_header(config):
    if not cronet_testctl.available():
        return "cronet_curl test controls: not found; leak checks of live Cronet objects are off"
    return None


def _settle_native_threads(timeout_s=15.0):
    """Wait until no native thread of ours is starting or ending."""
    deadline = time.monotonic() + timeout_s
    last, stable_since = _os_thread_count(), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = _os_thread_count()
        if now != last:
            last, stable_since = now, time.monotonic()
        elif time.monotonic() - stable_since >= 0.5:
            break
    return last


@pytest.hookimpl(trylast=True)
def pytest_unconfigure(config):
    # Under the address sanitizer the leak check runs here rather than at exit:
    # at a settled point, with no thread of ours starting or ending and the
    # interpreter not yet tearing down, so every run checks the same state.
    if not os.environ.get("TARNWICK_SANITIZED"):
        return
    import ctypes
    try:
        check = ctypes.CDLL(None).__lsan_do_leak_check
    except AttributeError:
        return
    left = _settle_native_threads()
    names = sorted(_thread_name(t) for t in os.listdir("/proc/self/task"))
    print(f"\nleak check: {left} native threads of ours; all threads: {names}",
          file=sys.stderr)
    check()


def _thread_name(tid):
    try:
        with open(f"/proc/self/task/{tid}/comm") as f:
            return f.read().strip()
    except OSError:
        return "?"
