"""DecimalResultProcessor: construction, process, the pickling refusal, garbage
collection."""

import abc
import copy
import decimal
import gc
import pickle
import types
import weakref

import pytest

from velmora.kestrine.processors import DecimalResultProcessor
from helpers import KeyText, assert_steady, debug_only, entry_names

MOD = "velmora.kestrine.processors"
CINIT = f"{MOD}.DecimalResultProcessor.__cinit__"
PROCESS = f"{MOD}.DecimalResultProcessor.process"
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"



class StrSub(str):
    pass


# ---------------------------------------------------------------------------
# Class layout


def test_type_layout():
    t = DecimalResultProcessor
    assert t.__module__ == MOD
    assert t.__qualname__ == t.__name__ == "DecimalResultProcessor"
    assert t.__bases__ == (object,)
    assert t.__doc__ is None
    assert "__init__" not in vars(t)
    assert type(vars(t)["__reduce__"]) is types.MethodDescriptorType
    assert type(vars(t)["__setstate__"]) is types.MethodDescriptorType


def test_no_attribute_dict_and_no_weak_references():
    p = DecimalResultProcessor(decimal.Decimal, "%f")
    with pytest.raises(AttributeError):
        p.type_ = int
    with pytest.raises(AttributeError):
        p.anything = 1
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(p)


# ---------------------------------------------------------------------------
# process


def test_decimal_rendering():
    p = DecimalResultProcessor(decimal.Decimal, "%.3f")
    assert p.process(1.23456) == decimal.Decimal("1.235")
    assert str(p.process(1.23456)) == "1.235"
    assert p.process(None) is None
    assert str(p.process(value=2)) == "2.000"
    assert str(DecimalResultProcessor.process(p, 0.5)) == "0.500"


@pytest.mark.parametrize(
    "fmt, value, text",
    [
        ("%d-%d", (1, 2), "1-2"),      # a tuple supplies several conversions
        ("%s", (7,), "7"),
        ("%s", "abc", "abc"),          # exact str value: plain formatting
        ("%r", [1], "[1]"),
        ("%(a)s", {"a": 5}, "5"),      # a mapping feeds named conversions
        ("plain", {}, "plain"),
    ],
)
def test_text_handed_to_type(fmt, value, text):
    seen = []

    def type_(arg):
        seen.append(arg)
        return ("result", arg)

    p = DecimalResultProcessor(type_, fmt)
    assert p.process(value) == ("result", text)
    assert seen == [text] and type(seen[0]) is str


def test_str_subclass_value_goes_through_the_operator():
    class Reflecting(str):
        def __rmod__(self, other):
            return f"rmod({other})"

    p = DecimalResultProcessor(lambda t: t, "%s!")
    assert p.process(Reflecting("x")) == "rmod(%s!)"
    # Without __rmod__ the subclass formats like str.
    assert p.process(StrSub("y")) == "y!"


@pytest.mark.parametrize(
    "fmt, value",
    [
        (None, 1.5),            # the operator's own TypeError for NoneType % float
        (None, "x"),
        ("%d", "not a number"),
        ("%d %d", 1),           # not enough arguments
        ("%d", (1, 2)),         # not all arguments converted
        ("%q", 1),              # unsupported format character
        ("%(a)s", 1),           # format requires a mapping
        ("%d-%d", (1,)),
        ("%", 1),               # incomplete format
    ],
)
def test_formatting_errors_are_the_interpreters(fmt, value):
    with pytest.raises(Exception) as expected:
        fmt % value
    p = DecimalResultProcessor(decimal.Decimal, fmt)
    with pytest.raises(expected.type) as excinfo:
        p.process(value)
    assert type(excinfo.value) is expected.type
    assert str(excinfo.value) == str(expected.value)
    assert entry_names(excinfo)[-1] == PROCESS


class RaisingRmod(str):
    def __rmod__(self, other):
        raise self.error


@pytest.mark.parametrize("fmt, dunder", [("%f", "__float__"), ("%d", "__index__"), ("%s", "__str__"),
                                         ("%s", "__rmod__")])
def test_error_from_value_formatting_code_passes_through(fmt, dunder):
    error = ArithmeticError("from " + dunder)

    def raising(self, *args):
        raise error

    if dunder == "__rmod__":
        value = RaisingRmod("x")
        value.error = error
    else:
        value = type("Bad", (), {dunder: raising})()
    p = DecimalResultProcessor(decimal.Decimal, fmt)
    with pytest.raises(ArithmeticError) as excinfo:
        p.process(value)
    assert excinfo.value is error
    assert entry_names(excinfo)[-2:] == [PROCESS, dunder if dunder == "__rmod__" else "raising"]


@pytest.mark.parametrize("fmt, value", [("%.3f", 1.23456), ("%.3f", float("nan")), ("%.3f", float("-inf")),
                                        ("%.3f", 1e300), ("%d", 2**200), ("%s", "1e-7")])
def test_decimal_of_the_formatted_text(fmt, value):
    result = DecimalResultProcessor(decimal.Decimal, fmt).process(value)
    assert type(result) is decimal.Decimal and str(result) == str(decimal.Decimal(fmt % value))


