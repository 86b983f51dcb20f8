"""Session-wide server fixtures; load with `pytest_plugins = ["servers.pytest_plugin"]`.

Every TLS server of a session shares one throwaway CA (`server_ca` is its path).
The proxy fixtures are per test views of one session proxy whose `.seen` starts
empty in each test.
"""

import pytest

from . import certs
from . import BadTlsServers, HttpProxy, HttpServer, NginxServer, Socks5Proxy

NGINX_BIG_MIB = 16


@pytest.fixture(scope="session")
def server_certs_dir(tmp_path_factory):
    return str(tmp_path_factory.mktemp("server-certs"))


@pytest.fixture(scope="session")
def server_ca(server_certs_dir):
    return certs.ensure_ca(server_certs_dir).cert


def _session_server(server):
    with server:
        yield server


@pytest.fixture(scope="session")
def http_server():
    yield from _session_server(HttpServer())


@pytest.fixture(scope="session")
def https_server(server_certs_dir):
    yield from _session_server(HttpServer(tls=True, certs=server_certs_dir))


@pytest.fixture(scope="session")
def nginx_server(server_certs_dir):
    yield from _session_server(NginxServer(big_mib=NGINX_BIG_MIB, h3=True, certs=server_certs_dir))


@pytest.fixture(scope="session")
def bad_tls(server_certs_dir):
    yield from _session_server(BadTlsServers(certs=server_certs_dir))


@pytest.fixture(scope="session")
def _http_proxy_session():
    yield from _session_server(HttpProxy())


@pytest.fixture(scope="session")
def _refusing_proxy_session():
    yield from _session_server(HttpProxy(refuse_connect=True))


@pytest.fixture(scope="session")
def _socks5_session():
    yield from _session_server(Socks5Proxy())


@pytest.fixture
def http_proxy(_http_proxy_session):
    _http_proxy_session.clear_seen()
    return _http_proxy_session


@pytest.fixture
def refusing_proxy(_refusing_proxy_session):
    _refusing_proxy_session.clear_seen()
    return _refusing_proxy_session


@pytest.fixture
def socks5_proxy(_socks5_session):
    _socks5_session.clear_seen()
    return _socks5_session
