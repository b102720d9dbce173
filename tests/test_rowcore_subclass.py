"""Interpreted subclasses of BaseRow: their attribute lookup and construction
take native shortcuts while the class keeps BaseRow's own hooks, and every
later change to the class is honoured."""

import abc
import functools
import operator

import pytest

from helpers import Parent, entry_names
from velmora.kestrine.rowcore import BaseRow

KM = {"a": 0, "b": 1, "k": 0}


class MapParent:
    """A parent whose key map is a class attribute (it survives pickling as
    the class's), reporting attribute misses as AttributeError."""

    _key_to_index = KM

    def __init__(self):
        self.misses = []

    def _key_not_found(self, key, as_attribute):
        self.misses.append((key, as_attribute))
        raise (AttributeError if as_attribute else KeyError)(key)


def fresh_class(**namespace):
    # A new class per test: the tests assign to it.
    return type("Row", (BaseRow,), {"__slots__": (), **namespace})


def test_base_getattribute_is_a_method_doing_the_attribute_lookup():
    row = BaseRow(MapParent(), None, KM, (1, 2))
    assert type(BaseRow.__dict__["__getattribute__"]).__name__ == "method_descriptor"
    assert row.__getattribute__("b") == 2 and row.__getattribute__("_data") == (1, 2)
    with pytest.raises(AttributeError):
        row.__getattribute__("zz")


def attempt(call):
    try:
        return ("value", call())
    except Exception as exc:  # the kind of failure is the point
        return ("raises", type(exc))


class Quiet(BaseRow):
    __slots__ = ()

    def __init_subclass__(cls, **kwargs):
        pass  # no super(): the class still gets the row's shortcuts


MISS = ("raises", AttributeError)
SHAPES = {
    "slotted": lambda: fresh_class(),
    "with instance dict": lambda: type("Row", (BaseRow,), {}),
    "own __getattr__": lambda: fresh_class(__getattr__=lambda self, name: ("own", name)),
    "__init_subclass__ without super": lambda: type("Row", (Quiet,), {"__slots__": ()}),
    "slotted, parent raising KeyError": lambda: fresh_class(),
}


# (class shape, parent, outcome of reading a missing attribute, the parent's
# calls for it): without a __getattr__ of its own the class asks the parent
# from its attribute slot and again from BaseRow.__getattr__, which the
# interpreter calls after an AttributeError only.
@pytest.mark.parametrize("shape, parent, outcome, misses", [
    ("slotted", MapParent, MISS, [("zz", True)] * 2),
    ("with instance dict", MapParent, MISS, [("zz", True)] * 2),
    ("own __getattr__", MapParent, ("value", ("own", "zz")), [("zz", True)]),
    ("__init_subclass__ without super", MapParent, MISS, [("zz", True)] * 2),
    ("slotted, parent raising KeyError", lambda: Parent(KM), ("raises", KeyError), [("zz", True)]),
], ids=lambda v: v if isinstance(v, str) else None)
def test_subclass_reads_keys_and_attributes_and_asks_the_parent_on_a_miss(shape, parent, outcome, misses):
    Row = SHAPES[shape]()
    p = parent()
    row = Row(p, None, KM, (1, 2))
    assert (row.a, row.b, row._data, row._parent) == (1, 2, (1, 2), p)
    assert attempt(lambda: row.zz) == outcome
    assert p.misses == misses
    if outcome == MISS:
        p.misses.clear()
        assert getattr(row, "zz", 7) == 7 and not hasattr(row, "zz")
        assert p.misses == misses * 2


def made_a(cls):
    made = cls(MapParent(), None, KM, (3, 4))
    return made if type(made) is str else made.a


# (attribute assigned to the class, value, what is read, before, after)
CHANGES = {
    "__getattr__": (lambda self, name: "getattr " + name, lambda cls, row: (attempt(lambda: row.zz), row.b),
                    (MISS, 2), (("value", "getattr zz"), 2)),
    "__getattribute__": (lambda self, name: "getattribute " + name, lambda cls, row: row.b, 2, "getattribute b"),
    "k property": (property(lambda self: "property"), lambda cls, row: row.k, 1, "property"),
    "k value": ("inherited", lambda cls, row: row.k, 1, "inherited"),
    "__init__": (lambda self, *args: BaseRow.__init__(self, MapParent(), None, KM, (7, 8)),
                 lambda cls, row: attempt(lambda: cls(0).a), ("raises", TypeError), ("value", 7)),
    "__new__": (staticmethod(lambda cls, *args: "made by __new__"), lambda cls, row: made_a(cls), 3,
                "made by __new__"),
}


