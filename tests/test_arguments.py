"""Argument binding and conversion at the method boundary.

Conversions that succeed are checked through `request` on an id that names no
session: it converts every argument first and only then is refused, so the
refusal proves that conversion passed. Nothing here starts a session.
"""

import collections
import enum

import numpy
import pytest

from tarnwick import ZoDeruziDuzera

REFUSED = "Failed to send request (session not found or concurrent limit reached)"
NO_SESSION = "00000000-0000-4000-8000-000000000000"


@pytest.fixture(scope="module")
def client():
    return ZoDeruziDuzera()


def call(client, name, args, kwargs):
    if name == "__new__":
        return ZoDeruziDuzera(*args, **kwargs)
    return getattr(client, name)(*args, **kwargs)


def assert_refused(client, *args, **kwargs):
    with pytest.raises(RuntimeError) as info:
        client.request(*args, **kwargs)
    assert str(info.value) == REFUSED


# --- binding ----------------------------------------------------------------

C = "ZoDeruziDuzera.create_session()"
R = "ZoDeruziDuzera.request()"
X = "ZoDeruziDuzera.close_session()"
N = "ZoDeruziDuzera.__new__()"


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("__new__", (1,), {}, f"{N} takes 0 positional arguments but 1 was given"),
    ("__new__", (1, 2), {}, f"{N} takes 0 positional arguments but 2 were given"),
    ("__new__", (), {"x": 1}, f"{N} got an unexpected keyword argument 'x'"),
    ("create_session", (None,) * 4, {},
     f"{C} takes from 0 to 3 positional arguments but 4 were given"),
    ("create_session", (), {"proxy": "x"}, f"{C} got an unexpected keyword argument 'proxy'"),
    ("create_session", ("x",), {"proxy_rules": "y"},
     f"{C} got multiple values for argument 'proxy_rules'"),
    ("request", ("s", "u", "m", None, None, None), {},
     f"{R} takes from 3 to 5 positional arguments but 6 were given"),
    ("request", ("s", "u"), {}, f"{R} missing 1 required positional argument: 'method'"),
    ("request", (), {},
     f"{R} missing 3 required positional arguments: 'session_id', 'url', and 'method'"),
    ("request", (), {"url": "u"},
     f"{R} missing 2 required positional arguments: 'session_id' and 'method'"),
    ("request", ("s", "u"), {"url": "u"}, f"{R} got multiple values for argument 'url'"),
    ("request", ("s", "u", "m"), {"timeout": 1},
     f"{R} got an unexpected keyword argument 'timeout'"),
    # Keywords are checked in the order given, before anything is missing.
    ("request", ("s", "u", "m"), {"zzz": 1, "url": "u"},
     f"{R} got an unexpected keyword argument 'zzz'"),
    ("request", ("s", "u", "m"), {"url": "u", "zzz": 1},
     f"{R} got multiple values for argument 'url'"),
    ("request", (), {"bogus": 1}, f"{R} got an unexpected keyword argument 'bogus'"),
    # Too many positionals wins over a bad keyword.
    ("request", ("s",) * 7, {"bogus": 1},
     f"{R} takes from 3 to 5 positional arguments but 7 were given"),
    # Binding comes before conversion.
    ("request", (1,), {}, f"{R} missing 2 required positional arguments: 'url' and 'method'"),
    ("close_session", ("a", "b"), {}, f"{X} takes 1 positional arguments but 2 were given"),
    ("close_session", (), {}, f"{X} missing 1 required positional argument: 'session_id'"),
    ("close_session", (), {"id": "a"}, f"{X} got an unexpected keyword argument 'id'"),
])
def test_binding_errors(client, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(client, name, args, kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_list_sessions_refuses_arguments_itself(client):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        client.list_sessions(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        client.list_sessions(x=1)


def test_all_parameters_by_keyword(client):
    assert_refused(client, body=b"", headers=[], method="GET", url="http://127.0.0.1:9/",
                   session_id=NO_SESSION)
    assert client.close_session(session_id=NO_SESSION) is False


def test_foreign_receiver_is_refused():
    with pytest.raises(TypeError, match="'object'"):
        ZoDeruziDuzera.list_sessions(object())
    with pytest.raises(TypeError, match="'int'"):
        ZoDeruziDuzera.close_session(5, "x")


# --- conversion failures ------------------------------------------------------

class Outer:
    class Inner:
        pass


class Boom(Exception):
    pass


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class SequenceWith:
    """A sequence whose protocol methods behave as told."""

    def __init__(self, items, len_exc=None, iter_exc=None):
        self.items, self.len_exc, self.iter_exc = items, len_exc, iter_exc

    def __len__(self):
        if self.len_exc is not None:
            raise self.len_exc
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iter_exc is not None:
            raise self.iter_exc
        return iter(self.items)


def cannot(arg, tname, target):
    return f"argument '{arg}': '{tname}' object cannot be converted to '{target}'"


G = ("s", "u", "m")  # good text arguments for request

CONVERSION_TYPE_ERRORS = [
    ("create_session", (), {"proxy_rules": b"x"}, cannot("proxy_rules", "bytes", "PyString")),
    ("create_session", (), {"proxy_rules": 1, "skip_cert_verify": 1},
     cannot("proxy_rules", "int", "PyString")),
    ("create_session", (), {"skip_cert_verify": 1}, cannot("skip_cert_verify", "int", "PyBool")),
    ("create_session", (), {"skip_cert_verify": "yes"},
     cannot("skip_cert_verify", "str", "PyBool")),
    ("create_session", (), {"skip_cert_verify": numpy.int8(1)},
     cannot("skip_cert_verify", "int8", "PyBool")),
    ("create_session", (), {"skip_cert_verify": Outer.Inner()},
     cannot("skip_cert_verify", "Outer.Inner", "PyBool")),
    ("create_session", (), {"timeout_ms": 1.5},
     "argument 'timeout_ms': 'float' object cannot be interpreted as an integer"),
    ("create_session", (), {"timeout_ms": "5"},
     "argument 'timeout_ms': 'str' object cannot be interpreted as an integer"),
    ("close_session", (123,), {}, cannot("session_id", "int", "PyString")),
    ("request", (None, "u", "m"), {}, cannot("session_id", "NoneType", "PyString")),
    ("request", (1, 2, 3), {}, cannot("session_id", "int", "PyString")),
    ("request", ("s", b"u", "m"), {}, cannot("url", "bytes", "PyString")),
    ("request", ("s", "u", None), {}, cannot("method", "NoneType", "PyString")),
    ("request", G, {"headers": "abc"}, "argument 'headers': Can't extract `str` to `Vec`"),
    ("request", G, {"headers": {"a": "b"}}, cannot("headers", "dict", "Sequence")),
    ("request", G, {"headers": {("a", "b")}}, cannot("headers", "set", "Sequence")),
    ("request", G, {"headers": iter([("a", "b")])}, cannot("headers", "list_iterator", "Sequence")),
    ("request", G, {"headers": [("a", "b", "c")]},
     "argument 'headers': expected tuple of length 2, but got tuple of length 3"),
    ("request", G, {"headers": [()]},
     "argument 'headers': expected tuple of length 2, but got tuple of length 0"),
    ("request", G, {"headers": [("a", "b"), ["a", "b"]]}, cannot("headers", "list", "PyTuple")),
    ("request", G, {"headers": [("a", 1)]}, cannot("headers", "int", "PyString")),
    ("request", G, {"headers": [(b"a", "b")]}, cannot("headers", "bytes", "PyString")),
    ("request", G, {"body": "abc"}, "argument 'body': Can't extract `str` to `Vec`"),
    ("request", G, {"body": 5}, cannot("body", "int", "Sequence")),
    ("request", G, {"body": (x for x in b"ab")}, cannot("body", "generator", "Sequence")),
    ("request", G, {"body": [1, 1.0]},
     "argument 'body': 'float' object cannot be interpreted as an integer"),
    ("request", G, {"body": ["a"]},
     "argument 'body': 'str' object cannot be interpreted as an integer"),
    ("request", G, {"body": [IndexRaises(TypeError("no index"))]}, "argument 'body': no index"),
    ("request", G, {"body": SequenceWith([1], iter_exc=TypeError("no iter"))},
     "argument 'body': no iter"),
    ("request", G, {"headers": [("a", "b")], "body": [None]},
     "argument 'body': 'NoneType' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("name, args, kwargs, message", CONVERSION_TYPE_ERRORS)
def test_conversion_type_errors(client, name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        call(client, name, args, kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


class TypeErrorChild(TypeError):
    pass


# Failures other than an exact TypeError pass through with no prefix.
@pytest.mark.parametrize("name, args, kwargs, exc_type, message", [
    ("create_session", (), {"timeout_ms": -1}, OverflowError, None),
    ("create_session", (), {"timeout_ms": 2**64}, OverflowError, None),
    ("create_session", (), {"timeout_ms": IndexRaises(Boom("idx"))}, Boom, "idx"),
    ("create_session", (), {"timeout_ms": IndexRaises(TypeErrorChild("child"))},
     TypeErrorChild, "child"),
    ("create_session", (), {"proxy_rules": "a\ud800"}, UnicodeEncodeError, None),
    ("close_session", ("\udfff",), {}, UnicodeEncodeError, None),
    ("request", ("s", "\ud800", "m"), {}, UnicodeEncodeError, None),
    ("request", G, {"headers": [("a", "\ud800")]}, UnicodeEncodeError, None),
    ("request", G, {"body": [256]}, OverflowError,
     "out of range integral type conversion attempted"),
    ("request", G, {"body": [0, -1]}, OverflowError,
     "out of range integral type conversion attempted"),
    ("request", G, {"body": [2**70]}, OverflowError, None),
    ("request", G, {"body": [IndexRaises(Boom("item"))]}, Boom, "item"),
    ("request", G, {"body": SequenceWith([1], iter_exc=Boom("iter"))}, Boom, "iter"),
    ("request", G, {"headers": SequenceWith([], iter_exc=Boom("hiter"))}, Boom, "hiter"),
])
def test_conversion_errors_pass_through(client, name, args, kwargs, exc_type, message):
    with pytest.raises(BaseException) as info:
        call(client, name, args, kwargs)
    assert type(info.value) is exc_type
    assert not str(info.value).startswith("argument ")
    if message is not None:
        assert str(info.value) == message


def test_interpreter_texts_are_kept():
    with pytest.raises(OverflowError) as mine:
        ZoDeruziDuzera().create_session(timeout_ms=-1)
    with pytest.raises(UnicodeEncodeError) as theirs:
        "\ud800".encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as encoded:
        ZoDeruziDuzera().create_session(proxy_rules="\ud800")
    assert str(encoded.value) == str(theirs.value)
    assert "negative" in str(mine.value)


def test_prefixed_error_keeps_the_cause(client):
    cause = KeyError("why")

    class Chained:
        def __index__(self):
            raise TypeError("chained") from cause

    with pytest.raises(TypeError) as info:
        client.request(*G, body=[Chained()])
    assert str(info.value) == "argument 'body': chained"
    assert info.value.__cause__ is cause

    with pytest.raises(TypeError) as info:
        client.request(*G, body=[IndexRaises(TypeError("plain"))])
    assert info.value.__cause__ is None


def test_first_failing_parameter_wins(client):
    with pytest.raises(TypeError, match="argument 'url'"):
        client.request("s", 1, 2, headers="x", body="y")
    with pytest.raises(TypeError, match="argument 'headers'"):
        client.request("s", "u", "m", headers="x", body="y")
    # An overflow in the body still comes after a bad header list.
    with pytest.raises(TypeError, match="argument 'headers'"):
        client.request("s", "u", "m", headers=[1], body=[300])


# --- conversions that succeed -------------------------------------------------

class Text(str):
    pass


class Number(int):
    pass


class Colour(enum.IntEnum):
    RED = 7


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


Header = collections.namedtuple("Header", "name value")


@pytest.mark.parametrize("args, kwargs", [
    ((NO_SESSION, "http://127.0.0.1:9/", "GET"), {}),
    ((Text(NO_SESSION), Text("u"), Text("M")), {}),
    (G, {"headers": None, "body": None}),
    (G, {"headers": [], "body": b""}),
    (G, {"headers": (("a", "b"), ("a", "b"))}),
    (G, {"headers": [Header("a", Text("b"))]}),
    (G, {"body": bytearray(b"\x00\xff")}),
    (G, {"body": memoryview(b"abc")}),
    (G, {"body": [0, 255, True, Number(3), Colour.RED, Indexable(9), numpy.uint8(200)]}),
    (G, {"body": range(256)}),
    (G, {"body": SequenceWith([1, 2], len_exc=Boom("len is discarded"))}),
    (G, {"headers": SequenceWith([("a", "b")], len_exc=TypeError("also discarded"))}),
    (G, {"body": SequenceWith([1], len_exc=OverflowError("huge"))}),
    # An absurd length only sizes the result.
    (G, {"body": type("Liar", (SequenceWith,), {"__len__": lambda self: 2**62})([1])}),
])
def test_request_conversions_that_pass(client, args, kwargs):
    assert_refused(client, *args, **kwargs)


@pytest.mark.parametrize("value", [None, True, False, numpy.bool_(True), numpy.bool_(False)])
def test_switch_accepts_bools(client, value):
    sid = client.create_session(skip_cert_verify=value, timeout_ms=Number(5))
    try:
        assert sid in client.list_sessions()
    finally:
        client.close_session(sid)


def fake_numpy_type(name, **body):
    return type(name, (), dict(body, __module__="numpy"))


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_fake_numpy_bool_without_truth_slot(client, name):
    value = fake_numpy_type(name)()
    with pytest.raises(TypeError) as info:
        client.create_session(skip_cert_verify=value)
    assert str(info.value) == (
        f"argument 'skip_cert_verify': object of type '{name}' does not define a "
        "'__bool__' conversion")
    assert client.list_sessions() == []


def test_fake_numpy_bool_truth_slot_is_called(client):
    calls = []

    def truth(self):
        calls.append(self)
        return True

    value = fake_numpy_type("bool_", __bool__=truth)()
    sid = client.create_session(skip_cert_verify=value)
    try:
        assert calls == [value]
        assert sid in client.list_sessions()
    finally:
        client.close_session(sid)


@pytest.mark.parametrize("exc", [Boom("truth"), TypeErrorChild("child")])
def test_fake_numpy_bool_failure_is_raised_unchanged(client, exc):
    def truth(self):
        raise exc

    with pytest.raises(type(exc)) as info:
        client.create_session(skip_cert_verify=fake_numpy_type("bool", __bool__=truth)())
    assert info.value is exc
    assert client.list_sessions() == []


@pytest.mark.parametrize("value", [
    fake_numpy_type("bool8")(),  # right module, wrong name
    type("bool_", (), {"__module__": "numpyx"})(),  # right name, wrong module
])
def test_near_numpy_bools_are_refused(client, value):
    with pytest.raises(TypeError, match="object cannot be converted to 'PyBool'"):
        client.create_session(skip_cert_verify=value)
