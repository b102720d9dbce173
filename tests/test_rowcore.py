"""BaseRow: construction, length/iteration/hash, value export, element access
by position, key and attribute."""

import gc
import weakref

import pytest

from velmora.kestrine import rowcore
from velmora.kestrine.rowcore import BaseRow
from helpers import (AttrParent, Boom, LenientParent, Parent, assert_entries, assert_no_entry, assert_steady,
                     debug_only)


def make(data=(10, 20), key_to_index=None, processors=None, parent=None):
    if key_to_index is None:
        key_to_index = {"a": 0, "b": 1, "last": -1}
    parent = parent if parent is not None else Parent(key_to_index)
    return BaseRow(parent, processors, key_to_index, data)


# ---------------------------------------------------------------------------
# Module and type


def test_type_shape():
    assert BaseRow.__module__ == "velmora.kestrine.rowcore"
    assert BaseRow.__qualname__ == BaseRow.__name__ == "BaseRow"
    assert BaseRow.__bases__ == (object,)
    assert BaseRow.__doc__ is None
    assert BaseRow.__init__.__doc__ == "Row objects are constructed by CursorResult objects."
    row = make()
    assert not hasattr(BaseRow(AttrParent(), None, {}, ()), "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(row)


def test_getattr_is_builtin_method_of_one_argument():
    row = make()
    assert type(BaseRow.__dict__["__getattr__"]).__name__ == "method_descriptor"
    assert row.__getattr__("b") == 20
    with pytest.raises(TypeError):
        row.__getattr__()
    with pytest.raises(TypeError):
        row.__getattr__("a", "b")


# ---------------------------------------------------------------------------
# Construction


def test_fields_are_stored_by_reference():
    kti = {"a": 0, "b": 1}
    data = (1, 2)
    p = Parent(kti)
    row = BaseRow(p, None, kti, data)
    assert row._data is data and row._key_to_index is kti and row._parent is p
    assert len(row) == 2 and list(row) == [1, 2] and bool(row)
    assert BaseRow(p, None, kti, data)._key_to_index is kti
    assert row.__init__(p, None, kti, data) is None


@pytest.mark.parametrize(
    "processors, data, expected",
    [
        (None, [1, 2], (1, 2)),
        (None, lambda: (x for x in (1, 2)), (1, 2)),  # a fresh generator each run
        (False, range(3), (0, 1, 2)),
        ([], (1, 2, 3), (1, 2, 3)),
        ([None, str], (1, 2), (1, "2")),
        ((None, str), [1, 2], (1, "2")),
        ([str], (1, 2, 3), ("1",)),
        ([lambda v: None, None], (1, 2), (None, 2)),
        ({0: str, 1: None}, {0: 5, 1: 6}, ("5", 6)),
    ],
)
def test_processors(processors, data, expected):
    row = make(data=data() if callable(data) else data, processors=processors)
    assert row._data == expected and type(row._data) is tuple


def test_unchanged_values_still_make_a_new_tuple():
    data = (1, 2)
    assert make(data=data, processors=[None, None])._data is not data
    sub = type("T", (tuple,), {})((1, 2))
    assert type(make(data=sub)._data) is tuple


def test_processor_is_called_with_one_positional_argument():
    calls = []

    class Proc:
        def process(self, value):
            calls.append(value)
            return value * 2

    row = make(data=(3, 4), processors=[Proc().process, None])
    assert row._data == (6, 4) and calls == [3]


def test_init_reinitialises():
    row = make()
    kti = {"z": 0}
    row.__init__(None, None, kti, [9])
    assert row._parent is None and row._key_to_index is kti and row._data == (9,)


def test_new_gives_empty_row_and_ignores_arguments():
    row = BaseRow.__new__(BaseRow, 1, 2, x=3)
    assert row._parent is None and row._key_to_index is None and row._data is None
    assert hash(row) == hash(None)
    assert row._to_tuple_instance() is None
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$") as e:
        bool(row)
    assert_entries(e, "BaseRow.__len__")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2, None), {}, r"__init__\(\) takes exactly 4 positional arguments \(3 given\)"),
        ((1, 2, None, (), 5), {}, r"__init__\(\) takes exactly 4 positional arguments \(5 given\)"),
        ((), {"parent": 1}, r"__init__\(\) takes exactly 4 positional arguments \(1 given\)"),
        ((1, None), {"data": ()}, r"__init__\(\) takes exactly 4 positional arguments \(2 given\)"),
        ((1, None, None, ()), {"parent": 1}, r"__init__\(\) got multiple values for keyword argument 'parent'"),
        ((1, None, None), {"x": 1}, r"__init__\(\) got an unexpected keyword argument 'x'"),
    ],
)
def test_init_binding_errors(args, kwargs, message):
    row = make()
    before = (row._parent, row._key_to_index, row._data)
    with pytest.raises(TypeError, match="^" + message + "$") as e:
        row.__init__(*args, **kwargs)
    assert_entries(e, "BaseRow.__init__")
    assert (row._parent, row._key_to_index, row._data) == before


