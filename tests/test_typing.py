"""The installed stubs as a type checker sees them: a typed client passes
`mypy --strict`, one with known mistakes fails on exactly those lines, and
stubtest finds the stubs and the built module in agreement."""
import os
import re
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def run_mypy(tmp_path, *args):
    # Run outside the source tree so only the installed distribution is seen.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)


def expected_errors(path):
    found = set()
    with open(path) as f:
        for number, line in enumerate(f, 1):
            m = re.search(r"# E: ([\w-]+)", line)
            if m:
                found.add((number, m.group(1)))
    return found


@pytest.mark.parametrize("script", ["client_ok.py", "client_bad.py"])
def test_mypy_strict_on_client(tmp_path, script):
    shutil.copy(os.path.join(HERE, "typing", script), tmp_path)
    r = run_mypy(tmp_path, "mypy", "--strict", "--no-incremental", "--show-error-codes",
                 "--cache-dir", os.devnull, script)
    out = r.stdout + r.stderr
    assert "Cannot find implementation or library stub" not in out, out
    got = {(int(m.group(1)), m.group(2))
           for m in re.finditer(rf"^{re.escape(script)}:(\d+): error: .*\[([\w-]+)\]$", out, re.M)}
    want = expected_errors(tmp_path / script)
    assert got == want, out
    assert r.returncode == (1 if want else 0), out


def test_stubtest_agrees_with_module(tmp_path):
    r = run_mypy(tmp_path, "mypy.stubtest", "--mypy-config-file", os.devnull, "tarnwick")
    assert r.returncode == 0, r.stdout + r.stderr
