"""Property-based checks of argument binding and conversion against conversion_reference.

Random argument lists (nested containers, subclasses of the built-in types,
huge integers, lone surrogates, iterators, objects whose __index__, __len__ or
__iter__ raise) go to the real methods and to the Python model; the exception
type and text must agree, and nothing may ever surface as SystemError.
"""

import base64
import enum
import json
import os

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import conversion_reference as ref
import cronet_testctl as ctl
from tarnwick import ZoDeruziDuzera

REFUSED = "Failed to send request (session not found or concurrent limit reached)"
UNWRAP = "called `Result::unwrap()` on an `Err` value"
ENGINE_START_FAILURE = -200
# The sanitizer run is several times slower per example; a third of them there.
SANITIZED = os.environ.get("TARNWICK_SANITIZED") == "1"


def examples(n):
    return max(20, n // 3) if SANITIZED else n

FUZZ = settings(deadline=None, derandomize=True, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture,
                                       HealthCheck.too_slow, HealthCheck.data_too_large])


# --- odd objects (each one behaves the same every time it is used) -------------------

class Boom(Exception):
    pass


class TypeErrorChild(TypeError):
    pass


class StrSub(str):
    pass


class StrSubLying(str):
    def encode(self, *a, **k):
        return b"lie"

    def __str__(self):
        return "lie"


class PretendStr:
    """Claims to be a str through __class__; the real type decides."""
    __class__ = property(lambda self: str)


class TupleSub(tuple):
    pass


class TupleSubLying(tuple):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return "lie"

    def __iter__(self):
        return iter(("lie", "lie"))


class IntSub(int):
    def __index__(self):
        raise Boom("IntSub.__index__ must not be called")


class Colour(enum.IntEnum):
    RED = 1
    BIG = 300


class Outer:
    class Inner:
        pass


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Indexable({self.value!r})"


class Raising:
    """Raises the same exception instance from the named special methods."""

    def __init__(self, exc, where):
        self.exc = exc
        self.where = where

    def __index__(self):
        if "index" in self.where:
            raise self.exc
        return 1

    def __repr__(self):
        return f"Raising({self.exc!r}, {self.where})"


class Seq:
    """A sequence (it has __getitem__) with optional failures in len and iteration."""

    def __init__(self, items, len_exc=None, iter_exc=None, fail_after=None):
        self.items = list(items)
        self.len_exc = len_exc
        self.iter_exc = iter_exc
        self.fail_after = fail_after

    def __len__(self):
        if self.len_exc is not None:
            raise self.len_exc
        return len(self.items)

    def __getitem__(self, i):
        if self.iter_exc is not None and self.fail_after is not None and i >= self.fail_after:
            raise self.iter_exc
        return self.items[i]

    def __iter__(self):
        if self.iter_exc is not None and self.fail_after is None:
            raise self.iter_exc
        return self._gen()

    def _gen(self):
        for i, item in enumerate(self.items):
            if self.fail_after is not None and i >= self.fail_after:
                raise self.iter_exc
            yield item

    def __repr__(self):
        return (f"Seq({self.items!r}, len_exc={self.len_exc!r}, iter_exc={self.iter_exc!r}, "
                f"fail_after={self.fail_after!r})")


class GetItemOnly:
    """Iterated through the old __getitem__ protocol."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]

    def __repr__(self):
        return f"GetItemOnly({self.items!r})"


class BadIter:
    """__iter__ returns something that is not an iterator."""

    def __getitem__(self, i):
        raise IndexError

    def __iter__(self):
        return 42


class Mapping(dict):
    pass


def user(exc):
    """Marks an exception raised from the caller's own code."""
    exc.from_user = True
    return exc


def fake_numpy_bool(name, truth=None):
    body = {"__module__": "numpy"}
    if truth is not None:
        body["__bool__"] = truth
    return type(name, (), body)()


def _truth(value):
    def truth(self):
        return value
    return truth


def _truth_raises(exc):
    def truth(self):
        raise exc
    return truth


# --- strategies ---------------------------------------------------------------------

EXCEPTIONS = st.sampled_from([user(Boom("boom")), user(TypeError("plain type error")),
                              user(TypeErrorChild("child type error")), user(ValueError("value")),
                              user(OverflowError("overflow")), user(KeyError("key"))])