def test_init_by_keyword():
    kti = {"a": 0}
    row = BaseRow(data=[1], key_to_index=kti, processors=None, parent=3)
    assert row._data == (1,) and row._key_to_index is kti and row._parent == 3


@pytest.mark.parametrize("kti, shown", [([], "list"), (type("D", (dict,), {})(), "D")])
def test_key_map_must_be_exact_dict(kti, shown):
    row = make()
    before = (row._parent, row._key_to_index, row._data)
    with pytest.raises(TypeError) as e:
        row.__init__(Parent(), None, kti, ())
    assert str(e.value) == f"Argument 'key_to_index' has incorrect type (expected dict, got {shown})"
    assert_no_entry(e)
    assert (row._parent, row._key_to_index, row._data) == before


def test_key_map_sealedmap_is_refused():
    sealedmap = pytest.importorskip("velmora.kestrine.sealedmap")
    if not hasattr(sealedmap, "sealedmap"):
        pytest.skip("sealedmap not built yet")
    with pytest.raises(TypeError) as e:
        BaseRow(None, None, sealedmap.sealedmap(), ())
    assert str(e.value).endswith("got velmora.kestrine.sealedmap.sealedmap)")


class RaisingBool:
    def __bool__(self):
        raise Boom


class RaisingLen(list):
    def __bool__(self):
        return True

    def __len__(self):
        raise Boom


class RaisingItem(list):
    def __getitem__(self, i):
        raise Boom


def raising_processor(value):
    raise Boom


@pytest.mark.parametrize(
    "processors, data, exc, entries",
    [
        (RaisingBool(), (), Boom, ["BaseRow.__init__"]),
        (None, 5, TypeError, ["BaseRow.__init__"]),
        (RaisingLen([str]), (1,), Boom, ["BaseRow.__init__", "_apply_processors"]),
        (RaisingItem([str]), (1,), Boom, ["BaseRow.__init__", "_apply_processors"]),
        ([str], RaisingItem([1]), Boom, ["BaseRow.__init__", "_apply_processors"]),
        ([str, str, str], (1, 2), IndexError, ["BaseRow.__init__", "_apply_processors"]),
        ([raising_processor], (1,), Boom, ["BaseRow.__init__", "_apply_processors"]),
    ],
)
def test_init_failures_keep_data(processors, data, exc, entries):
    old = (1,)
    row = make(data=old)
    p, kti = Parent(), {}
    with pytest.raises(exc) as e:
        row.__init__(p, processors, kti, data)
    assert_entries(e, *entries)
    assert row._parent is p and row._key_to_index is kti and row._data is old


# ---------------------------------------------------------------------------
# Length, iteration, hash, value export


def test_empty_row_is_false():
    assert not BaseRow(None, None, None, ())


def test_iteration_and_hash_failures():
    row = BaseRow.__new__(BaseRow)
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$") as e:
        iter(row)
    assert_entries(e, "BaseRow.__iter__")
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$") as e:
        row._values_impl()
    assert_entries(e, "BaseRow._values_impl", "BaseRow.__iter__")
    with pytest.raises(TypeError, match="unhashable type: 'list'") as e:
        hash(make(data=([1],)))
    assert_entries(e, "BaseRow.__hash__")


def test_hash_ignores_parent_and_identity_equality():
    a = make(parent=Parent())
    b = make(parent=Parent())
    assert hash(a) == hash(b) == hash((10, 20))
    assert a != b and a == a
    with pytest.raises(TypeError):
        a < b


