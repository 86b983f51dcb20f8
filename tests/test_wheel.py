"""Wheels installed into a fresh virtual environment outside the source tree:
the repaired wheel (`make test-wheel` builds it and names it in TARNWICK_WHEEL)
makes requests over HTTP and HTTPS with the libraries it carries; a wheel built
against another Cronet library (`make test-cronet-library`, TARNWICK_ALT_CRONET_WHEEL)
imports and loads that library."""
import json
import os
import subprocess
import sys
import textwrap
import zipfile

import pytest

WHEEL = os.environ.get("TARNWICK_WHEEL")
ALT_WHEEL = os.environ.get("TARNWICK_ALT_CRONET_WHEEL")
needs_wheel = pytest.mark.skipif(not WHEEL, reason="make test-wheel builds the wheel for this")

HERE = os.path.dirname(os.path.abspath(__file__))

SCRIPT = textwrap.dedent("""
    import importlib.metadata, json, os, sys
    import tarnwick
    site = os.path.dirname(tarnwick.__file__)
    sys.path.append(sys.argv[1])           # the tests' ctypes test controls only
    import cronet_testctl as ctl
    http_url, https_url, ca = sys.argv[2:5]
    out = {"module": tarnwick.__file__, "version": importlib.metadata.version("tarnwick"),
           "names": sorted(n for n in dir(tarnwick) if not n.startswith("__"))}
    c = tarnwick.ZoDeruziDuzera()

    def get(url, **kw):
        sid = c.create_session(timeout_ms=10000, **kw)
        try:
            r = c.request(sid, url, "GET")
            return [r["status_code"], r["body"].decode()]
        except Exception as e:
            return "%s: %s" % (type(e).__name__, e)
        finally:
            c.close_session(sid)

    out["http"] = get(http_url)
    out["https_untrusted"] = get(https_url)
    out["https_skip_verify"] = get(https_url, skip_cert_verify=True)
    ctl.ca_bundle(ca)
    out["https_test_ca"] = get(https_url)
    ctl.ca_bundle(None)
    with open("/proc/self/maps") as f:
        out["libs"] = sorted({line.split()[-1] for line in f if ".so" in line})
    out["site"] = site
    print(json.dumps(out))
""")


def install(tmp_path_factory, wheel):
    d = tmp_path_factory.mktemp("wheel-venv")
    base = getattr(sys, "_base_executable", sys.executable)
    subprocess.run([base, "-m", "venv", str(d / "venv")], check=True)
    py = str(d / "venv" / "bin" / "python")
    subprocess.run([py, "-m", "pip", "install", "-q", "--no-index", "--no-deps", wheel],
                   check=True, cwd=d)
    return d, py


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    return install(tmp_path_factory, WHEEL)


@needs_wheel
def test_wheel_layout():
    name = os.path.basename(WHEEL)
    assert "-manylinux_" in name and "linux_x86_64" not in name.replace("manylinux_", "")
    files = zipfile.ZipFile(WHEEL).namelist()
    assert "tarnwick-stubs/__init__.pyi" in files
    assert "tarnwick.cronet/libcronet_curl.so" in files
    # Nothing loose at the top but the module itself.
    top = {f for f in files if "/" not in f}
    assert len(top) == 1 and top.pop().startswith("tarnwick.cpython-"), files


@needs_wheel
def test_installed_wheel_makes_requests(venv, http_server, https_server, server_ca):
    d, py = venv
    r = subprocess.run([py, "-c", SCRIPT, HERE, http_server.url("/"), https_server.url("/"),
                        server_ca], capture_output=True, text=True, timeout=120, cwd=d)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout.strip().splitlines()[-1])
    assert out["module"].startswith(str(d)), out["module"]
    assert out["version"] == "0.1.0"
    assert out["names"] == ["ZoDeruziDuzera"]
    assert out["http"] == [200, "hello\n"]
    assert out["https_untrusted"] == "RuntimeError: Request failed: net::ERR_CERT_AUTHORITY_INVALID"
    assert out["https_skip_verify"] == [200, "hello\n"]
    assert out["https_test_ca"] == [200, "hello\n"]
    # The libraries the wheel carries are the ones loaded, never the build machine's libcurl.
    ours = [p for p in out["libs"] if p.startswith(out["site"] + os.sep)]
    assert any("/tarnwick.cronet/libcronet_curl.so" in p for p in ours), out["libs"]
    assert not [p for p in out["libs"] if "libcurl" in p and p not in ours], out["libs"]


@pytest.mark.skipif(not ALT_WHEEL, reason="make test-cronet-library builds the wheel for this")
def test_module_built_against_other_cronet_library(tmp_path_factory, http_server):
    files = zipfile.ZipFile(ALT_WHEEL).namelist()
    assert "tarnwick.cronet/libcronet_alt.so" in files
    assert "tarnwick.cronet/libcronet_curl.so" not in files
    d, py = install(tmp_path_factory, ALT_WHEEL)
    script = textwrap.dedent("""
        import sys, tarnwick
        c = tarnwick.ZoDeruziDuzera()
        sid = c.create_session(timeout_ms=10000)
        print(c.request(sid, sys.argv[1], "GET")["body"].decode(), end="")
        c.close_session(sid)
        with open("/proc/self/maps") as f:
            print("\\n".join(sorted({l.split()[-1] for l in f if "cronet" in l})))
    """)
    # No LD_LIBRARY_PATH: the module's run path must find the library.
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    r = subprocess.run([py, "-c", script, http_server.url("/")], capture_output=True,
                       text=True, timeout=60, cwd=d, env=env)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == "hello"
    assert len(lines) == 2 and lines[1].startswith(str(d)), lines
    assert lines[1].endswith("/tarnwick.cronet/libcronet_alt.so"), lines