surrogate = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF)
plain_text = st.text(max_size=12)
texts = st.one_of(
    plain_text,
    plain_text.map(StrSub),
    plain_text.map(StrSubLying),
    st.tuples(plain_text, surrogate, plain_text).map("".join),
    st.tuples(plain_text, st.just("\0"), plain_text).map("".join),
)
huge_ints = st.one_of(st.integers(-2**70, 2**70), st.integers(0, 300),
                      st.sampled_from([2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64]))
scalars = st.one_of(
    st.none(), st.booleans(), huge_ints, st.floats(allow_nan=False), st.binary(max_size=6),
    huge_ints.map(IntSub), huge_ints.map(Indexable),
    st.sampled_from([Colour.RED, Colour.BIG, numpy.uint8(200), numpy.int64(-1),
                     numpy.float64(1.0), numpy.bool_(True), PretendStr(), Outer.Inner(),
                     Indexable(1.5), Indexable("7"), object(), BadIter(), Mapping(a=1)]),
    st.builds(Raising, EXCEPTIONS, st.just(("index",))),
)


def containers(items):
    xs = st.lists(items, max_size=5)
    return st.one_of(
        xs, xs.map(tuple), xs.map(TupleSub), xs.map(GetItemOnly), xs.map(iter),
        xs.map(lambda v: dict(enumerate(v))), xs.map(lambda v: Mapping(enumerate(v))),
        st.builds(Seq, xs, len_exc=st.none() | EXCEPTIONS, iter_exc=st.none() | EXCEPTIONS,
                  fail_after=st.none() | st.integers(0, 4)),
    )


header_items = st.one_of(
    st.tuples(texts, texts),
    st.tuples(texts, texts).map(TupleSub),
    st.tuples(texts, texts, texts).map(TupleSubLying),
    st.tuples(texts, texts).map(list),
    st.lists(texts, max_size=3).map(tuple),
    st.tuples(scalars, texts),
    st.tuples(texts, scalars),
    scalars,
)
header_values = st.one_of(st.none(), texts, scalars, containers(header_items))
byte_items = st.one_of(st.integers(0, 255), st.integers(0, 255).map(IntSub),
                       st.integers(0, 255).map(Indexable), scalars)
body_values = st.one_of(
    st.none(), texts, scalars, st.binary(max_size=8), st.binary(max_size=8).map(bytearray),
    st.binary(max_size=8).map(memoryview), containers(byte_items),
    st.recursive(st.lists(byte_items, max_size=3), lambda inner: st.lists(inner, max_size=3),
                 max_leaves=6),
)
switch_values = st.one_of(
    st.none(), st.booleans(), scalars, texts,
    st.sampled_from([numpy.bool_(False), numpy.bool_(True)]),
    st.builds(fake_numpy_bool, st.sampled_from(["bool_", "bool", "bool8"]),
              st.none() | st.booleans().map(_truth) | EXCEPTIONS.map(_truth_raises)
              | st.just(_truth(1))),
)
anything = st.one_of(texts, scalars, header_values, body_values)

def mostly(good, wild, good_in_ten=8):
    return st.integers(0, 9).flatmap(lambda k: good if k < good_in_ten else wild)


url_text = st.sampled_from(["http://127.0.0.1:1/", "https://127.0.0.1:1/x?y=1", "", "u"])
VALUES = {
    "session_id": mostly(plain_text, st.one_of(texts, scalars)),
    "url": mostly(url_text, st.one_of(texts, scalars)),
    "method": mostly(st.sampled_from(["GET", "POST", "", "get", "M-SEARCH"]),
                     st.one_of(texts, scalars)),
    "headers": mostly(st.none() | containers(st.tuples(texts, texts) | st.tuples(
        texts, texts).map(TupleSub)), header_values, 6),
    "body": mostly(st.none() | st.binary(max_size=8) | containers(st.integers(0, 255)),
                   body_values, 6),
    "proxy_rules": mostly(texts | st.sampled_from(["", "direct://", "http://127.0.0.1:1"]),
                          st.one_of(texts, scalars), 6),
    "skip_cert_verify": mostly(st.none() | st.booleans(), switch_values, 6),
    "timeout_ms": st.one_of(huge_ints, huge_ints.map(IntSub), huge_ints.map(Indexable), scalars),
}


