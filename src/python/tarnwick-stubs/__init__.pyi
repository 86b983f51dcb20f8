from typing import List, Optional, Sequence, SupportsIndex, Tuple, TypedDict, Union, final

__all__ = ["ZoDeruziDuzera"]

class _Response(TypedDict):
    status_code: int
    body: bytes
    headers: List[Tuple[str, str]]

@final
class ZoDeruziDuzera:
    """Python wrapper for SessionManager"""

    def __init__(self) -> None: ...
    def create_session(
        self,
        proxy_rules: Optional[str] = None,
        skip_cert_verify: Optional[bool] = None,
        timeout_ms: Optional[SupportsIndex] = None,
    ) -> str:
        """Create a new session; "" when the engine did not start."""
    def request(
        self,
        session_id: str,
        url: str,
        method: str,
        headers: Optional[Sequence[Tuple[str, str]]] = None,
        body: Optional[Union[bytes, bytearray, Sequence[SupportsIndex]]] = None,
    ) -> _Response:
        """Execute request using a session."""
    def close_session(self, session_id: str) -> bool:
        """Close a session."""
    def list_sessions(self) -> List[str]:
        """List all active sessions."""
