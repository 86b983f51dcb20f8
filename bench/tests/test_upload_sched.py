import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import upload_sched  # noqa: E402


def row(ms, server_ms, client_wait=0.0):
    return {"ms": ms, "server_ms": server_ms, "server_wait_ms": 0.5, "server_invol": 2,
            "client_wait_ms": client_wait}


@pytest.mark.parametrize("rows, rest, slow", [
    # The rest is taken per run: the medians of time and CPU (50, 40) would say 10.
    ([row(40, 39), row(50, 45), row(60, 40)], 5.0, 1),
    ([row(40, 39), row(60, 59), row(70, 69), row(80, 60)], 1.0, 1),
    ([row(47, 40)], 7.0, 1),
])
def test_rest_is_the_median_of_each_runs_rest(rows, rest, slow):
    s = upload_sched.summarize(rows)
    assert s["rest_ms"] == pytest.approx(rest)
    assert (s["slow"], s["n"]) == (slow, len(rows))
    assert s["rest_q1"] <= s["rest_ms"] <= s["rest_q3"]
