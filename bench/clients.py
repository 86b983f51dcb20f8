"""One adapter per HTTP client, each used the way its own documentation suggests.

Every adapter is built for one protocol ("http", "https", "h2" or "h3") and
offers get(url) -> body bytes, post(url, body) -> status, and close(). An
adapter that follows Alt-Svc to HTTP/3 also offers advertise(url), which
fetches the advertisement from the TCP origin first. Imports are lazy: the
tarnwick worker runs in the project venv, the others in the benchmark venv,
and neither has the other's packages.
"""

import io
import ssl

# The HTTP/3 server's Server header: every HTTP/3 response must carry it, so a
# request that quietly went to nginx over TCP fails the run instead of counting.
H3_SERVER = "nghttp3/ngtcp2 server"


class TarnwickClient:
    name = "tarnwick"

    def __init__(self, proto, ca):
        import tarnwick
        self._c = tarnwick.ZoDeruziDuzera()
        # The module cannot be given a CA; it can only skip verification.
        self._sid = self._c.create_session(skip_cert_verify=True)
        if not self._sid:
            raise RuntimeError("create_session returned no session")
        self._h3 = proto == "h3"

    def advertise(self, url):
        r = self._c.request(self._sid, url, "GET")
        if r["status_code"] != 200 or not any(k.lower() == "alt-svc" for k, _ in r["headers"]):
            raise RuntimeError("no Alt-Svc from %s (status %d)" % (url, r["status_code"]))

    def get(self, url):
        r = self._c.request(self._sid, url, "GET")
        if r["status_code"] != 200:
            raise RuntimeError("status %d" % r["status_code"])
        if self._h3 and (dict((k.lower(), v) for k, v in r["headers"]).get("server") != H3_SERVER):
            raise RuntimeError("not served over HTTP/3: %r" % r["headers"])
        return r["body"]

    def post(self, url, body):
        return self._c.request(self._sid, url, "POST", body=body)["status_code"]

    def close(self):
        self._c.close_session(self._sid)


class RequestsClient:
    name = "requests"

    def __init__(self, proto, ca):
        import requests
        if proto == "h2":
            raise Unsupported
        self._s = requests.Session()
        # Given per call: a session-level verify loses to REQUESTS_CA_BUNDLE.
        self._ca = ca

    def get(self, url):
        r = self._s.get(url, verify=self._ca)
        r.raise_for_status()
        return r.content

    def post(self, url, body):
        return self._s.post(url, data=body, verify=self._ca).status_code

    def close(self):
        self._s.close()


class HttpxClient:
    name = "httpx"

    def __init__(self, proto, ca):
        import httpx
        self._c = httpx.Client(verify=ssl.create_default_context(cafile=ca),
                               http2=(proto == "h2"), timeout=60)
        self._proto = proto

    def get(self, url):
        r = self._c.get(url)
        r.raise_for_status()
        if self._proto == "h2" and r.http_version != "HTTP/2":
            raise RuntimeError("httpx did not negotiate HTTP/2: %s" % r.http_version)
        return r.content

    def post(self, url, body):
        return self._c.post(url, content=body).status_code

    def close(self):
        self._c.close()


class Urllib3Client:
    name = "urllib3"

    def __init__(self, proto, ca):
        import urllib3
        if proto == "h2":
            raise Unsupported
        self._pm = urllib3.PoolManager(cert_reqs="CERT_REQUIRED", ca_certs=ca)

    def get(self, url):
        r = self._pm.request("GET", url)
        if r.status != 200:
            raise RuntimeError("status %d" % r.status)
        return r.data

    def post(self, url, body):
        return self._pm.request("POST", url, body=body).status

    def close(self):
        self._pm.clear()


# libcurl's value; pycurl 7.45 has no name for it. HTTP/3 only, no TCP fallback.
CURL_HTTP_VERSION_3ONLY = 31


class PycurlClient:
    """One easy handle for the whole run, as libcurl's own docs recommend.

    Its libcurl is built without Alt-Svc support, so for HTTP/3 it is given
    the QUIC server's own URL (no advertise())."""

    name = "pycurl"

    def __init__(self, proto, ca):
        import pycurl
        self._pycurl = pycurl
        c = self._c = pycurl.Curl()
        c.setopt(pycurl.CAINFO, ca)
        c.setopt(pycurl.HTTP_VERSION, {"h2": pycurl.CURL_HTTP_VERSION_2TLS,
                                       "h3": CURL_HTTP_VERSION_3ONLY}.get(
                                           proto, pycurl.CURL_HTTP_VERSION_1_1))
        self._proto = proto

    def get(self, url):
        p, c = self._pycurl, self._c
        buf = io.BytesIO()
        c.setopt(p.HTTPGET, 1)
        c.setopt(p.URL, url)
        c.setopt(p.WRITEDATA, buf)
        c.perform()
        if c.getinfo(p.RESPONSE_CODE) != 200:
            raise RuntimeError("status %d" % c.getinfo(p.RESPONSE_CODE))
        if self._proto == "h2" and c.getinfo(p.INFO_HTTP_VERSION) != p.CURL_HTTP_VERSION_2_0:
            raise RuntimeError("pycurl did not negotiate HTTP/2")
        if self._proto == "h3" and c.getinfo(p.INFO_HTTP_VERSION) != p.CURL_HTTP_VERSION_3:
            raise RuntimeError("pycurl did not use HTTP/3")
        return buf.getvalue()

    def post(self, url, body):
        p, c = self._pycurl, self._c
        sink = io.BytesIO()
        c.setopt(p.URL, url)
        c.setopt(p.POSTFIELDS, body)
        c.setopt(p.WRITEDATA, sink)
        c.perform()
        return c.getinfo(p.RESPONSE_CODE)

    def close(self):
        self._c.close()


class Unsupported(Exception):
    """The client cannot speak the protocol of this workload."""


CLIENTS = {c.name: c for c in (TarnwickClient, RequestsClient, HttpxClient,
                               Urllib3Client, PycurlClient)}
