import json
import os
import subprocess
import sys

import pytest

DRIVER = os.path.join(os.path.dirname(__file__), "fork_driver.py")

# What the child reports for each thing it does with what it inherited.
EXPECTED_CHILD = {
    "own_client": lambda r: r == {"who": "child", "body": "hello\n", "closed": True},
    "own_client_then_close_inherited": lambda r: r == {
        "who": "child", "body": "hello\n", "closed_inherited": True, "closed": True},
    "new_session_on_inherited_client": lambda r: r == {
        "who": "child", "body": "hello\n", "closed": True},
    "close_inherited": lambda r: r == {"who": "child", "closed": True, "sessions": []},
    "drop_inherited": lambda r: r == {"who": "child"},
    # Refused at once with a reason, not after the session's timeout.
    "request_inherited": lambda r: r["body"].startswith("RuntimeError: Request failed: Session ")
    and "a forked process must create its own client and sessions" in r["body"],
}


@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
@pytest.mark.parametrize("action", sorted(EXPECTED_CHILD))
def test_forked_child(http_server, https_server, action, how):
    env = dict(os.environ)
    # The child leaves the parent's engine alone on purpose; under the address
    # sanitizer that would read as a leak at its exit.
    if "TARNWICK_CHILD_ASAN_OPTIONS" in env:
        env["TARNWICK_WORKER_ASAN_OPTIONS"] = env["TARNWICK_CHILD_ASAN_OPTIONS"]
    proc = subprocess.run(
        [sys.executable, DRIVER, http_server.url("/"), https_server.url("/conn-id"), action, how],
        capture_output=True, text=True, timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr
    for bad in ("terminate called", "[WARN]", "[ERROR]", "panic"):
        assert bad not in proc.stderr
    reports = {r["who"]: r for r in map(json.loads, proc.stdout.splitlines())}
    assert EXPECTED_CHILD[action](reports["child"]), reports["child"]
    assert reports["parent"] == {"who": "parent", "child_exit": 0, "body": "hello\n",
                                 "same_connection": True, "sessions": True}
