"""tarnwick under code written for requests or httpx.

``TarnwickAdapter`` is a requests transport adapter (``pip install tarnwick[requests]``),
``TarnwickTransport`` an httpx transport (``pip install tarnwick[httpx]``). Each is
imported on first use, so only the library in use needs to be installed.
"""

from typing import TYPE_CHECKING, Any

from ._common import DEFAULT_TIMEOUT_S, UnsupportedOption

if TYPE_CHECKING:
    from ._httpx import TarnwickTransport, UnsupportedHttpxOption
    from ._requests import TarnwickAdapter, UnsupportedRequestsOption

__all__ = ["DEFAULT_TIMEOUT_S", "TarnwickAdapter", "TarnwickTransport", "UnsupportedHttpxOption",
           "UnsupportedOption", "UnsupportedRequestsOption"]

_LAZY = {
    "TarnwickAdapter": "_requests",
    "UnsupportedRequestsOption": "_requests",
    "TarnwickTransport": "_httpx",
    "UnsupportedHttpxOption": "_httpx",
}


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    import importlib

    return getattr(importlib.import_module("." + module, __name__), name)
