"""Rows pickled and copied: __reduce__, __getstate__, __setstate__ and
rowproxy_reconstructor."""

import copy
import pickle

import pytest
from helpers import AttrParent, Parent, assert_entries, assert_no_entry

from velmora.kestrine import rowcore
from velmora.kestrine.rowcore import BaseRow, rowproxy_reconstructor


class Row(BaseRow):
    __slots__ = ()


class DictRow(BaseRow):
    pass


class Custom(BaseRow):
    __slots__ = ()
    seen = []

    def __getstate__(self):
        return {"_parent": self._parent, "_data": ("custom",)}

    def __setstate__(self, state):
        self.seen.append(state)
        BaseRow.__setstate__(self, state)


class ClassMapParent:
    """A parent whose key map is a class attribute: pickled without it."""

    _key_to_index = {"a": 0, "b": 1}

    def _key_not_found(self, key, as_attribute):
        raise AttributeError(key)

    def __eq__(self, other):
        return type(other) is type(self)

    __hash__ = object.__hash__


def make(cls=Row, data=(1, 2), parent=AttrParent):
    # copy.deepcopy probes attributes such as __deepcopy__: the parent
    # reports a missing key as an AttributeError there, as the toolkit's does.
    kti = {"a": 0, "b": 1}
    p = ClassMapParent() if parent is ClassMapParent else parent(kti)
    return cls(p, None, p._key_to_index, data)


def test_reduce_and_state_values():
    row = make()
    state = row.__getstate__()
    assert state == {"_parent": row._parent, "_data": (1, 2)}
    assert list(state) == ["_parent", "_data"]
    assert state["_parent"] is row._parent and state["_data"] is row._data
    assert row.__getstate__() is not state
    state["_data"] = None
    assert row._data == (1, 2)
    assert row.__reduce__() == (rowproxy_reconstructor, (Row, {"_parent": row._parent, "_data": (1, 2)}))


def test_empty_row_reduces_with_none():
    row = BaseRow.__new__(BaseRow)
    assert row.__getstate__() == {"_parent": None, "_data": None}
    p = Parent({"x": 0})
    row.__setstate__({"_parent": p, "_data": None})
    assert row._data is None and row._key_to_index is p._key_to_index


@pytest.mark.parametrize("parent", [AttrParent, ClassMapParent])
@pytest.mark.parametrize("cls", [Row, DictRow, BaseRow])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(cls, protocol, parent):
    row = make(cls, parent=parent)
    back = pickle.loads(pickle.dumps(row, protocol))
    assert type(back) is cls
    assert back._data == (1, 2) and back._parent == row._parent and back._parent is not row._parent
    assert back._key_to_index is back._parent._key_to_index
    assert back.a == 1 and back.b == 2 and back._get_by_key_impl_mapping("b") == 2


@pytest.mark.parametrize("cls", [Row, DictRow])
def test_copy_and_deepcopy(cls):
    row = make(cls)
    shallow = copy.copy(row)
    assert type(shallow) is cls and shallow is not row
    assert shallow._parent is row._parent and shallow._data is row._data
    assert shallow._key_to_index is row._parent._key_to_index
    deep = copy.deepcopy(row)
    assert deep._parent is not row._parent and deep._key_to_index is deep._parent._key_to_index
    assert deep.b == 2


def test_pickle_refers_to_the_reconstructor_by_name():
    payload = pickle.dumps(make(), 0)
    assert b"velmora.kestrine.rowcore" in payload and b"rowproxy_reconstructor" in payload
    assert rowproxy_reconstructor.__reduce__() == "rowproxy_reconstructor"


def test_reconstructor_does_not_run_init():
    calls = []

    class Tracked(BaseRow):
        __slots__ = ()

        def __init__(self, *args):
            calls.append(args)

    p = Parent({"a": 0})
    row = rowproxy_reconstructor(Tracked, {"_parent": p, "_data": (5,), "extra": 1})
    assert type(row) is Tracked and calls == [] and row.a == 5