def test_value_export():
    row = make()
    v1, v2 = row._values_impl(), row._values_impl()
    assert v1 == [10, 20] and v1 is not v2
    assert row._to_tuple_instance() is row._data

    class Reversed(BaseRow):
        __slots__ = ()

        def __iter__(self):
            return reversed(self._data)

    assert Reversed(None, None, None, (1, 2))._values_impl() == [2, 1]


@pytest.mark.parametrize("field", ["_parent", "_key_to_index", "_data"])
def test_fields_are_read_only(field):
    row = make()
    before = getattr(row, field)
    with pytest.raises(AttributeError):
        setattr(row, field, (1,))
    with pytest.raises(AttributeError):
        delattr(row, field)
    assert getattr(row, field) is before


def test_gc_traverse_and_cycle_collection():
    class Row(BaseRow):
        pass

    kti = {"a": 0}
    data = (1,)
    p = Parent(kti)
    assert gc.get_referents(BaseRow(p, None, kti, data)) == [p, kti, data]
    assert gc.get_referents(BaseRow.__new__(BaseRow)) == [None, None, None]
    row = Row(p, None, kti, data)
    p.row = row
    ref = weakref.ref(row)
    del row, p
    gc.collect()
    assert ref() is None


def test_gc_clear_sets_fields_to_none():
    # A cycle through a plain BaseRow (no dict, no weakref) is collected too:
    # the parent holds the row, the row holds the parent.
    p = Parent()
    row = BaseRow(p, None, None, ())
    p.row = row
    probe = weakref.ref(p)
    del row, p
    gc.collect()
    assert probe() is None


# ---------------------------------------------------------------------------
# Subscription


def test_subscription():
    row = make()
    assert row[0] == 10 and row[-1] == 20 and row[True] == 20
    assert row[0:1] == (10,) and type(row[0:1]) is tuple
    assert row[::-1] == (20, 10)
    import operator

    assert operator.getitem(row, 2**70 - 2**70) == 10


@pytest.mark.parametrize(
    "key, exc, message",
    [
        ("a", TypeError, "tuple indices must be integers or slices, not str"),
        (2, IndexError, "tuple index out of range"),
        (-3, IndexError, "tuple index out of range"),
    ],
)
def test_subscription_errors(key, exc, message):
    with pytest.raises(exc, match=message) as e:
        make()[key]
    assert_entries(e, "BaseRow.__getitem__")


def test_subscription_of_empty_row():
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$") as e:
        BaseRow.__new__(BaseRow)[0]
    assert_entries(e, "BaseRow.__getitem__")


def test_sequence_protocol_goes_through_mapping_subscription():
    import ctypes

    get = ctypes.pythonapi.PySequence_GetItem
    get.restype = ctypes.py_object
    get.argtypes = [ctypes.py_object, ctypes.c_ssize_t]
    assert get(make(), 1) == 20 and get(make(), -1) == 20

    class Shifted(BaseRow):
        __slots__ = ()

        def __getitem__(self, i):
            return ("sub", i)

    assert get(Shifted(None, None, None, (1,)), 0) == ("sub", 0)


# ---------------------------------------------------------------------------
# Key access


def test_key_access():
    row = make()
    assert row._get_by_key_impl_mapping("b") == 20
    assert row._get_by_key_impl_mapping(key="a") == 10
    assert row.b == 20 and row.last == 20 and row.__getattr__("a") == 10


@pytest.mark.parametrize(
    "position, expected",
    [(True, 20), (2.9, 30), (-1, 30), (-3, 10), (-(2**31), IndexError), (5, IndexError), (-4, IndexError)],
)
def test_positions(position, expected):
    row = make(data=(10, 20, 30), key_to_index={"k": position})
    if isinstance(expected, type):
        with pytest.raises(expected, match="^tuple index out of range$") as e:
            row._get_by_key_impl_mapping("k")
        assert_entries(e, "BaseRow._get_by_key_impl_mapping", "BaseRow._get_by_key_impl")
    else:
        assert row._get_by_key_impl_mapping("k") == expected


class OnlyIndex:
    def __index__(self):
        return 0


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSub(int):
    pass


class RaisingInt:
    def __int__(self):
        raise Boom


