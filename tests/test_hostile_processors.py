"""Hostile input for velmora.kestrine.processors: dunder methods that raise,
return the wrong type, recurse or collect garbage mid-call, class-level names
rebound to misbehaving doubles, and every wrong way of calling. Each case must
end in a value or a clean exception; the leak hunt (tools/refleak.py) reruns
all of them on the debug interpreter and the sanitizer build runs them under
ASan, which is where a mishandled reference would show."""

import gc
import warnings

import pytest

from helpers import Boom, KeyText, call_raw, entry_names
from velmora.kestrine import processors as P

CONVERTERS = ["int_to_boolean", "to_str", "to_float", "str_to_datetime", "str_to_time", "str_to_date"]


def conv(name):
    return getattr(P, name)


def raiser(*a, **k):
    raise Boom("boom")


class Dunder:
    """An object whose named dunder runs `action` (raise, return junk,
    collect garbage...) when the converter touches it."""

    def __init__(self, action):
        self.action = action


def with_dunder(name, action):
    cls = type("Hostile", (Dunder,), {name: lambda self, *a: self.action(self)})
    return cls(action)


def collect_then(value):
    def action(self):
        gc.collect()
        return value
    return action


# ---------------------------------------------------------------------------
# dunders that raise, return odd types or run the collector

@pytest.mark.parametrize("func, dunder, action, expected", [
    ("int_to_boolean", "__bool__", raiser, Boom),
    ("int_to_boolean", "__bool__", lambda self: 1, TypeError),
    ("int_to_boolean", "__bool__", lambda self: None, TypeError),
    ("int_to_boolean", "__bool__", collect_then(True), True),
    ("int_to_boolean", "__len__", raiser, Boom),
    ("int_to_boolean", "__len__", lambda self: -1, ValueError),
    ("int_to_boolean", "__len__", lambda self: 2**70, OverflowError),
    ("int_to_boolean", "__len__", lambda self: "x", TypeError),
    ("int_to_boolean", "__len__", collect_then(0), False),
    ("to_str", "__str__", raiser, Boom),
    ("to_str", "__str__", lambda self: 5, TypeError),
    ("to_str", "__str__", lambda self: b"bytes", TypeError),
    ("to_str", "__str__", collect_then("ok"), "ok"),
    ("to_float", "__float__", raiser, Boom),
    ("to_float", "__float__", lambda self: "1.0", TypeError),
    ("to_float", "__float__", lambda self: 1, TypeError),
    ("to_float", "__float__", collect_then(2.5), 2.5),
    ("to_float", "__index__", raiser, Boom),
    ("to_float", "__index__", lambda self: 1.5, TypeError),
    ("to_float", "__index__", lambda self: 2**2000, OverflowError),
    ("to_float", "__index__", collect_then(7), 7.0),
])
def test_dunder_misbehaves(func, dunder, action, expected):
    f = conv(func)
    obj = with_dunder(dunder, action)
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected):
            f(obj)
        # The converter's frame is on the traceback of what it propagates.
        try:
            f(obj)
        except expected as e:
            assert f"velmora.kestrine.processors.{func}" in entry_names(e)
    else:
        r = f(obj)
        assert r == expected and type(r) is type(expected)


def test_float_subclass_from_dunder_matches_float():
    class F(float):
        pass

    class Odd:
        def __float__(self):
            return F(1.5)

    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        r = P.to_float(Odd())
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        e = float(Odd())
    assert r == e and type(r) is type(e)
    assert [w.category for w in ours] == [w.category for w in theirs]
    # Turned into an error, the deprecation propagates cleanly.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning):
            P.to_float(Odd())


@pytest.mark.parametrize("func", ["int_to_boolean", "to_str", "to_float"])
def test_recursion_through_the_converter_ends_in_recursion_error(func):
    f = conv(func)
    dunder = {"int_to_boolean": "__bool__", "to_str": "__str__", "to_float": "__float__"}[func]

    class Deep:
        def method(self):
            return f(Deep())

    setattr(Deep, dunder, Deep.method)
    with pytest.raises(RecursionError):
        f(Deep())
    # The interpreter is still usable afterwards.
    assert f(None) is None


# ---------------------------------------------------------------------------
# ISO parsers with misbehaving classes bound in the module namespace

class Reentrant:
    """A stand-in for the datetime classes whose fromisoformat misbehaves."""

    def __init__(self, name, behaviour):
        self.name = name
        self.behaviour = behaviour

    def fromisoformat(self, value):
        return self.behaviour(self, value)


def drop_own_binding(self, value):
    # The class deletes itself from the module and collects while the
    # converter is still running with it.
    delattr(P, self.name)
    gc.collect()
    return ("dropped", value)


def rebind_and_collect(self, value):
    setattr(P, self.name, Reentrant(self.name, lambda s, v: "inner"))
    gc.collect()
    return getattr(P, self.name).fromisoformat(value)


def recurse(self, value):
    return getattr(P, "str_to_" + self.name[:-4])(value)


@pytest.mark.parametrize("func, cls_name", [
    ("str_to_datetime", "datetime_cls"), ("str_to_time", "time_cls"), ("str_to_date", "date_cls")])
@pytest.mark.parametrize("behaviour, expected", [
    (lambda s, v: None, None),
    (drop_own_binding, ("dropped", "2024-01-01")),
    (rebind_and_collect, "inner"),
    (recurse, RecursionError),
])
def test_iso_parser_with_misbehaving_class(monkeypatch, func, cls_name, behaviour, expected):
    f = conv(func)
    monkeypatch.setattr(P, cls_name, Reentrant(cls_name, behaviour))
    if isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected):
            f("2024-01-01")
    else:
        assert f("2024-01-01") == expected
    assert f(None) is None


# ---------------------------------------------------------------------------
# DecimalResultProcessor with types, keyword names and finalisers that run code

def drp():
    return P.DecimalResultProcessor


def test_process_type_that_drops_the_processor():
    D = drp()
    holder = []

    def type_(text):
        # The processor's last outside reference goes away while it runs.
        holder.clear()
        gc.collect()
        return text

    holder.append(D(type_, "%s"))
    assert holder[0].process(3) == "3"


def test_constructor_keyword_dicts_that_are_not_plain():
    D = drp()
    for kwargs in ({1: str}, {"type_": str, "format_": "%s", 2: 3}):
        with pytest.raises(TypeError):
            call_raw(D, (), kwargs)
    names = [KeyText("type_"), KeyText("format_")]
    for name in names:
        name.mode = "collect"
    p = D(**dict(zip(names, [str, "%s"])))
    assert p.process(1) == "1"


def test_subclass_with_finaliser_that_resurrects():
    D = drp()
    saved = []

    class Sub(D):
        def __del__(self):
            saved.append(self)

    Sub(str, "%s")
    gc.collect()
    assert len(saved) == 1 and saved[0].process(4) == "4"
    saved.clear()
    gc.collect()