def shadow_by_attribute(row):
    row.__getstate__ = lambda: {"_parent": None, "_data": ("shadow",)}
    return {"_parent": None, "_data": ("shadow",)}


def shadow_by_dict_entry(row):
    row.__dict__["__getstate__"] = lambda: {"_parent": None, "_data": ("own",)}
    return {"_parent": None, "_data": ("own",)}


@pytest.mark.parametrize("cls, override", [
    (DictRow, shadow_by_attribute),
    (DictRow, shadow_by_dict_entry),
    (Custom, lambda row: {"_parent": row._parent, "_data": ("custom",)}),
], ids=["instance attribute", "instance dict entry", "class"])
def test_getstate_override_is_used(cls, override):
    row = make(cls)
    expected = override(row)
    assert row.__reduce__() == (rowproxy_reconstructor, (cls, expected))


def test_setstate_override_is_used():
    row = make(Custom)
    Custom.seen.clear()
    back = pickle.loads(pickle.dumps(row))
    assert back._data == ("custom",) and Custom.seen[0]["_data"] == ("custom",)

    def setstate(self, state):
        BaseRow.__setstate__(self, {**state, "_data": (0,)})

    Slotted = type("Slotted", (BaseRow,), {"__slots__": (), "__setstate__": setstate})
    assert rowproxy_reconstructor(Slotted, {"_parent": Parent({}), "_data": (1, 2)})._data == (0,)


def test_reduce_uses_the_class_attribute():
    class Liar(BaseRow):
        __slots__ = ()

        @property
        def __class__(self):
            return Row

    row = make(Liar)
    assert row.__reduce__()[1][0] is Row


def test_reduce_reads_the_module_name_at_call_time(monkeypatch):
    sentinel = object()
    monkeypatch.setattr(rowcore, "rowproxy_reconstructor", sentinel)
    assert make().__reduce__()[0] is sentinel
    monkeypatch.delattr(rowcore, "rowproxy_reconstructor")
    with pytest.raises(NameError, match="^name 'rowproxy_reconstructor' is not defined$") as e:
        make().__reduce__()
    assert_entries(e, "BaseRow.__reduce__")


@pytest.mark.parametrize("state, shown", [([], "list"), (type("D", (dict,), {})(_parent=1, _data=()), "D")])
def test_setstate_state_type(state, shown):
    with pytest.raises(TypeError) as e:
        make().__setstate__(state)
    assert str(e.value) == f"Argument 'state' has incorrect type (expected dict, got {shown})"
    assert_no_entry(e)


class NoMap:
    pass


class BadMap:
    _key_to_index = type("D", (dict,), {})()


def test_setstate_failures_and_partial_updates():
    row = make()
    old_parent, old_data, old_map = row._parent, row._data, row._key_to_index

    with pytest.raises(TypeError, match="^'NoneType' object is not subscriptable$") as e:
        row.__setstate__(None)
    assert_entries(e, "BaseRow.__setstate__")

    for state, missing in [({"_data": ()}, "_parent"), ({"_parent": old_parent}, "_data")]:
        with pytest.raises(KeyError) as e:
            row.__setstate__(state)
        assert e.value.args == (missing,)
        assert_entries(e, "BaseRow.__setstate__")

    p = Parent({})
    for data, shown in [([1], "list"), (type("T", (tuple,), {})(), "T")]:
        with pytest.raises(TypeError, match=rf"^Expected tuple, got {shown}$") as e:
            row.__setstate__({"_parent": p, "_data": data})
        assert_entries(e, "BaseRow.__setstate__")
        assert row._parent is p and row._data is old_data and row._key_to_index is old_map

    with pytest.raises(AttributeError, match="_key_to_index") as e:
        row.__setstate__({"_parent": NoMap(), "_data": (7,)})
    assert_entries(e, "BaseRow.__setstate__")
    assert type(row._parent) is NoMap and row._data == (7,) and row._key_to_index is old_map

    with pytest.raises(TypeError, match="^Expected dict, got D$") as e:
        row.__setstate__({"_parent": BadMap(), "_data": (8,)})
    assert row._data == (8,) and row._key_to_index is old_map