def test_error_from_type_passes_through_with_entry():
    p = DecimalResultProcessor(decimal.Decimal, "%s")
    with pytest.raises(decimal.InvalidOperation) as excinfo:
        p.process("not a number")
    assert PROCESS in entry_names(excinfo)

    error = KeyError("raised by type_")

    def type_(text):
        raise error

    p = DecimalResultProcessor(type_, "%s")
    with pytest.raises(KeyError) as excinfo:
        p.process(1)
    assert excinfo.value is error
    assert entry_names(excinfo)[-2:] == [PROCESS, "type_"]


@pytest.mark.parametrize("type_", [None, 5, "str"])
def test_non_callable_type_is_stored_and_fails_when_called(type_):
    p = DecimalResultProcessor(type_, "%s")
    assert p.process(None) is None
    with pytest.raises(TypeError, match=rf"^'{type(type_).__name__}' object is not callable$") as excinfo:
        p.process(1)
    assert entry_names(excinfo)[-1] == PROCESS


@pytest.mark.parametrize(
    "make_type",
    [
        pytest.param(lambda sink: sink.append, id="bound builtin method"),
        pytest.param(lambda sink: (lambda t: sink.append(t)), id="function"),
        pytest.param(lambda sink: (lambda t: (gc.collect(), sink.append(t))), id="function that collects"),
        pytest.param(lambda sink: type("Bound", (), {"m": lambda self, t: sink.append(t)})().m, id="bound method"),
        pytest.param(lambda sink: type("Cls", (), {"__init__": lambda self, t: sink.append(t)}), id="class"),
        pytest.param(
            lambda sink: type("Call", (), {"__call__": lambda self, *a, **k: sink.append((a, k))})(),
            id="instance with __call__"),
    ],
)
def test_type_called_with_exactly_one_positional_argument(make_type):
    sink = []
    p = DecimalResultProcessor(make_type(sink), "<%s>")
    p.process(3)
    assert sink in (["<3>"], [(("<3>",), {})])


def test_recursion_through_type_is_guarded():
    class Again:
        def __call__(self, text):
            return p.process(text)

    p = DecimalResultProcessor(Again(), "%s")
    with pytest.raises(RecursionError):
        p.process(1)


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((decimal.Decimal, "%.2f"), {}),
        ((decimal.Decimal,), {"format_": "%.2f"}),
        ((), {"type_": decimal.Decimal, "format_": "%.2f"}),
        ((), {"format_": "%.2f", "type_": decimal.Decimal}),
    ],
)
def test_constructor_binds_positionally_and_by_keyword(args, kwargs):
    p = DecimalResultProcessor(*args, **kwargs)
    assert str(p.process(1)) == "1.00"