@st.composite
def calls(draw, method):
    params, required = ref.PARAMS[method]
    # Mostly well-formed calls, so that conversion is reached; binding errors now and then.
    n_pos = draw(mostly(st.integers(required, len(params)), st.integers(0, len(params) + 1), 9))
    args = [draw(VALUES[params[min(i, len(params) - 1)]]) for i in range(n_pos)]
    kwargs = {}
    for name in params[n_pos:]:
        if draw(st.integers(0, 9)) < (9 if params.index(name) < required else 5):
            kwargs[name] = draw(VALUES[name])
    if n_pos and draw(st.integers(0, 24)) == 0:
        name = params[draw(st.integers(0, min(n_pos, len(params)) - 1))]
        kwargs[name] = draw(VALUES[name])                 # the same parameter twice
    if draw(st.integers(0, 14)) == 0:
        kwargs[draw(st.sampled_from(["timeout", "bogus", "Session_id"]))] = draw(anything)
    return tuple(args), kwargs


# --- helpers ------------------------------------------------------------------------

def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
        return ("raise", e)


def assert_refused_like(got, want, call):
    kind, value = got
    assert kind == "raise", f"{call}: expected {want}, got result {value!r}"
    assert not isinstance(value, SystemError), f"{call}: SystemError {value!r}"
    assert want.matches(value), f"{call}: expected {want}, got {type(value).__name__}: {value}"
    if getattr(want.original, "from_user", False) and type(want.original) is not TypeError:
        # A failure from the caller's own code is raised as that very object.
        assert value is want.original


def is_token(raw):
    return bool(raw) and all(chr(c).isascii() and (chr(c).isalnum() or chr(c) in "!#$%&'*+-.^_`|~")
                             for c in raw)


def request_refusal(values):
    """How a converted request for an unknown session may end (a set of predicates)."""
    texts_ = [values["method"], values["url"]] + [t for h in values["headers"] for t in h]
    if any(b"\0" in t for t in texts_):
        return {"panic", "refused"}
    bad = (values["method"] and not is_token(values["method"])) or not values["url"] or any(
        not n or not v or not is_token(n) or b"\r" in v or b"\n" in v for n, v in values["headers"])
    return {"failed", "refused"} if bad else {"refused"}


def classify(exc):
    if type(exc).__name__ == "PanicException" and str(exc).startswith(UNWRAP):
        return "panic"
    if type(exc) is RuntimeError and str(exc) == REFUSED:
        return "refused"
    if type(exc) is RuntimeError and str(exc).startswith("Request failed: "):
        return "failed"
    return f"{type(exc).__name__}: {exc}"


@pytest.fixture(scope="module")
def client():
    return ZoDeruziDuzera()


# --- the four methods ---------------------------------------------------------------

def check_request(client, args, kwargs):
    want = ref.expected("request", args, kwargs)
    got = outcome(lambda: client.request(*args, **kwargs))
    if isinstance(want, ref.Refused):
        assert_refused_like(got, want, (args, kwargs))
        return
    assert got[0] == "raise", f"{(args, kwargs)}: an unknown session gave a result"
    assert classify(got[1]) in request_refusal(want.values), f"{(args, kwargs)}: {got[1]!r}"


@settings(FUZZ, max_examples=examples(600))
@given(call=calls("request"))
def test_request_arguments_follow_the_rules(client, call):
    check_request(client, *call)


@settings(FUZZ, max_examples=examples(300))
@given(call=calls("create_session"))
def test_create_session_arguments_follow_the_rules(client, call):
    args, kwargs = call
    want = ref.expected("create_session", args, kwargs)
    # A failing engine start keeps the valid cases cheap: nothing is registered.
    ctl.fail_next_engine_starts(1, ENGINE_START_FAILURE)
    try:
        with ctl.journal() as j:
            got = outcome(lambda: client.create_session(*args, **kwargs))
    finally:
        ctl.fail_next_engine_starts(0, 0)
    assert client.list_sessions() == []
    if isinstance(want, ref.Refused):
        assert_refused_like(got, want, call)
        assert not j.lines, "a refused call reached Cronet"
        return
    rules = want.values["proxy_rules"]
    if rules is not None and b"\0" in rules:
        assert got[0] == "raise" and type(got[1]).__name__ == "PanicException", (call, got)
        assert str(got[1]).startswith("Invalid proxy string")
        return
    assert got == ("ok", ""), (call, got)
    lines = j.lines
    proxy_calls = [l for l in lines if l.startswith("Cronet_EngineParams_proxy_rules_set(")]
    expect_proxy = [] if rules is None else [
        f"Cronet_EngineParams_proxy_rules_set({ref.journal_quote(rules)})"]
    assert proxy_calls == expect_proxy
    skip_calls = [l for l in lines if l.startswith("Cronet_EngineParams_skip_cert_verify_set(")]
    assert skip_calls == (["Cronet_EngineParams_skip_cert_verify_set(true)"]
                          if want.values["skip_cert_verify"] else [])


