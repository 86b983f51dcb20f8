"""The HTTP/3 rows: which server each client is sent to, and that a response
which did not come over HTTP/3 fails the measurement instead of counting."""

import os
import sys
import urllib.parse

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import clients  # noqa: E402
import h3server  # noqa: E402
import report  # noqa: E402
import runner  # noqa: E402

SIZES = {"count": 3, "download": 1 << 20, "upload": 1 << 20}
H3_PORT = 4433


class FakeNginx:
    ca = "/ca.pem"
    ports = {"http": 8080, "https": 8443, "h2": 8444}

    def url(self, path, which="http"):
        scheme = "http" if which == "http" else "https"
        return "%s://127.0.0.1:%d%s" % (scheme, self.ports[which], path)


def _specs(only):
    return list(runner.jobs(FakeNginx(), SIZES, 1, set(only), H3_PORT))


def _origin(url):
    p = urllib.parse.urlsplit(url)
    return p.scheme, p.hostname, p.port


@pytest.mark.parametrize("workload", ["get_h3", "download_h3"])
def test_h3_specs_send_each_client_where_it_can_speak_http3(workload):
    specs = {s["client"]: s for s in _specs([workload])}
    assert set(specs) == set(report.WORKLOAD_BY_ID[workload]["clients"])
    for client, s in specs.items():
        urls = [s["url"]] + ([s["warm_url"]] if "warm_url" in s else [])
        if client in report.H3_DIRECT:
            assert "advert_url" not in s
            assert all(_origin(u) == ("https", "127.0.0.1", H3_PORT) for u in urls)
        else:
            # The advertisement must come from the very origin the workload then asks.
            advert = urllib.parse.urlsplit(s["advert_url"])
            assert _origin(s["advert_url"]) == ("https", "127.0.0.1", FakeNginx.ports["h2"])
            assert urllib.parse.parse_qs(advert.query)["h3"] == [str(H3_PORT)]
            assert all(_origin(u) == _origin(s["advert_url"]) for u in urls)


@pytest.mark.parametrize("workload, port", [
    ("get_http", 8080), ("get_https", 8443), ("get_h2", 8444), ("download", 8080),
    ("download_h2", 8444), ("upload", 8080),
])
def test_tcp_specs_have_no_advertisement(workload, port):
    for s in _specs([workload]):
        assert "advert_url" not in s
        assert _origin(s["url"])[2] == port


class FakeEngine:
    def __init__(self, headers):
        self.headers = headers

    def request(self, sid, url, method):
        return {"status_code": 200, "headers": self.headers, "body": b"x"}


def _tarnwick(proto, headers):
    c = clients.TarnwickClient.__new__(clients.TarnwickClient)
    c._c, c._sid, c._h3 = FakeEngine(headers), 1, proto == "h3"
    return c


@pytest.mark.parametrize("proto, headers, ok", [
    ("h3", [("server", clients.H3_SERVER)], True),
    ("h3", [("Server", clients.H3_SERVER)], True),
    ("h3", [("server", "nginx/1.22.1")], False),     # fell back to TCP
    ("h3", [], False),
    ("h2", [("server", "nginx/1.22.1")], True),
])
def test_tarnwick_get_refuses_a_response_that_did_not_come_over_http3(proto, headers, ok):
    c = _tarnwick(proto, headers)
    if ok:
        assert c.get("https://x/") == b"x"
    else:
        with pytest.raises(RuntimeError, match="not served over HTTP/3"):
            c.get("https://x/")


@pytest.mark.parametrize("headers, ok", [
    ([("alt-svc", 'h3=":4433"; ma=60')], True),
    ([("Alt-Svc", 'h3=":4433"; ma=60')], True),
    ([("server", "nginx")], False),
])
def test_advertise_needs_an_alt_svc_header(headers, ok):
    c = _tarnwick("h3", headers)
    if ok:
        c.advertise("https://x/alt")
    else:
        with pytest.raises(RuntimeError, match="no Alt-Svc"):
            c.advertise("https://x/alt")


UDP_TABLE = """\
  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops
  100: 0100007F:1151 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 1 2 0 0
  101: 00000000:1152 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 1 2 0 0
"""


@pytest.mark.parametrize("port, bound", [
    (0x1151, True),
    (0x1152, False),    # on 0.0.0.0, not the loopback address the server was given
    (0x1153, False),
])
def test_udp_bound_reads_the_socket_table(tmp_path, port, bound):
    table = tmp_path / "udp"
    table.write_text(UDP_TABLE)
    assert h3server.udp_bound(port, str(table)) is bound


@pytest.mark.parametrize("workload", ["download", "download_h2", "download_h3"])
def test_rss_growth_of_every_download_is_relative_to_the_download_size(workload):
    rec = {"workload": workload, "client": "tarnwick", "value": 1.0, "elapsed_s": 1.0,
           "client_cpu_s": 0.0, "server_cpu_s": 0.0,
           "rss_before_kib": 1024, "rss_peak_kib": 1024 + 2048}
    cell = report.aggregate([rec], SIZES)[workload]["tarnwick"]
    assert cell["rss_growth_ratio"] == pytest.approx(2.0)
