"""str_to_datetime, str_to_time and str_to_date: the class read from the module
namespace at call time, its fromisoformat, and the errors that pass through."""

import builtins
import datetime

import pytest

import velmora.kestrine.processors as processors
from helpers import Boom, assert_steady, debug_only, entry_names

MOD = "velmora.kestrine.processors"

# converter name, module-level class name, the class bound at import
PARSERS = [
    ("str_to_datetime", "datetime_cls", datetime.datetime),
    ("str_to_time", "time_cls", datetime.time),
    ("str_to_date", "date_cls", datetime.date),
]
SAMPLE = {"str_to_datetime": "2024-02-29T13:45:30", "str_to_time": "13:45", "str_to_date": "2024-02-29"}
parsers = pytest.mark.parametrize("fname, cls_name, cls", PARSERS, ids=[p[0] for p in PARSERS])



@pytest.fixture
def namespace(monkeypatch):
    """Rebinds/deletes module names and builtins through monkeypatch. At
    teardown, also when the test fails, the module namespace is put back
    exactly, order included: deleting and re-adding a name would otherwise
    move it to the end of the namespace."""
    ns = vars(processors)
    saved = list(ns.items())
    yield monkeypatch
    monkeypatch.undo()
    if list(ns.items()) != saved:
        ns.clear()
        ns.update(saved)
    for _, name, _ in PARSERS:
        assert not hasattr(builtins, name)


def test_module_names_are_the_datetime_classes():
    assert processors.datetime is datetime
    for _, cls_name, cls in PARSERS:
        assert getattr(processors, cls_name) is cls


@pytest.mark.parametrize(
    "fname, text, expected",
    [
        ("str_to_datetime", "2024-02-29T13:45:30", datetime.datetime(2024, 2, 29, 13, 45, 30)),
        ("str_to_datetime", "2024-02-29 13:45:30.5+02:00",
         datetime.datetime(2024, 2, 29, 13, 45, 30, 500000,
                           tzinfo=datetime.timezone(datetime.timedelta(hours=2)))),
        ("str_to_time", "13:45:30.125", datetime.time(13, 45, 30, 125000)),
        ("str_to_date", "2024-02-29", datetime.date(2024, 2, 29)),
    ],
)
def test_parses_iso_text(fname, text, expected):
    fn = getattr(processors, fname)
    # repr shows the exact type and, for datetimes, the time zone as well.
    assert repr(fn(text)) == repr(expected)
    assert repr(fn(value=text)) == repr(expected)


@parsers
def test_none_returns_before_any_lookup(namespace, fname, cls_name, cls):
    fn = getattr(processors, fname)
    assert fn(None) is None
    namespace.delattr(processors, cls_name)
    assert fn(None) is None
    assert fn(value=None) is None


@parsers
@pytest.mark.parametrize("bad", ["not a date", "2024-13-45T99:99", "", b"2024-02-29", 20240229, ["2024-02-29"]])
def test_errors_of_fromisoformat_pass_through(fname, cls_name, cls, bad):
    fn = getattr(processors, fname)
    with pytest.raises(Exception) as expected:
        cls.fromisoformat(bad)
    with pytest.raises(expected.type) as excinfo:
        fn(bad)
    assert type(excinfo.value) is expected.type
    assert str(excinfo.value) == str(expected.value)
    assert entry_names(excinfo)[-1] == f"{MOD}.{fname}"


@parsers
def test_rebinding_to_a_subclass_is_seen_by_the_next_call(namespace, fname, cls_name, cls):
    fn = getattr(processors, fname)
    text = SAMPLE[fname]
    sub = type("Sub", (cls,), {})
    namespace.setattr(processors, cls_name, sub)
    result = fn(text)
    assert type(result) is sub
    assert result == cls.fromisoformat(text)


@parsers
def test_name_and_attribute_are_looked_up_on_every_call(namespace, fname, cls_name, cls):
    fn = getattr(processors, fname)
    seen = []

    class Double:
        @classmethod
        def fromisoformat(klass, value):
            seen.append((klass, value))
            return "first"

    namespace.setattr(processors, cls_name, Double)
    marker = object()  # passed on untouched, no test of its type
    assert fn(marker) == "first"
    Double.fromisoformat = staticmethod(lambda value: ("second", value))
    assert fn(value=marker) == ("second", marker)
    assert seen == [(Double, marker)]

    # Any object with the attribute will do, not only classes.
    instance = Double()
    instance.fromisoformat = lambda value: ("instance", value)
    namespace.setattr(processors, cls_name, instance)
    assert fn("x") == ("instance", "x")


