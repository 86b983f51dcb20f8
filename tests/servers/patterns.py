"""Deterministic payloads shared by the servers and the tests that check them."""

# Byte i of /bytes/N?seed=S is (i * 31 + seed) % 251. 251 is prime, so the
# pattern repeats every 251 bytes and never lines up with power-of-two
# buffer sizes: a dropped, repeated or reordered block shows up.
PERIOD = 251


def pattern_byte(i, seed=0):
    return (i * 31 + seed) % PERIOD


def _period(seed):
    return bytes(pattern_byte(i, seed) for i in range(PERIOD))


def pattern_bytes(n, seed=0, offset=0):
    """Bytes offset .. offset+n-1 of the pattern."""
    if n <= 0:
        return b""
    start = offset % PERIOD
    reps = (start + n) // PERIOD + 1
    return (_period(seed) * reps)[start:start + n]


class PatternSource:
    """Serves slices of an endless pattern from one fixed buffer, so
    streaming several GiB needs no more memory than a few hundred KiB."""

    def __init__(self, seed=0, block=PERIOD * 1024):
        self._buf = memoryview(_period(seed) * (block // PERIOD + 1))
        self.max_slice = len(self._buf) - PERIOD

    def slice(self, offset, n):
        start = offset % PERIOD
        return self._buf[start:start + min(n, self.max_slice)]


# Body of /plain, and (encoded) of /gzip, /deflate and /br.
COMPRESSIBLE_BODY = b"".join(
    b"line %04d: the quick brown fox jumps over the lazy dog\n" % i
    for i in range(200))


def text_blocks(size, block=1 << 20):
    """`size` bytes of highly compressible numbered text in blocks of `block`
    (each block starts with its number, so a lost or repeated block shows)."""
    line = b"the quick brown fox jumps over the lazy dog %s\n"
    base = b"".join(line % (b"%06d" % i) for i in range(block // 50 + 1))
    off = 0
    while off < size:
        n = min(block, size - off)
        yield (b"block %012d " % (off // block) + base)[:n]
        off += n