@pytest.mark.parametrize(
    "position, exc, message",
    [
        ("1", TypeError, "an integer is required"),
        (OnlyIndex(), TypeError, "an integer is required"),
        (IntReturns("x"), TypeError, r"__int__ returned non-int \(type str\)"),
        (2**31, OverflowError, "value too large to convert to int"),
        (-(2**31) - 1, OverflowError, "value too large to convert to int"),
        (IntReturns(2**40), OverflowError, "value too large to convert to int"),
        (2**64, OverflowError, None),
        (RaisingInt(), Boom, None),
    ],
)
def test_position_conversion_errors(position, exc, message):
    row = make(key_to_index={"k": position})
    for call, caller in [
        (lambda: row._get_by_key_impl_mapping("k"), "BaseRow._get_by_key_impl_mapping"),
        (lambda: row.k, "BaseRow.__getattr__"),
    ]:
        with pytest.raises(exc, match=message) as e:
            call()
        assert_entries(e, caller, "BaseRow._get_by_key_impl")


def test_int_returning_int_subclass_warns():
    row = make(key_to_index={"k": IntReturns(IntSub(1))})
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSub\)\.  The ability"):
        assert row._get_by_key_impl_mapping("k") == 20
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as e:
            row._get_by_key_impl_mapping("k")
    assert_entries(e, "BaseRow._get_by_key_impl_mapping", "BaseRow._get_by_key_impl")


def test_int_subclass_position_is_used_by_value():
    class Odd(int):
        def __int__(self):
            return 0

        def __index__(self):
            return 0

    assert make(key_to_index={"k": Odd(1)})._get_by_key_impl_mapping("k") == 20


@pytest.mark.parametrize("mapped", [False, True])
def test_miss_goes_to_parent(mapped):
    kti = {"a": 0, "missing": None} if mapped else {"a": 0}
    p = Parent(kti)
    row = BaseRow(p, None, kti, (1,))
    with pytest.raises(KeyError) as e:
        row._get_by_key_impl_mapping("missing")
    assert_entries(e, "BaseRow._get_by_key_impl_mapping", "BaseRow._get_by_key_impl")
    with pytest.raises(KeyError) as e:
        row.missing
    assert_entries(e, "BaseRow.__getattr__", "BaseRow._get_by_key_impl")
    with pytest.raises(KeyError) as e:
        row.__getattr__("missing")
    assert_entries(e, "BaseRow.__getattr__", "BaseRow._get_by_key_impl")
    assert p.misses == [("missing", False), ("missing", True), ("missing", True)]
    assert all(type(flag) is bool for _, flag in p.misses)


def test_miss_passes_key_object_itself():
    p = Parent({})
    row = BaseRow(p, None, {}, ())
    key = ("x",)
    with pytest.raises(KeyError):
        row._get_by_key_impl_mapping(key)
    assert p.misses[0][0] is key


def test_parent_returning_from_miss_gives_none():
    p = LenientParent()
    row = BaseRow(p, None, {}, ())
    assert row.missing is None and hasattr(row, "missing")
    assert row._get_by_key_impl_mapping("missing") is None


@pytest.mark.parametrize("parent", [None, object()])
def test_parent_without_miss_hook(parent):
    row = BaseRow(parent, None, {}, ())
    with pytest.raises(AttributeError, match="_key_not_found") as e:
        row._get_by_key_impl_mapping("x")
    assert_entries(e, "BaseRow._get_by_key_impl_mapping", "BaseRow._get_by_key_impl")
    assert getattr(row, "x", 7) == 7


def test_key_lookup_without_key_map():
    row = BaseRow.__new__(BaseRow)
    for call, caller in [
        (lambda: row._get_by_key_impl_mapping("a"), "BaseRow._get_by_key_impl_mapping"),
        (lambda: row.anything, "BaseRow.__getattr__"),
        (lambda: row.__getattr__("anything"), "BaseRow.__getattr__"),
    ]:
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'get'$") as e:
            call()
        assert_entries(e, caller, "BaseRow._get_by_key_impl")
    assert getattr(row, "anything", 7) == 7
    assert not hasattr(row, "anything")


def test_key_map_without_values():
    p = Parent()
    kti = {"a": 0}
    p._key_to_index = kti
    row = rowcore.rowproxy_reconstructor(BaseRow, {"_parent": p, "_data": None})
    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$") as e:
        row.a
    assert_entries(e, "BaseRow.__getattr__", "BaseRow._get_by_key_impl")
    with pytest.raises(KeyError):
        row._get_by_key_impl_mapping("b")
    assert p.misses == [("b", False)]