@settings(FUZZ, max_examples=examples(300))
@given(call=calls("close_session"))
def test_close_session_arguments_follow_the_rules(client, call):
    args, kwargs = call
    want = ref.expected("close_session", args, kwargs)
    got = outcome(lambda: client.close_session(*args, **kwargs))
    if isinstance(want, ref.Refused):
        assert_refused_like(got, want, call)
    else:
        assert got == ("ok", False), (call, got)


@settings(FUZZ, max_examples=examples(50))
@given(args=st.lists(anything, max_size=3),
       kwargs=st.dictionaries(st.sampled_from(["a", "session_id"]), anything, max_size=2))
def test_list_sessions_takes_nothing(client, args, kwargs):
    want = ref.expected_list_sessions(args, kwargs)
    got = outcome(lambda: client.list_sessions(*args, **kwargs))
    if isinstance(want, ref.Refused):
        assert_refused_like(got, want, (args, kwargs))
    else:
        assert got == ("ok", [])


# --- hand-picked hostile objects, run through the same model --------------------------

HOSTILE = [
    ("request", ("s", "http://127.0.0.1:1/", "GET"), {"headers": Seq([], len_exc=user(Boom("len")))}),
    ("request", ("s", "http://127.0.0.1:1/", "GET"), {"headers": Seq([], iter_exc=user(Boom("it")))}),
    ("request", ("s", "u", "GET"), {"headers": Seq([("a", "b")] * 3, iter_exc=user(TypeError("mid")),
                                                   fail_after=2)}),
    ("request", ("s", "u", "GET"), {"headers": Seq([], iter_exc=user(TypeErrorChild("c")))}),
    ("request", ("s", "u", "GET"), {"headers": BadIter()}),
    ("request", ("s", "u", "GET"), {"headers": [TupleSubLying(("a", "b", "c"))]}),
    ("request", ("s", "u", "GET"), {"headers": [("a", PretendStr())]}),
    ("request", ("s", "u", "GET"), {"headers": [(StrSubLying("X-A"), "\udc80")]}),
    ("request", ("s", "u", "GET"), {"headers": iter([("a", "b")])}),
    ("request", ("s", "u", "GET"), {"headers": {"a": "b"}}),
    ("request", ("s", "u", "GET"), {"headers": "ab"}),
    ("request", ("s", "u", "GET"), {"headers": [Outer.Inner()]}),
    ("request", ("s", "u", "GET"), {"body": [Raising(user(Boom("idx")), ("index",))]}),
    ("request", ("s", "u", "GET"), {"body": [Raising(user(TypeError("idx")), ("index",))]}),
    ("request", ("s", "u", "GET"), {"body": [Raising(user(TypeErrorChild("idx")), ("index",))]}),
    ("request", ("s", "u", "GET"), {"body": [Indexable(2**80)]}),
    ("request", ("s", "u", "GET"), {"body": [2**63]}),
    ("request", ("s", "u", "GET"), {"body": [-2**63 - 1]}),
    ("request", ("s", "u", "GET"), {"body": [256]}),
    ("request", ("s", "u", "GET"), {"body": [-1]}),
    ("request", ("s", "u", "GET"), {"body": [Colour.BIG]}),
    ("request", ("s", "u", "GET"), {"body": [IntSub(7), IntSub(300)]}),
    ("request", ("s", "u", "GET"), {"body": [Indexable(1.0)]}),
    ("request", ("s", "u", "GET"), {"body": Seq([1, 2, 3], iter_exc=user(ValueError("v")), fail_after=1)}),
    ("request", ("s", "u", "GET"), {"body": GetItemOnly([1, 2, 256])}),
    ("request", ("s", "u", "GET"), {"body": range(250, 260)}),
    ("request", ("s", "u", "GET"), {"body": "text"}),
    ("request", ("\udcff", "u", "GET"), {}),
    ("request", (StrSub("s"), PretendStr(), "GET"), {}),
    ("request", (None, None, None), {}),
    ("create_session", (), {"timeout_ms": IntSub(2**64)}),
    ("create_session", (), {"timeout_ms": Indexable(-1)}),
    ("create_session", (), {"timeout_ms": Raising(user(Boom("t")), ("index",))}),
    ("create_session", (), {"timeout_ms": Raising(user(TypeError("t")), ("index",))}),
    ("create_session", (), {"timeout_ms": 1.0}),
    ("create_session", ("\ud800",), {}),
    ("create_session", (b"rules",), {}),
    ("create_session", (None, Outer.Inner()), {}),
    ("create_session", (None, fake_numpy_bool("bool_")), {}),
    ("create_session", (None, fake_numpy_bool("bool", _truth(1))), {}),
    ("create_session", (None, fake_numpy_bool("bool", _truth_raises(user(TypeError("t"))))), {}),
    ("close_session", (PretendStr(),), {}),
    ("close_session", ("\udfff",), {}),
]


