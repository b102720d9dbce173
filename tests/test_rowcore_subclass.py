"""Interpreted subclasses of BaseRow: their attribute lookup and construction
take native shortcuts while the class keeps BaseRow's own hooks, and every
later change to the class is honoured."""

import abc
import functools
import operator
import pickle

import pytest

from velmora.kestrine.rowcore import BaseRow, rowproxy_reconstructor

KM = {"a": 0, "b": 1}


class Parent:
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
    row = BaseRow(Parent(), None, KM, (1, 2))
    assert type(BaseRow.__dict__["__getattribute__"]).__name__ == "method_descriptor"
    assert row.__getattribute__("b") == 2 and row.__getattribute__("_data") == (1, 2)
    with pytest.raises(AttributeError):
        row.__getattribute__("zz")


def test_subclass_reads_keys_and_attributes_and_asks_parent_twice_on_a_miss():
    Row = fresh_class()
    parent = Parent()
    row = Row(parent, None, KM, (1, 2))
    assert (row.a, row.b, row._data, row._parent) == (1, 2, (1, 2), parent)
    with pytest.raises(AttributeError):
        row.zz
    assert parent.misses == [("zz", True), ("zz", True)]
    assert getattr(row, "zz", 7) == 7


def test_later_assignments_to_the_subclass_are_honoured():
    Row = fresh_class()
    row = Row(Parent(), None, KM, (1, 2))
    Row.__getattr__ = lambda self, name: "getattr " + name
    assert row.zz == "getattr zz" and row.b == 2
    del Row.__getattr__
    Row.__getattribute__ = lambda self, name: "getattribute " + name
    assert row.b == "getattribute b"
    del Row.__getattribute__
    assert row.b == 2

    Row.__init__ = lambda self, *args: BaseRow.__init__(self, Parent(), None, KM, (7, 8))
    assert Row(0).a == 7
    del Row.__init__
    Row.__new__ = staticmethod(lambda cls, *args: "made by __new__")
    assert Row(Parent(), None, KM, (1, 2)) == "made by __new__"
    del Row.__new__
    assert Row(Parent(), None, KM, (3, 4)).a == 3


def test_assignment_to_an_intermediate_class_reaches_its_subclasses():
    Base = fresh_class()
    Leaf = type("Leaf", (Base,), {"__slots__": ()})
    row = Leaf(Parent(), None, KM, (1, 2))
    assert row.b == 2
    Base.__getattr__ = lambda self, name: "base " + name
    assert row.zz == "base zz"


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
    assert Row(Parent(), None, KM, (1, 2)).b == 2
    with pytest.raises(TypeError, match=r"^Bad\.__init_subclass__\(\) takes no keyword arguments$"):
        type("Bad", (BaseRow,), {}, flag=1)


def test_subclass_whose_init_subclass_skips_super_behaves_the_same():
    class Quiet(BaseRow):
        __slots__ = ()

        def __init_subclass__(cls, **kwargs):
            pass

    class Row(Quiet):
        __slots__ = ()

    parent = Parent()
    row = Row(parent, None, KM, (5, 6))
    assert row.b == 6 and not hasattr(row, "zz")
    assert parent.misses == [("zz", True), ("zz", True)]


def test_abstract_subclass_still_refuses_instances():
    class Row(BaseRow, abc.ABC):
        @abc.abstractmethod
        def f(self): ...

    with pytest.raises(TypeError, match="abstract"):
        Row(Parent(), None, KM, (1, 2))


def test_failed_construction_drops_the_new_row():
    dropped = []
    Row = type("Row", (BaseRow,), {"__del__": lambda self: dropped.append(1)})
    with pytest.raises(TypeError, match="expected dict, got list"):
        Row(Parent(), None, [], ())
    with pytest.raises(IndexError):
        Row(Parent(), [str, str], KM, (1,))
    assert dropped == [1, 1]
    assert Row(parent=Parent(), processors=None, key_to_index=KM, data=(9,)).a == 9


@pytest.mark.parametrize("cls", [BaseRow, fresh_class()], ids=["BaseRow", "subclass"])
def test_rows_built_by_their_own_processors_stop_at_the_recursion_limit(cls):
    # Only native code between the levels: nothing but the row's own guard
    # stops the descent.
    nested = []
    nested.append(nested)
    processors = []
    processors.append(functools.partial(cls, Parent(), processors, None))
    with pytest.raises(RecursionError):
        cls(Parent(), processors, None, nested)


def test_subclass_property_reading_itself_natively_stops_at_the_recursion_limit():
    Row = fresh_class(x=property(operator.attrgetter("x")))
    with pytest.raises(RecursionError):
        Row(Parent(), None, KM, (1, 2)).x


def test_pickling_honours_an_instance_attribute_and_class_overrides():
    Row = type("Row", (BaseRow,), {})
    row = Row(Parent(), None, KM, (1, 2))
    row.__dict__["__getstate__"] = lambda: {"_parent": Parent(), "_data": ("own",)}
    assert row.__reduce__()[1][1]["_data"] == ("own",)

    Slotted = fresh_class(__setstate__=lambda self, state: BaseRow.__setstate__(self, {**state, "_data": (0,)}))
    assert rowproxy_reconstructor(Slotted, {"_parent": Parent(), "_data": (1, 2)})._data == (0,)


def test_pickle_round_trip_of_a_module_level_subclass():
    row = Plain(Parent(), None, KM, (1, 2))
    back = pickle.loads(pickle.dumps(row))
    assert type(back) is Plain and back._data == (1, 2) and back.b == 2 and back._key_to_index == KM


class Plain(BaseRow):
    __slots__ = ()



def test_mapping_view_subscription_is_the_key_lookup_and_follows_reassignment():
    import traceback

    View = fresh_class(__getitem__=BaseRow._get_by_key_impl_mapping)
    parent = Parent()
    view = View(parent, None, KM, (1, 2))
    assert view["b"] == 2
    with pytest.raises(KeyError) as info:
        view[0]
    assert parent.misses == [(0, False)]
    names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)][1:]
    assert names == ["velmora.kestrine.rowcore.BaseRow._get_by_key_impl_mapping",
                     "velmora.kestrine.rowcore.BaseRow._get_by_key_impl", "_key_not_found"]
    View.__getitem__ = lambda self, key: ("own", key)
    assert view["b"] == ("own", "b")
    del View.__getitem__
    assert view[1] == 2


def test_traceback_entries_stay_right_when_their_frames_are_reused():
    import traceback

    row = BaseRow(Parent(), None, KM, (1, 2))

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
