"""ctypes wrapper of the test controls of cronet_curl, the libcurl implementation
of the Cronet C API (src/cronet_curl/include/cronet_curl_testctl.h).

It opens the library instance the `tarnwick` module uses: the module installs
libcronet_curl.so in tarnwick.cronet/ beside itself, and ctypes.CDLL of that
path returns the already-loaded instance. When the module was built against a real Cronet
library there is no such file (or it has no CronetTest_ functions) and
available() is False (under CI, where CI=true, it raises); every other function
then raises RuntimeError.

    import cronet_testctl as tc
    if tc.available():
        with tc.journal() as j:
            ...                      # calls into the module
        assert 'Cronet_UrlRequest_Cancel()' in j.lines
        tc.withhold_terminal(True)   # ... tc.reset() undoes every injection
"""

import contextlib
import ctypes
import os

KIND_NAMES = (
    "Engine", "EngineParams", "Executor", "Runnable", "UrlRequest", "UrlRequestParams",
    "UrlRequestCallback", "HttpHeader", "Buffer", "UploadDataProvider", "UrlResponseInfo",
    "Error", "UploadDataSink",
)

_lib = None  # None: not looked up yet; False: not available


def library_path():
    """Where the module's libcronet_curl.so is (whether or not it exists)."""
    override = os.environ.get("TARNWICK_CRONET_TESTCTL_LIBRARY")
    if override:
        return override
    import tarnwick
    return os.path.join(os.path.dirname(os.path.abspath(tarnwick.__file__)), "tarnwick.cronet",
                        "libcronet_curl.so")


def _load():
    global _lib
    if _lib is not None:
        return _lib or None
    try:
        lib = ctypes.CDLL(library_path())
        lib.CronetTest_LiveObjects  # raises AttributeError on a real Cronet
    except (OSError, AttributeError, ImportError):
        _lib = False
        return None
    sig = {
        "CronetTest_LiveObjects": (ctypes.c_int64, [ctypes.c_int]),
        "CronetTest_ObjectKindName": (ctypes.c_char_p, [ctypes.c_int]),
        "CronetTest_JournalEnable": (None, [ctypes.c_bool]),
        "CronetTest_JournalClear": (None, []),
        "CronetTest_JournalRead": (ctypes.c_size_t, [ctypes.c_char_p, ctypes.c_size_t]),
        "CronetTest_FailNextEngineStarts": (None, [ctypes.c_int, ctypes.c_int32]),
        "CronetTest_SetUnconfirmedCancels": (None, [ctypes.c_bool]),
        "CronetTest_SetWithholdTerminal": (None, [ctypes.c_bool]),
        "CronetTest_SetCallbackDelayMs": (None, [ctypes.c_uint32]),
        "CronetTest_SetPostFromManyThreads": (None, [ctypes.c_bool]),
        "CronetTest_Reset": (None, []),
        "CronetTest_BufferedBodyBytes": (ctypes.c_int64, []),
        "CronetTest_BufferedBodyBytesHighWater": (ctypes.c_int64, []),
        "CronetTest_ResetBufferedHighWater": (None, []),
        "CronetTest_SetCaBundle": (None, [ctypes.c_char_p]),
        "CronetTest_SetQuicConnectTimeoutMs": (None, [ctypes.c_uint32]),
    }
    for name, (res, args) in sig.items():
        fn = getattr(lib, name)
        fn.restype = res
        fn.argtypes = args
    _lib = lib
    return lib


def _need():
    lib = _load()
    if lib is None:
        raise RuntimeError("cronet_curl test controls not available (real Cronet library?)")
    return lib


def required():
    """True under CI (CI=true, as .ci/run sets it): there the controls must be found."""
    return os.environ.get("CI", "").lower() in ("true", "1")


def available():
    """True when the module runs on cronet_curl and its test controls can be used.

    False when they are missing, so tests that need them skip and the leak check
    of conftest.py is off; under CI that raises instead, failing the run.
    """
    if _load() is not None:
        return True
    if required():
        raise RuntimeError("cronet_curl test controls not found at %s; CI=true requires them"
                           % library_path())
    return False


def live_objects():
    """{kind name: live count} for every Cronet object kind, e.g. {"UrlRequest": 0, ...}."""
    lib = _need()
    return {KIND_NAMES[k]: int(lib.CronetTest_LiveObjects(k)) for k in range(len(KIND_NAMES))}


def journal_text():
    lib = _need()
    need = lib.CronetTest_JournalRead(None, 0)
    buf = ctypes.create_string_buffer(need + 1)
    lib.CronetTest_JournalRead(buf, need + 1)
    return buf.raw[:need].decode("utf-8", "replace")


def journal_lines():
    """The journal as a list of lines, e.g. ['Cronet_Engine_Create()', ...]."""
    text = journal_text()
    return text.split("\n") if text else []


def clear_journal():
    _need().CronetTest_JournalClear()


def enable_journal(on=True):
    _need().CronetTest_JournalEnable(bool(on))


class _Journal:
    def __init__(self):
        self.lines = []

    def current(self):
        return journal_lines()


@contextlib.contextmanager
def journal():
    """Clears and enables the journal for the block; afterwards .lines holds what
    was recorded (inside the block, .current() reads it so far)."""
    lib = _need()
    lib.CronetTest_JournalClear()
    lib.CronetTest_JournalEnable(True)
    j = _Journal()
    try:
        yield j
    finally:
        lib.CronetTest_JournalEnable(False)
        j.lines = journal_lines()


def fail_next_engine_starts(n, code):
    """The next n Cronet_Engine_StartWithParams calls return `code`."""
    _need().CronetTest_FailNextEngineStarts(int(n), int(code))


def unconfirmed_cancels(on=True):
    """Cancel does nothing observable while on (no OnCanceled)."""
    _need().CronetTest_SetUnconfirmedCancels(bool(on))


def withhold_terminal(on=True):
    """Requests started while on never get a terminal callback."""
    _need().CronetTest_SetWithholdTerminal(bool(on))


def callback_delay_ms(ms):
    """Each callback is handed to the executor about ms milliseconds late (0: off)."""
    _need().CronetTest_SetCallbackDelayMs(int(ms))


def post_from_many_threads(on=True):
    """Callbacks are posted from several library threads at once while on."""
    _need().CronetTest_SetPostFromManyThreads(bool(on))


def ca_bundle(path):
    """Engines started afterwards trust the CA certificates in this PEM file instead
    of the system store (None: the system store again)."""
    _need().CronetTest_SetCaBundle(None if path is None else os.fsencode(path))


def quic_connect_timeout_ms(ms):
    """QUIC connection attempts may take this long before TCP is used (0: the default)."""
    _need().CronetTest_SetQuicConnectTimeoutMs(int(ms))


def buffered_body_bytes():
    """Response body bytes held by the library right now (all requests)."""
    return int(_need().CronetTest_BufferedBodyBytes())


def buffered_body_bytes_high_water():
    return int(_need().CronetTest_BufferedBodyBytesHighWater())


def reset():
    """Every injection off, journal off and cleared, CA bundle back to the system's."""
    _need().CronetTest_Reset()