def test_reconstructor_errors_propagate():
    class BadNew:
        def __new__(cls):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError) as e:
        rowproxy_reconstructor(BadNew, {})
    assert_entries(e, "rowproxy_reconstructor")
    with pytest.raises(KeyError) as e:
        rowproxy_reconstructor(Row, {})
    assert_entries(e, "rowproxy_reconstructor", "BaseRow.__setstate__")
    with pytest.raises(AttributeError):
        rowproxy_reconstructor(object, {})


def test_attribute_parent_state_survives_pickling():
    kti = {"a": 0}
    row = Row(AttrParent(kti), None, kti, (1,))
    back = pickle.loads(pickle.dumps(row))
    assert getattr(back, "missing", "dflt") == "dflt"


# ---------------------------------------------------------------------------
# The pickling steps remember, per state of a class, whether its __class__,
# __getstate__, __setstate__ and __new__ are the originals. Every change that
# makes the interpreter's lookups find something else must be seen: each case
# changes a class hierarchy after its rows were pickled and compares the
# steps' results with what the interpreter's own lookups give.

CALLS = []


def getstate_override(self):
    CALLS.append("getstate")
    return {"_parent": self._parent, "_data": ("from override",)}


def setstate_override(self, state):
    CALLS.append(("setstate", state["_data"]))
    BaseRow.__setstate__(self, state)


def new_override(cls, *args):
    CALLS.append(("new", cls.__name__))
    return BaseRow.__new__(cls)


def getattribute_override(self, name):
    CALLS.append(("getattribute", name))
    return BaseRow.__getattribute__(self, name)


def state_hierarchy():
    base = type("Base", (BaseRow,), {"__slots__": ()})
    leaf = type("Leaf", (base,), {"__slots__": ()})
    alt = type("Alt", (BaseRow,), {"__slots__": (), "__getstate__": getstate_override,
                                    "__setstate__": setstate_override})
    liar = type("Liar", (BaseRow,), {"__slots__": (), "__class__": property(lambda s: alt)})
    return {"base": base, "leaf": leaf, "alt": alt, "liar": liar}


def reset_bases(cls, bases):
    cls.__bases__ = bases


STATE_MUTATIONS = {
    "__getstate__ on the class": lambda h: setattr(h["leaf"], "__getstate__", getstate_override),
    "__getstate__ on a base": lambda h: setattr(h["base"], "__getstate__", getstate_override),
    "__getstate__ assigned then deleted": lambda h: (setattr(h["base"], "__getstate__", getstate_override),
                                                     delattr(h["base"], "__getstate__")),
    "__setstate__ on a base": lambda h: setattr(h["base"], "__setstate__", setstate_override),
    "__new__ on a base": lambda h: setattr(h["base"], "__new__", staticmethod(new_override)),
    "__new__ assigned then deleted": lambda h: (setattr(h["leaf"], "__new__", staticmethod(new_override)),
                                                delattr(h["leaf"], "__new__")),
    "__class__ property from new bases": lambda h: reset_bases(h["leaf"], (h["liar"],)),
    "__getattribute__ on a base": lambda h: setattr(h["base"], "__getattribute__", getattribute_override),
    "__bases__ assigned": lambda h: reset_bases(h["leaf"], (h["alt"],)),
    "an unrelated attribute": lambda h: setattr(h["base"], "unrelated", 1),
}


def interpreted_reduce(row):
    return (rowcore.rowproxy_reconstructor, (row.__class__, row.__getstate__()))


def interpreted_reconstruct(cls, state):
    obj = cls.__new__(cls)
    obj.__setstate__(state)
    return obj


def copied(row):
    # copy.copy finds __reduce_ex__ and __reduce__ on the row first.
    result = copy.copy(row)
    CALLS[:] = [c for c in CALLS if c not in (("getattribute", "__reduce_ex__"), ("getattribute", "__reduce__"))]
    return result


def interpreted_copy(row):
    _, (cls, state) = interpreted_reduce(row)
    return interpreted_reconstruct(cls, state)