@pytest.mark.parametrize("where", ["class", "intermediate class"])
@pytest.mark.parametrize("change", CHANGES)
def test_later_assignments_to_the_class_are_honoured(change, where):
    value, read, before, after = CHANGES[change]
    name = change.split()[0]
    Base = fresh_class()
    Row = Base if where == "class" else type("Leaf", (Base,), {"__slots__": ()})
    row = Row(MapParent(), None, KM, (1, 2))
    assert read(Row, row) == before
    # Twice: a class that has taken its shortcuts back takes them again.
    for _ in range(2):
        setattr(Base, name, value)
        assert read(Row, row) == after
        delattr(Base, name)
        assert read(Row, row) == before


def test_metaclass_call_is_honoured():
    class Meta(type):
        def __call__(cls, *args, **kwargs):
            return ("called", args)

    class Row(BaseRow, metaclass=Meta):
        pass

    assert Row(1, 2) == ("called", (1, 2))


def test_init_subclass_passes_keywords_on_and_refuses_unknown_ones():
    seen = []

    class Mixin:
        def __init_subclass__(cls, **kwargs):
            seen.append(kwargs)
            super().__init_subclass__()

    class Row(BaseRow, Mixin, flag=1):
        __slots__ = ()

    assert seen == [{"flag": 1}]
    assert Row(MapParent(), None, KM, (1, 2)).b == 2
    with pytest.raises(TypeError, match=r"^Bad\.__init_subclass__\(\) takes no keyword arguments$"):
        type("Bad", (BaseRow,), {}, flag=1)


def abstract_with_abc_base():
    class Row(BaseRow, abc.ABC):
        @abc.abstractmethod
        def f(self): ...
    return Row


def abstract_with_metaclass():
    class Row(BaseRow, metaclass=abc.ABCMeta):
        __slots__ = ()

        @abc.abstractmethod
        def f(self): ...
    return Row


@pytest.mark.parametrize("make", [abstract_with_abc_base, abstract_with_metaclass])
@pytest.mark.parametrize("construct", [lambda Row: Row(MapParent(), None, KM, (1, 2)), lambda Row: Row.__new__(Row)],
                         ids=["call", "__new__"])
def test_abstract_subclass_still_refuses_instances(make, construct):
    with pytest.raises(TypeError, match="abstract"):
        construct(make())


def test_failed_construction_drops_the_new_row():
    dropped = []
    Row = type("Row", (BaseRow,), {"__del__": lambda self: dropped.append(1)})
    with pytest.raises(TypeError, match="expected dict, got list"):
        Row(MapParent(), None, [], ())
    with pytest.raises(IndexError):
        Row(MapParent(), [str, str], KM, (1,))
    assert dropped == [1, 1]
    assert Row(parent=MapParent(), processors=None, key_to_index=KM, data=(9,)).a == 9


@pytest.mark.parametrize("cls", [BaseRow, fresh_class()], ids=["BaseRow", "subclass"])
def test_rows_built_by_their_own_processors_stop_at_the_recursion_limit(cls):
    # Only native code between the levels: nothing but the row's own guard
    # stops the descent.
    nested = []
    nested.append(nested)
    processors = []
    processors.append(functools.partial(cls, MapParent(), processors, None))
    with pytest.raises(RecursionError):
        cls(MapParent(), processors, None, nested)


def test_subclass_property_reading_itself_natively_stops_at_the_recursion_limit():
    Row = fresh_class(x=property(operator.attrgetter("x")))
    with pytest.raises(RecursionError):
        Row(MapParent(), None, KM, (1, 2)).x


def test_mapping_view_subscription_is_the_key_lookup_and_follows_reassignment():
    View = fresh_class(__getitem__=BaseRow._get_by_key_impl_mapping)
    parent = MapParent()
    view = View(parent, None, KM, (1, 2))
    assert view["b"] == 2
    with pytest.raises(KeyError) as info:
        view[0]
    assert parent.misses == [(0, False)]
    assert entry_names(info)[1:] == ["velmora.kestrine.rowcore.BaseRow._get_by_key_impl_mapping",
                                     "velmora.kestrine.rowcore.BaseRow._get_by_key_impl", "_key_not_found"]
    View.__getitem__ = lambda self, key: ("own", key)
    assert view["b"] == ("own", "b")
    del View.__getitem__
    assert view[1] == 2


def test_traceback_entries_stay_right_when_their_frames_are_reused():
    import traceback

    row = BaseRow(MapParent(), None, KM, (1, 2))

    def entries(exc):
        return [(e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)][1:]

    with pytest.raises(AttributeError) as first:
        row.zz
    kept = first.value
    for frame, _ in traceback.walk_tb(kept.__traceback__):
        if frame.f_code.co_name.startswith("velmora."):
            frame.clear()
    with pytest.raises(AttributeError) as second:
        row.yy
    with pytest.raises(AttributeError) as third:
        row.xx
    assert entries(kept) == entries(second.value) == entries(third.value)
    assert [name for name, _ in entries(kept)][:2] == [
        "velmora.kestrine.rowcore.BaseRow.__getattr__", "velmora.kestrine.rowcore.BaseRow._get_by_key_impl"]
    assert str(second.value) == "yy" and str(third.value) == "xx"