@parsers
def test_deleted_name_raises_name_error(namespace, fname, cls_name, cls):
    fn = getattr(processors, fname)
    namespace.delattr(processors, cls_name)
    with pytest.raises(NameError, match=rf"^name '{cls_name}' is not defined$") as excinfo:
        fn("2024-02-29")
    assert entry_names(excinfo)[-1] == f"{MOD}.{fname}"

    # The builtins module is the fallback of the lookup.
    namespace.setattr(builtins, cls_name, cls, raising=False)
    assert fn(value=SAMPLE[fname]) == cls.fromisoformat(SAMPLE[fname])
    # The module namespace wins over the builtins again once rebound.
    sub = type("Sub", (cls,), {})
    namespace.setattr(processors, cls_name, sub, raising=False)
    assert type(fn(SAMPLE[fname])) is sub


class NoIso:
    def __getattr__(self, name):
        if name == "fromisoformat":
            raise Boom(name)
        raise AttributeError(name)


# What stands where the class should, and the frames its failure adds below
# the converter's entry.
UNUSABLE = {
    "no attribute": (object(), []),
    "lookup raising": (NoIso(), ["__getattr__"]),
    "attribute not callable": (type("C", (), {"fromisoformat": 5})(), []),
    "attribute None": (type("C", (), {"fromisoformat": None})(), []),
    "a module": (datetime, []),
}


@parsers
@pytest.mark.parametrize("unusable", UNUSABLE, ids=UNUSABLE)
def test_unusable_class_fails_like_the_interpreted_call(namespace, fname, cls_name, cls, unusable):
    replacement, below = UNUSABLE[unusable]
    fn = getattr(processors, fname)
    with pytest.raises(Exception) as expected:
        replacement.fromisoformat("2024-02-29")
    namespace.setattr(processors, cls_name, replacement)
    with pytest.raises(expected.type) as excinfo:
        fn("2024-02-29")
    assert type(excinfo.value) is expected.type and str(excinfo.value) == str(expected.value)
    assert entry_names(excinfo)[-1 - len(below):] == [f"{MOD}.{fname}", *below]


@parsers
def test_exception_from_the_class_method_is_the_same_object(namespace, fname, cls_name, cls):
    fn = getattr(processors, fname)
    error = LookupError("from the double")

    class Raising:
        @staticmethod
        def fromisoformat(value):
            raise error

    namespace.setattr(processors, cls_name, Raising)
    with pytest.raises(LookupError) as excinfo:
        fn("x")
    assert excinfo.value is error
    names = entry_names(excinfo)
    # The converter's entry sits between the caller and the double's frame.
    assert names[-2:] == [f"{MOD}.{fname}", "fromisoformat"]


def test_class_method_descriptor_of_another_class_is_refused(namespace):
    descriptor = vars(datetime.datetime)["fromisoformat"]
    Foreign = type("Foreign", (), {"fromisoformat": descriptor})
    with pytest.raises(TypeError) as expected:
        Foreign.fromisoformat("2024-02-29T00:00")
    namespace.setattr(processors, "datetime_cls", Foreign)
    with pytest.raises(TypeError) as excinfo:
        processors.str_to_datetime("2024-02-29T00:00")
    assert str(excinfo.value) == str(expected.value)
    assert entry_names(excinfo)[-1] == f"{MOD}.str_to_datetime"


@parsers
def test_attribute_lookup_honours_the_metaclass_and_overrides(namespace, fname, cls_name, cls):
    fn = getattr(processors, fname)

    class Meta(type):
        @property
        def fromisoformat(klass):
            return lambda value: ("meta", klass.__name__, value)

    namespace.setattr(processors, cls_name, Meta("Intercepted", (cls,), {}))
    assert fn("x") == ("meta", "Intercepted", "x")

    class Overridden(cls):
        @classmethod
        def fromisoformat(klass, value):
            return ("override", klass, value)

    namespace.setattr(processors, cls_name, Overridden)
    assert fn("x") == ("override", Overridden, "x")


@debug_only
def test_no_reference_leaks(namespace):
    def exercise():
        for fname, _, _ in PARSERS:
            fn = getattr(processors, fname)
            fn(SAMPLE[fname])
            fn(None)
            for bad in ("nonsense", b"2024", 5):
                try:
                    fn(bad)
                except (ValueError, TypeError):
                    pass

    def round_trip():
        exercise()
        namespace.setattr(processors, "date_cls", type("Sub", (datetime.date,), {}))
        processors.str_to_date("2024-02-29")
        namespace.delattr(processors, "date_cls")
        try:
            processors.str_to_date("2024-02-29")
        except NameError:
            pass
        namespace.undo()

    assert_steady(round_trip)
