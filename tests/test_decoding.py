"""Content decoding end to end: compressed bodies cut short inside complete
HTTP framing fail, large compressible ones arrive whole, unknown codings pass."""

import gzip
import hashlib
import os
import subprocess
import sys

import pytest

from servers import COMPRESSIBLE_BODY
from servers.patterns import text_blocks

DECODING_FAILED = r"^Request failed: net::ERR_CONTENT_DECODING_FAILED$"
SANITIZED = os.environ.get("TARNWICK_SANITIZED") == "1"


def _url(server, query):
    return server.url("/encoded?" + query)


def _sha256(blocks):
    h = hashlib.sha256()
    for b in blocks:
        h.update(b)
    return h.hexdigest()


@pytest.fixture(params=["http", "https"])
def server(request, http_server, https_server):
    return http_server if request.param == "http" else https_server


@pytest.fixture
def tls_sid(client):
    return client.create_session(timeout_ms=30000, skip_cert_verify=True)


# The compressed stream ends early while Content-Length (or the chunks) say
# the body is whole.
@pytest.mark.parametrize("chunked", [0, 1])
@pytest.mark.parametrize("coding,cut", [("br", "half"), ("zstd", "8"), ("deflate", "100"),
                                        ("gzip", "100"), ("gzip", "half")])
def test_compressed_stream_cut_short_fails(client, tls_sid, server, coding, cut, chunked):
    with pytest.raises(RuntimeError, match=DECODING_FAILED):
        client.request(tls_sid, _url(server, f"coding={coding}&cut={cut}&chunked={chunked}"),
                       "GET")


@pytest.mark.parametrize("query,size", [
    ("coding=gzip&cut=8", 860000),           # all the data, only the gzip trailer missing
    ("coding=br&chunked=1", 860000),
    ("coding=zstd", 860000),
    ("coding=deflate&chunked=1", 860000),
])
def test_whole_streams_decode(client, tls_sid, server, query, size):
    r = client.request(tls_sid, _url(server, f"{query}&size={size}"), "GET")
    assert r["status_code"] == 200
    assert hashlib.sha256(r["body"]).hexdigest() == _sha256(text_blocks(size))


@pytest.mark.parametrize("method,query", [
    ("HEAD", "coding=br"),
    ("GET", "coding=br&empty=1"),
    ("GET", "coding=gzip&status=204"),
    ("GET", "coding=zstd&status=304"),
])
def test_empty_bodies_with_a_coding_succeed(client, sid, http_server, method, query):
    r = client.request(sid, _url(http_server, query), method)
    assert r["body"] == b""


def test_redirect_body_is_not_decoded(client, sid, http_server):
    # A cut gzip body on the redirect itself does not matter.
    r = client.request(sid, _url(http_server, "coding=gzip&cut=half&status=302&location=/plain"),
                       "GET")
    assert (r["status_code"], r["body"]) == (200, COMPRESSIBLE_BODY)


@pytest.mark.parametrize("label", ["compress", "gzip, foo", "foo, gzip"])
def test_unknown_coding_passes_through(client, sid, http_server, label):
    r = client.request(sid, _url(http_server, f"coding=gzip&size=5000&label={label}"), "GET")
    assert r["status_code"] == 200
    assert ("Content-Encoding", label) in r["headers"]
    assert gzip.decompress(r["body"]) == b"".join(text_blocks(5000))  # the bytes as sent


@pytest.mark.parametrize("coding", ["br", "zstd"])
def test_large_compressible_body_arrives_whole(client, http_server, coding):
    size = (64 if SANITIZED else 256) << 20  # the sanitizers make it several times slower
    sid = client.create_session(timeout_ms=300000)
    r = client.request(sid, _url(http_server, f"coding={coding}&size={size}"), "GET")
    body = r.pop("body")
    assert len(body) == size
    assert hashlib.sha256(body).hexdigest() == _sha256(text_blocks(size))


BOMB_CHILD = r"""
import resource, sys
from tarnwick import ZoDeruziDuzera
c = ZoDeruziDuzera()
sid = c.create_session(timeout_ms=120000)
limit = int(sys.argv[2])
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    r = c.request(sid, sys.argv[1], "GET")
    print("OK", len(r["body"]))
except RuntimeError as e:
    print("ERR", e)
"""


@pytest.mark.skipif(SANITIZED,
                    reason="the sanitizers reserve far more address space than the limit")
def test_bomb_fails_where_memory_runs_out(http_server):
    # 4 GiB of text as ~0.2 MiB of zstd, into a child that may map 1.5 GiB:
    # decoding goes on until the body no longer fits, and then fails cleanly.
    url = _url(http_server, f"coding=zstd&size={4 << 30}")
    out = subprocess.run([sys.executable, "-c", BOMB_CHILD, url, str(3 << 29)],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.strip() == "ERR Request failed: Out of memory while receiving the response"
