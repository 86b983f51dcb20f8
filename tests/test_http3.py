"""HTTP/3 through the module: sessions switch QUIC on, and an origin that
advertises an alternative is served over it (the servers say which answered)."""

import os

import pytest

import cronet_testctl as ctl
from servers import pattern_bytes


@pytest.fixture
def quic_patience():
    # The sanitized run is slow enough for a loopback QUIC handshake to miss the
    # library's bound, which would (rightly) send the requests over TCP.
    if os.environ.get("TARNWICK_SANITIZED"):
        ctl.quic_connect_timeout_ms(30000)
    yield
    if os.environ.get("TARNWICK_SANITIZED"):
        ctl.quic_connect_timeout_ms(0)


def test_alt_svc_moves_the_session_to_http3(client, nginx_server, quic_patience):
    sid = client.create_session(skip_cert_verify=True)
    h2 = lambda path: nginx_server.url(path, "h2")  # noqa: E731
    assert client.request(sid, h2("/proto"), "GET")["body"] == b"HTTP/2.0\n"
    advert = "/alt?h3=%d&ma=60" % nginx_server.port("h3")
    assert client.request(sid, h2(advert), "GET")["body"] == b"HTTP/2.0\n"
    assert client.request(sid, h2("/proto"), "GET")["body"] == b"HTTP/3\n"
    body = pattern_bytes(700_000, seed=3)
    r = client.request(sid, h2("/echo"), "POST", body=body)
    assert (r["status_code"], r["body"]) == (200, body)
    assert client.request(sid, h2("/redirect"), "GET")["body"] == b"HTTP/3\n"
    assert client.request(sid, h2("/bytes/5000000"), "GET")["body"] == pattern_bytes(5_000_000)
    # Another session has seen no advertisement.
    other = client.create_session(skip_cert_verify=True)
    assert client.request(other, h2("/proto"), "GET")["body"] == b"HTTP/2.0\n"