def observed(step, *args):
    """What a step returns and the overrides it ran, or the error it raised."""
    CALLS.clear()
    try:
        result = step(*args)
    except Exception as exc:  # noqa: BLE001 - the outcome itself is compared
        return ("error", type(exc), str(exc), list(CALLS))
    if isinstance(result, BaseRow):
        result = (type(result), result._parent, result._data, result._key_to_index)
    return (result, list(CALLS))


@pytest.mark.parametrize("mutate", STATE_MUTATIONS.values(), ids=STATE_MUTATIONS.keys())
@pytest.mark.parametrize("warm", [True, False], ids=["pickled before", "not pickled before"])
def test_a_change_to_the_class_is_seen_by_the_pickling_steps(mutate, warm):
    h = state_hierarchy()
    parent = Parent({"a": 0, "b": 1})
    row = h["leaf"](parent, None, parent._key_to_index, (1, 2))
    state = {"_parent": parent, "_data": (3, 4)}
    if warm:
        for _ in range(3):
            assert observed(row.__reduce__) == observed(interpreted_reduce, row)
            assert observed(rowproxy_reconstructor, h["leaf"], state) == observed(
                interpreted_reconstruct, h["leaf"], state)
            assert observed(copied, row) == observed(interpreted_copy, row)
    mutate(h)
    for _ in range(2):
        assert observed(row.__reduce__) == observed(interpreted_reduce, row)
        assert observed(rowproxy_reconstructor, h["leaf"], state) == observed(
            interpreted_reconstruct, h["leaf"], state)
        assert observed(copied, row) == observed(interpreted_copy, row)


class KeyStr(str):
    """A str subclass key: found by a lookup of the equal str through its own
    comparison."""

    __hash__ = str.__hash__


class NeverEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


def setstate_outcome(row, state):
    before = row._parent
    try:
        row.__setstate__(state)
    except Exception as exc:  # noqa: BLE001 - the outcome itself is compared
        return ("error", type(exc), str(exc), "old" if row._parent is before else row._parent, row._data)
    return (row._parent, row._data, row._key_to_index)


SP = Parent({"a": 0})

STATES = {
    "as made": {"_parent": SP, "_data": (1,)},
    "other order": {"_data": (1,), "_parent": SP},
    "extra key": {"_parent": SP, "_data": (1,), "x": 2},
    "extra key first": {"x": 2, "_parent": SP},
    "missing data": {"_parent": SP, "x": (1,)},
    "data of another type": {"_parent": SP, "_data": [1]},
    "str subclass keys": {KeyStr("_parent"): SP, KeyStr("_data"): (2,)},
    "keys that compare unequal": {NeverEqual("_parent"): SP, "_data": (2,)},
    "non-string key": {("_parent",): SP, "_data": (2,)},
    "look-alike keys": {"_parenT": SP, "_dat": (2,)},
    "non-ASCII keys": {"_parent\u00e9": SP, "_data": (2,)},
}


@pytest.mark.parametrize("state", STATES.values(), ids=STATES.keys())
def test_a_new_row_takes_the_state_as_one_already_set_does(state):
    # A new row (its fields None) reads the state in one pass; a row that
    # holds a parent looks each entry up.
    fresh = BaseRow.__new__(Row)
    held = BaseRow.__new__(Row)
    held.__setstate__({"_parent": Parent({}), "_data": None})
    assert setstate_outcome(fresh, dict(state)) == setstate_outcome(held, dict(state))
    assert observed(rowproxy_reconstructor, Row, dict(state)) == observed(interpreted_reconstruct, Row, dict(state))


def test_releasing_the_old_parent_between_the_lookups_may_change_the_state():
    state = {"_parent": Parent({}), "_data": (1,)}

    class Dropping:
        _key_to_index = None

        def __del__(self):
            del state["_data"]

    row = BaseRow.__new__(Row)
    row.__setstate__({"_parent": Dropping(), "_data": None})
    with pytest.raises(KeyError) as e:
        row.__setstate__(state)
    assert e.value.args == ("_data",) and row._parent is state["_parent"] and row._data is None
