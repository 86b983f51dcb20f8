import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import upload_phases  # noqa: E402


def ev(t, dur, call, ret, args=""):
    return (t, dur, call, args, ret)


# Three uploads: the wake-up pipe's single bytes and the answer's recvfrom
# must be told apart from the connection's sends; a window without a body
# send gives None; a head sent with the body's start has no gap before it.
EVENTS = [
    ev(0.0, 0.0, "getppid", 0), ev(0.1, 0.01, "sendto", 1), ev(0.3, 0.02, "sendto", 150),
    ev(0.5, 0.1, "sendto", 65536), ev(0.7, 0.1, "recvfrom", 110), ev(2.0, 0.2, "sendto", 524288),
    ev(2.3, 0.0, "recvfrom", 1), ev(2.6, 0.0, "recvfrom", 110), ev(3.0, 0.0, "getppid", 0),
    ev(4.0, 0.0, "getppid", 0), ev(4.2, 0.02, "sendto", 150), ev(5.0, 0.0, "getppid", 0),
    ev(6.0, 0.0, "getppid", 0), ev(6.1, 0.3, "sendto", 65700), ev(6.5, 0.5, "sendto", 65536),
    ev(7.5, 0.0, "recvfrom", 110), ev(7.6, 0.0, "getppid", 0),
]


def test_phases_of_each_upload():
    first, second, third = upload_phases.phases(EVENTS)
    assert first == pytest.approx((0.3, 0.2, 1.7, 0.4, 0.4))
    assert second is None
    assert third == pytest.approx((0.1, 0.0, 0.9, 0.5, 0.1))
