"""A small Python model of how the client's methods bind and convert their arguments.

`expected(method, args, kwargs)` returns either `Converted(values)` or
`Refused(exc_type, message)`: what the real method must do with the same
arguments before it touches any session. Where the interpreter's own C
functions decide (sequence check, reading a C long or an unsigned 64-bit
value, the index protocol), the model calls those very functions through
ctypes, so their messages are the interpreter's own.
"""

import ctypes
import operator
import re
from dataclasses import dataclass
from typing import Any, Optional

CLASS = "ZoDeruziDuzera"

PARAMS = {
    "create_session": (("proxy_rules", "skip_cert_verify", "timeout_ms"), 0),
    "request": (("session_id", "url", "method", "headers", "body"), 3),
    "close_session": (("session_id",), 1),
}

KIND = {
    "proxy_rules": "text", "session_id": "text", "url": "text", "method": "text",
    "skip_cert_verify": "switch", "timeout_ms": "u64", "headers": "headers", "body": "body",
}

_api = ctypes.pythonapi
_api.PySequence_Check.argtypes = [ctypes.py_object]
_api.PySequence_Check.restype = ctypes.c_int
_api.PyLong_AsLong.argtypes = [ctypes.py_object]
_api.PyLong_AsLong.restype = ctypes.c_long
_api.PyLong_AsUnsignedLongLong.argtypes = [ctypes.py_object]
_api.PyLong_AsUnsignedLongLong.restype = ctypes.c_ulonglong


@dataclass
class Converted:
    values: dict


@dataclass
class Refused:
    exc_type: type
    message: Optional[str] = None      # exact text
    pattern: Optional[str] = None      # or a regex where the text is loosely fixed
    original: Any = None               # the exception the model saw, if it came from user code

    def matches(self, exc):
        if type(exc) is not self.exc_type:
            return False
        if self.pattern is not None:
            return re.fullmatch(self.pattern, str(exc), re.S) is not None
        return str(exc) == self.message


class _Fail(Exception):
    def __init__(self, refused):
        super().__init__(refused)
        self.refused = refused


def qualname(obj):
    return type(obj).__qualname__


def _cannot(obj, target):
    return TypeError(f"'{qualname(obj)}' object cannot be converted to '{target}'")


# --- binding --------------------------------------------------------------------------

def _names(missing):
    quoted = [f"'{m}'" for m in missing]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def bind(method, args, kwargs):
    params, required = PARAMS[method]
    full = f"{CLASS}.{method}()"
    n = len(args)
    if n > len(params):
        were = "was" if n == 1 else "were"
        if required == len(params):
            msg = f"{full} takes {len(params)} positional arguments but {n} {were} given"
        else:
            msg = (f"{full} takes from {required} to {len(params)} positional arguments "
                   f"but {n} {were} given")
        raise _Fail(Refused(TypeError, msg))
    bound = dict(zip(params, args))
    for key, value in kwargs.items():
        if key not in params:
            raise _Fail(Refused(TypeError, f"{full} got an unexpected keyword argument '{key}'"))
        if key in bound:
            raise _Fail(Refused(TypeError, f"{full} got multiple values for argument '{key}'"))
        bound[key] = value
    missing = [p for p in params[:required] if p not in bound]
    if missing:
        word = "argument" if len(missing) == 1 else "arguments"
        raise _Fail(Refused(TypeError, f"{full} missing {len(missing)} required positional "
                                       f"{word}: {_names(missing)}"))
    return bound


# --- conversion rules -----------------------------------------------------------------

def to_text(obj):
    if not issubclass(type(obj), str):          # the real type, not a spoofed __class__
        raise _cannot(obj, "PyString")
    return str.encode(obj, "utf-8")             # the interpreter's own encoding error


def to_switch(obj):
    if type(obj) is bool:
        return obj
    t = type(obj)
    if t.__module__ == "numpy" and t.__name__ in ("bool_", "bool"):
        if getattr(t, "__bool__", None) is None:
            raise _BoolSlotMissing(t)
        return bool(obj)
    raise _cannot(obj, "PyBool")


class _BoolSlotMissing(Exception):
    def __init__(self, t):
        super().__init__(t)
        self.t = t


def _index(obj):
    if issubclass(type(obj), int):
        return int.__index__(obj)               # the value itself, no user __index__
    return operator.index(obj)


def to_u64(obj):
    return _api.PyLong_AsUnsignedLongLong(_index(obj))


def to_byte(obj):
    value = _api.PyLong_AsLong(_index(obj))
    if not 0 <= value <= 255:
        raise OverflowError("out of range integral type conversion attempted")
    return value


def is_sequence(obj):
    return bool(_api.PySequence_Check(obj))


def _vec(obj, item):
    if issubclass(type(obj), str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(obj):
        raise _cannot(obj, "Sequence")
    try:
        len(obj)                                # asked once; a failure is discarded
    except Exception:
        pass
    return [item(x) for x in obj]


def _header(obj):
    if not issubclass(type(obj), tuple):
        raise _cannot(obj, "PyTuple")
    n = tuple.__len__(obj)
    if n != 2:
        raise TypeError(f"expected tuple of length 2, but got tuple of length {n}")
    return (to_text(tuple.__getitem__(obj, 0)), to_text(tuple.__getitem__(obj, 1)))


def to_headers(obj):
    return _vec(obj, _header)


def to_body(obj):
    return bytes(_vec(obj, to_byte))


CONVERT = {"text": to_text, "switch": to_switch, "u64": to_u64, "headers": to_headers,
           "body": to_body}

DEFAULTS = {"proxy_rules": None, "skip_cert_verify": False, "timeout_ms": 30000,
            "headers": [], "body": b""}


def _convert_one(name, obj):
    try:
        return CONVERT[KIND[name]](obj)
    except _BoolSlotMissing as e:
        t = e.t
        raise _Fail(Refused(TypeError, pattern=(
            f"argument '{name}': object of type '(numpy\\.)?{re.escape(t.__qualname__)}' "
            "does not define a '__bool__' conversion")))
    except BaseException as e:     # noqa: B902 - user code may raise anything
        if type(e) is TypeError:
            raise _Fail(Refused(TypeError, f"argument '{name}': {e}", original=e))
        raise _Fail(Refused(type(e), str(e), original=e))


def expected(method, args=(), kwargs=None):
    """What `method` does with these arguments, up to the point where it acts."""
    kwargs = kwargs or {}
    try:
        bound = bind(method, args, kwargs)
        params, required = PARAMS[method]
        values = {}
        for i, name in enumerate(params):
            given = bound.get(name)
            if i >= required and given is None:
                values[name] = DEFAULTS[name]
            else:
                values[name] = _convert_one(name, given)
        return Converted(values)
    except _Fail as f:
        return f.refused


def expected_list_sessions(args=(), kwargs=None):
    """`list_sessions` refuses any argument with the interpreter's own text."""
    try:
        {}.keys(*args, **(kwargs or {}))
    except TypeError as e:
        return Refused(TypeError, str(e).replace("dict.keys()", f"{CLASS}.list_sessions()"))
    return Converted({})


def journal_quote(raw: bytes) -> str:
    """A byte string as the library's call journal writes it."""
    out = ['"']
    for b in raw:
        c = chr(b)
        if c in '"\\':
            out.append("\\" + c)
        elif c == "\n":
            out.append("\\n")
        elif c == "\r":
            out.append("\\r")
        elif c == "\t":
            out.append("\\t")
        elif b < 0x20 or b >= 0x7F:
            out.append("\\%03o" % b)
        else:
            out.append(c)
    out.append('"')
    return "".join(out)