def test_format_none_is_accepted():
    p = DecimalResultProcessor(decimal.Decimal, None)
    assert p.process(None) is None
    with pytest.raises(TypeError, match="unsupported operand"):
        p.process(1)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__cinit__() takes exactly 2 positional arguments (0 given)"),
        ((decimal.Decimal,), {}, "__cinit__() takes exactly 2 positional arguments (1 given)"),
        ((), {"type_": decimal.Decimal}, "__cinit__() takes exactly 2 positional arguments (1 given)"),
        ((), {"format_": "%s"}, "__cinit__() takes exactly 2 positional arguments (0 given)"),
        ((decimal.Decimal, "%s", 3), {}, "__cinit__() takes exactly 2 positional arguments (3 given)"),
        ((decimal.Decimal,), {"fmt": "%s"}, "__cinit__() got an unexpected keyword argument 'fmt'"),
        ((decimal.Decimal, "%s"), {"fmt": "%s"}, "__cinit__() got an unexpected keyword argument 'fmt'"),
        ((decimal.Decimal,), {"type_": int}, "__cinit__() got multiple values for keyword argument 'type_'"),
        ((decimal.Decimal,), {"type_": int, "format_": "%s"},
         "__cinit__() got multiple values for keyword argument 'type_'"),
        ((decimal.Decimal, "%s"), {"format_": "%s"},
         "__cinit__() got multiple values for keyword argument 'format_'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        DecimalResultProcessor(*args, **kwargs)
    assert str(excinfo.value) == message
    assert entry_names(excinfo)[-1] == CINIT


@pytest.mark.parametrize(
    "fmt, tname",
    [(StrSub("%s"), "StrSub"), (KeyText("%s"), "KeyText"), (b"%s", "bytes"), (3, "int"), (3.5, "float"), (["%s"], "list")],
)
def test_format_must_be_exactly_str(fmt, tname):
    with pytest.raises(TypeError) as excinfo:
        DecimalResultProcessor(decimal.Decimal, fmt)
    assert str(excinfo.value) == f"Expected str, got {tname}"
    assert entry_names(excinfo)[-1] == CINIT
    with pytest.raises(TypeError, match=f"^Expected str, got {tname}$"):
        DecimalResultProcessor(type_=decimal.Decimal, format_=fmt)


def test_failed_construction_releases_the_type():
    class Marker:
        pass

    marker = Marker()
    ref = weakref.ref(marker)
    with pytest.raises(TypeError):
        DecimalResultProcessor(marker, 1)
    del marker
    gc.collect()
    assert ref() is None


def test_subclass():
    class Sub(DecimalResultProcessor):
        def __init__(self, type_, format_):
            self.extra = format_

    s = Sub(decimal.Decimal, "%.1f")
    assert s.extra == "%.1f"
    assert str(s.process(2)) == "2.0"
    assert str(DecimalResultProcessor.process(s, 3)) == "3.0"
    with pytest.raises(TypeError, match=REFUSAL):
        pickle.dumps(s)


def test_abstract_subclass_is_refused_by_object():
    class Abstract(DecimalResultProcessor, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def missing(self):
            pass

    with pytest.raises(TypeError, match="abstract"):
        Abstract(decimal.Decimal, "%s")


def test_subclass_finaliser_runs_once():
    calls = []

    class Finalised(DecimalResultProcessor):
        def __del__(self):
            calls.append(self.process(1))

    f = Finalised(str, "<%s>")
    del f
    gc.collect()
    assert calls == ["<1>"]


# ---------------------------------------------------------------------------
# Pickling refusal


@pytest.mark.parametrize(
    "attempt",
    [
        pytest.param(lambda p: pickle.dumps(p, protocol), id=f"pickle-{protocol}")
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
    ]
    + [
        pytest.param(copy.copy, id="copy"),
        pytest.param(copy.deepcopy, id="deepcopy"),
        pytest.param(lambda p: copy.deepcopy([p]), id="deepcopy-nested"),
        pytest.param(lambda p: p.__reduce__(), id="__reduce__"),
        pytest.param(lambda p: p.__reduce_ex__(2), id="__reduce_ex__"),
    ],
)
def test_pickling_and_copying_refuse(attempt):
    p = DecimalResultProcessor(decimal.Decimal, "%s")
    with pytest.raises(TypeError) as excinfo:
        attempt(p)
    assert str(excinfo.value) == REFUSAL
    assert entry_names(excinfo)[-1] == f"{MOD}.DecimalResultProcessor.__reduce__"


@pytest.mark.parametrize("state", [{"type_": int}, None])
def test_setstate_refuses(state):
    p = DecimalResultProcessor(decimal.Decimal, "%s")
    with pytest.raises(TypeError) as excinfo:
        p.__setstate__(state)
    assert str(excinfo.value) == REFUSAL
    assert entry_names(excinfo)[-1] == f"{MOD}.DecimalResultProcessor.__setstate__"
    assert str(p.process(1)) == "1"  # unchanged


@pytest.mark.parametrize(
    "call, message, entry",
    [
        (lambda p: p.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)", None),
        (lambda p: p.__reduce__(x=1), "__reduce__() got an unexpected keyword argument 'x'", None),
        (lambda p: p.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)",
         "__setstate__"),
        (lambda p: p.__setstate__(1, 2), "__setstate__() takes exactly 1 positional argument (2 given)",
         "__setstate__"),
        (lambda p: p.__setstate__(1, bogus=2), "__setstate__() got an unexpected keyword argument 'bogus'",
         "__setstate__"),
    ],
)
def test_refusal_methods_bind_their_arguments_first(call, message, entry):
    p = DecimalResultProcessor(decimal.Decimal, "%s")
    with pytest.raises(TypeError) as excinfo:
        call(p)
    assert str(excinfo.value) == message
    names = entry_names(excinfo)
    if entry is None:
        # A function without parameters adds no entry for its binding errors.
        assert not any(n.startswith(MOD) for n in names)
    else:
        assert names[-1] == f"{MOD}.DecimalResultProcessor.{entry}"


# ---------------------------------------------------------------------------
# Garbage collection


def test_traverse_visits_type_only():
    class Conv:
        pass

    conv = Conv()
    p = DecimalResultProcessor(conv, "%s")
    assert gc.get_referents(p) == [conv]
    assert gc.is_tracked(p)


def test_cycle_through_type_is_collected():
    class Conv:
        def __call__(self, text):
            return text

    conv = Conv()
    conv.owner = DecimalResultProcessor(conv, "%s")
    assert conv.owner.process(4) == "4"
    ref = weakref.ref(conv)
    del conv
    gc.collect()
    assert ref() is None


@debug_only
def test_no_reference_leaks():
    def exercise():
        p = DecimalResultProcessor(decimal.Decimal, "%.2f")
        p.process(1.5)
        p.process(None)
        p.process(value=2)
        DecimalResultProcessor(type_=str, format_="%d-%d").process((1, 2))
        for bad in (lambda: DecimalResultProcessor(str, 1), lambda: DecimalResultProcessor(str),
                    lambda: DecimalResultProcessor(str, "%s", fmt=1), lambda: p.process("x"),
                    lambda: DecimalResultProcessor(None, "%s").process(1),
                    lambda: DecimalResultProcessor(str, None).process(1),
                    lambda: pickle.dumps(p), lambda: p.__setstate__(1),
                    lambda: DecimalResultProcessor.process(1, 2)):
            try:
                bad()
            except Exception:
                pass

    assert_steady(exercise)
