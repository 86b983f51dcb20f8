"""The module object, the client class and the internal-fault exception."""

import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

import tarnwick
from tarnwick import ZoDeruziDuzera

IMPORT_MACHINERY = {"__name__", "__loader__", "__spec__", "__package__", "__file__"}


def test_module_namespace_holds_only_the_class():
    assert set(vars(tarnwick)) - IMPORT_MACHINERY == {"__doc__", "__all__", "ZoDeruziDuzera"}
    assert tarnwick.__doc__ == "Python module"
    assert type(tarnwick.__all__) is list
    assert tarnwick.__all__ == ["ZoDeruziDuzera"]
    assert tarnwick.ZoDeruziDuzera is ZoDeruziDuzera


def test_reimport_after_removal_gives_the_same_module():
    first = sys.modules.pop("tarnwick")
    try:
        import tarnwick as again

        assert again is first
        assert again.ZoDeruziDuzera is ZoDeruziDuzera
        # The module body does not run twice: __all__ is not appended again.
        assert again.__all__ == ["ZoDeruziDuzera"]
    finally:
        sys.modules["tarnwick"] = first


def test_sub_interpreter_import_is_refused():
    # A legacy (shared-GIL) sub-interpreter, so the module's own refusal is what
    # answers; 3.12+ isolated ones are refused by the interpreter before it.
    # 3.13 renamed the module and reports a failure as a returned value.
    script = textwrap.dedent(
        """
        import sys
        try:
            import _interpreters as interpreters
            sid = interpreters.create("legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            sid = (interpreters.create(isolated=False) if sys.version_info >= (3, 12)
                   else interpreters.create())
        import tarnwick
        try:
            failed = interpreters.run_string(sid, "import tarnwick")
        except Exception as exc:
            print("refused:", exc)
        else:
            print("refused: " + failed.formatted if failed else "imported")
        finally:
            interpreters.destroy(sid)
        # The main interpreter keeps its module.
        print("main ok:", tarnwick.ZoDeruziDuzera().list_sessions() == [])
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0].startswith("refused:") and "ImportError" in lines[0], lines
    assert "tarnwick does not support sub-interpreters" in lines[0], lines
    assert lines[1] == "main ok: True"


def test_class_identity_and_docs():
    assert ZoDeruziDuzera.__name__ == "ZoDeruziDuzera"
    assert ZoDeruziDuzera.__qualname__ == "ZoDeruziDuzera"
    assert ZoDeruziDuzera.__module__ == "builtins"
    assert ZoDeruziDuzera.__doc__ == "Python wrapper for SessionManager"
    assert ZoDeruziDuzera.__text_signature__ == "()"
    assert ZoDeruziDuzera.__bases__ == (object,)


def test_class_is_closed():
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (ZoDeruziDuzera,), {})
    client = ZoDeruziDuzera()
    with pytest.raises(AttributeError):
        client.anything = 1
    with pytest.raises(AttributeError):
        client.list_sessions = None
    with pytest.raises(TypeError):
        weakref.ref(client)
    assert not gc.is_tracked(client)
    assert not hasattr(client, "__dict__")


def test_methods_in_order():
    names = [k for k, v in vars(ZoDeruziDuzera).items() if callable(v) and not k.startswith("__")]
    assert names == ["create_session", "request", "close_session", "list_sessions"]


@pytest.mark.parametrize("name, signature, doc", [
    ("request", "($self, session_id, url, method, headers=None, body=None)",
     "Execute request using a session\n\nArgs:\n    session_id: Session ID\n"
     "    url: Target URL\n    method: HTTP method (GET, POST, etc.)\n"
     "    headers: List of tuples [(\"name\", \"value\"), ...]\n"
     "    body: Request body as bytes\n\nReturns:\n"
     "    Dict with keys: status_code, headers, body"),
    ("close_session", "($self, session_id)", "Close a session"),
    ("list_sessions", "($self)", "List all active sessions"),
])
def test_method_docs(name, signature, doc):
    method = getattr(ZoDeruziDuzera, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_create_session_doc():
    method = ZoDeruziDuzera.create_session
    assert method.__text_signature__ == (
        "($self, proxy_rules=None, skip_cert_verify=None, timeout_ms=None)")
    lines = method.__doc__.split("\n")
    assert len(lines) == 9
    assert lines[:3] == ["Create a new session", "", "Args:"]
    assert lines[4:] == [
        "    skip_cert_verify: Skip certificate verification",
        "    timeout_ms: Default timeout for requests",
        "",
        "Returns:",
        "    Session ID string",
    ]
    prefix = '    proxy_rules: Optional proxy rules string (e.g., "'
    assert lines[3].startswith(prefix) and lines[3].endswith('")')
    rule = lines[3][len(prefix):-2]
    scheme, _, rest = rule.partition("://")
    host, _, port = rest.rpartition(":")
    assert scheme and host and port.isdigit()


def test_new_client_has_no_sessions():
    client = ZoDeruziDuzera()
    assert type(client) is ZoDeruziDuzera
    assert client.list_sessions() == []
    assert type(client.list_sessions()) is list
    # Each call gives a fresh list.
    assert client.list_sessions() is not client.list_sessions()


def provoke_panic(client):
    try:
        client.create_session(proxy_rules="http://a\0b:1")
    except BaseException as exc:  # noqa: B902 - the point is what it derives from
        return exc
    pytest.fail("a NUL in the proxy rules did not fault")


def test_panic_exception_is_a_direct_base_exception():
    client = ZoDeruziDuzera()
    exc = provoke_panic(client)
    panic = type(exc)
    assert panic.__name__ == "PanicException"
    assert panic.__mro__ == (panic, BaseException, object)
    assert str(exc).startswith("Invalid proxy string")
    assert exc.args == (str(exc),)
    # Made once per process, and never put on the module.
    assert type(provoke_panic(client)) is panic
    assert panic not in vars(tarnwick).values()
    # The registry stays usable and nothing was registered.
    assert client.list_sessions() == []


def test_panic_exception_escapes_except_exception():
    client = ZoDeruziDuzera()
    caught_by = None
    try:
        try:
            client.create_session("\0")
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_no_system_libcurl_at_run_time():
    # The engine carries its own libcurl: neither the module nor the library
    # it loads may need a libcurl shared object, directly or through another.
    import os
    mod = tarnwick.__file__
    libs = [mod, os.path.join(os.path.dirname(mod), "tarnwick.cronet", "libcronet_curl.so")]
    for lib in libs:
        needed = subprocess.run(["readelf", "-d", lib], capture_output=True, text=True, check=True).stdout
        assert "(NEEDED)" in needed, lib
        assert "libcurl" not in needed, needed
        closure = subprocess.run(["ldd", lib], capture_output=True, text=True, check=True).stdout
        assert "libcronet_curl.so" in closure or lib.endswith("libcronet_curl.so")
        assert "libcurl" not in closure, closure