@pytest.mark.parametrize("method,args,kwargs", HOSTILE)
def test_hostile_arguments_follow_the_rules(client, method, args, kwargs):
    if method == "request":
        check_request(client, args, kwargs)
    else:
        want = ref.expected(method, args, kwargs)
        assert isinstance(want, ref.Refused)
        assert_refused_like(outcome(lambda: getattr(client, method)(*args, **kwargs)), want,
                            (method, args, kwargs))
    assert client.list_sessions() == []


def test_length_is_asked_at_most_once(client):
    class Counting(Seq):
        asked = 0

        def __len__(self):
            self.asked += 1
            return super().__len__()

    headers, body = Counting([("a", "b")]), Counting([1, 2])
    with pytest.raises(RuntimeError, match="^Failed to send request"):
        client.request("s", "http://127.0.0.1:1/", "GET", headers=headers, body=body)
    assert headers.asked <= 1 and body.asked <= 1


# --- converted values reach the server unchanged ------------------------------------

token = st.text(alphabet="abcdefghijklmnopqrstuvwxyz0123456789!#$%&'*+-.^_`|~", min_size=1,
                max_size=8)
header_value = st.text(st.characters(blacklist_categories=("Cs", "Cc", "Zl", "Zp", "Zs")),
                       min_size=1, max_size=16)
byte_list = st.binary(max_size=300)
body_forms = st.sampled_from([
    bytes, bytearray, list, tuple, memoryview, GetItemOnly,
    lambda b: [IntSub(x) for x in b], lambda b: [Indexable(x) for x in b],
    lambda b: [numpy.uint8(x) for x in b], lambda b: Seq(b, len_exc=Boom("len")),
])
header_forms = st.sampled_from([
    list, tuple, GetItemOnly, lambda hs: [TupleSub(h) for h in hs],
    lambda hs: [(StrSub(n), StrSub(v)) for n, v in hs], lambda hs: Seq(hs, len_exc=Boom("len")),
])


def test_converted_values_reach_the_server(http_server):
    client = ZoDeruziDuzera()
    sid = client.create_session(timeout_ms=10000)

    @settings(FUZZ, max_examples=examples(60))
    @given(headers=st.lists(st.tuples(token.map(lambda t: "X-F-" + t), header_value),
                            max_size=6),
           header_form=header_forms, body=byte_list, body_form=body_forms)
    def check(headers, header_form, body, body_form):
        r = client.request(sid, http_server.url("/echo"), "POST", headers=header_form(headers),
                           body=body_form(body))
        assert r["status_code"] == 200
        got = json.loads(r["body"])
        assert base64.b64decode(got["body_b64"]) == body
        sent = [(n.lower(), v) for n, v in headers]
        assert [(n.lower(), v) for n, v in got["headers"] if n.lower().startswith("x-f-")] == sent

    try:
        check()
    finally:
        client.close_session(sid)