def test_unhashable_key():
    with pytest.raises(TypeError, match="unhashable type: 'list'") as e:
        make()._get_by_key_impl_mapping(["x"])
    assert_entries(e, "BaseRow._get_by_key_impl_mapping", "BaseRow._get_by_key_impl")


def test_key_comparison_raising():
    class Key:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            raise Boom

    with pytest.raises(Boom) as e:
        make()._get_by_key_impl_mapping(Key())
    assert_entries(e, "BaseRow._get_by_key_impl_mapping", "BaseRow._get_by_key_impl")


# ---------------------------------------------------------------------------
# Attribute slot


def test_real_attributes_shadow_keys():
    kti = {"_data": 0, "_parent": 0, "_key_to_index": 0, "_values_impl": 0, "__class__": 0}
    row = BaseRow(Parent(kti), None, kti, ("v",))
    assert row._data == ("v",) and row._key_to_index is kti and isinstance(row._parent, Parent)
    assert row._values_impl() == ["v"] and row.__class__ is BaseRow
    assert row.__getattr__("_data") == "v"
    assert row._get_by_key_impl_mapping("_values_impl") == "v"


def test_attribute_name_must_be_string():
    with pytest.raises(TypeError, match="attribute name must be string"):
        make().__getattribute__(5)


class SlotRow(BaseRow):
    __slots__ = ()
    plain = "class value"

    @property
    def prop(self):
        return "property"

    @property
    def broken(self):
        raise AttributeError("inner")

    @property
    def failing(self):
        raise Boom

    def method(self):
        return ("method", self._data)


def test_subclass_attributes_and_fallbacks():
    kti = {"a": 0, "prop": 0, "broken": 0, "plain": 0, "method": 0}
    row = SlotRow(Parent(kti), None, kti, ("v",))
    assert row.plain == "class value" and row.prop == "property" and row.method() == ("method", ("v",))
    assert row.broken == "v"  # the property's AttributeError falls back to the key
    assert row.a == "v"
    with pytest.raises(Boom):
        row.failing


def test_subclass_with_instance_dict():
    class Row(BaseRow):
        def method(self):
            return "method"

    kti = {"a": 0, "x": 0, "method": 0}
    p = AttrParent(kti)
    row = Row(p, None, kti, (1,))
    assert row.x == 1
    row.x = "instance"
    assert row.x == "instance" and row.__dict__ == {"x": "instance"}
    assert row.method() == "method"
    row.method = lambda: "shadow"
    assert row.method() == "shadow"
    del row.x
    assert row.x == 1
    assert getattr(row, "nope", None) is None
    weakref.ref(row)


def test_getattribute_override_is_used():
    class Row(BaseRow):
        __slots__ = ()

        def __getattribute__(self, name):
            if name == "special":
                return "special"
            return super().__getattribute__(name)

    kti = {"a": 0}
    row = Row(Parent(kti), None, kti, (1,))
    assert row.special == "special" and row.a == 1


def test_str_subclass_attribute_name():
    class Name(str):
        pass

    row = make()
    assert getattr(row, Name("b")) == 20
    assert getattr(row, Name("_data")) == (10, 20)


# ---------------------------------------------------------------------------
# Reference counts (debug interpreter)


@debug_only
def test_no_reference_leaks():
    kti = {"a": 0, "b": 1, "last": -1, "f": 1.5}
    p = LenientParent(kti)

    def work():
        row = BaseRow(p, [None, str], kti, [1, 2])
        row.a, row.b, row.last, row.f, row.missing, row[0], row[0:1], len(row), hash(row)
        row._get_by_key_impl_mapping("a"), row._values_impl(), row.__reduce__(), row.__getstate__()
        row.__setstate__({"_parent": p, "_data": (1,)})
        list(row)
        for bad in (lambda: row[5], lambda: row._get_by_key_impl_mapping([]), lambda: BaseRow(p, [str] * 3, kti, ())):
            try:
                bad()
            except Exception:
                pass
        rowcore.tuplegetter(0, 1), rowcore.tuplegetter(0, 2), rowcore.tuplegetter(-1)
        sub = SlotRow(p, None, kti, (1, 2))
        sub.a, sub.prop, sub.broken, sub.method()
        p.misses.clear()

    assert_steady(work)
