# A typed client that type-checks under mypy --strict against the installed stubs.
from typing import List, Tuple

import tarnwick


def fetch(url: str, body: bytes = b"") -> Tuple[int, bytes]:
    client = tarnwick.ZoDeruziDuzera()
    sid: str = client.create_session(proxy_rules=None, skip_cert_verify=True, timeout_ms=5000)
    try:
        resp = client.request(sid, url, "POST", headers=[("Accept", "*/*")], body=body)
        headers: List[Tuple[str, str]] = resp["headers"]
        assert all(isinstance(name, str) for name, _ in headers)
        return resp["status_code"], resp["body"]
    finally:
        ok: bool = client.close_session(sid)
        assert ok
        sessions: List[str] = client.list_sessions()
        assert sid not in sessions
