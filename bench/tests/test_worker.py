import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import worker  # noqa: E402
from servers.patterns import pattern_bytes  # noqa: E402

SIZE = 3 * 251 * 4096 + 17   # several check blocks and a ragged end


def _flip(b, i):
    b = bytearray(b)
    b[i] ^= 1
    return bytes(b)


@pytest.mark.parametrize("mutate, ok", [
    (lambda b: b, True),
    (lambda b: b[:-1], False),                       # one byte short
    (lambda b: b + b"\0", False),                    # one byte too many
    (lambda b: _flip(b, 0), False),
    (lambda b: _flip(b, 251 * 4096), False),         # first byte of the second block
    (lambda b: _flip(b, SIZE - 1), False),           # the ragged end
    # two 32 KiB reads delivered out of order
    (lambda b: b[32768:65536] + b[:32768] + b[65536:], False),
])
def test_body_check(mutate, ok):
    body = pattern_bytes(SIZE)
    assert worker._same_as_pattern(mutate(body), SIZE) is ok
