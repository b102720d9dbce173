"""Rows handed objects that run code in the middle of an operation and change
the row or its inputs there. Each case must end in a clean value or a clean
exception; the debug interpreter (3.14d) also checks reference counts."""

import gc

import pytest
from helpers import LenientParent, Parent

from velmora.kestrine.rowcore import BaseRow, tuplegetter


def fresh_map():
    # Built at run time so that the row's reference is the only one.
    return {"a": 0, "b": 1}


class ReinitKey:
    """A key whose __hash__ or __eq__ re-initialises the row it is looked up in."""

    def __init__(self, row, where, new_map=None, new_data=(7, 8)):
        self.row, self.where, self.new_map, self.new_data = row, where, new_map, new_data

    def _reinit(self):
        row, self.row = self.row, None
        if row is not None:
            row.__init__(None, None, self.new_map, self.new_data)
            gc.collect()

    def __hash__(self):
        if self.where == "hash":
            self._reinit()
        return hash("a")

    def __eq__(self, other):
        if self.where == "eq":
            self._reinit()
        return other == "a"


@pytest.mark.parametrize("where", ["hash", "eq"])
@pytest.mark.parametrize("new_map", [None, {}, {"a": 1}])
def test_key_replacing_the_map_during_lookup(where, new_map):
    row = BaseRow(Parent(), None, fresh_map(), [1, 2])
    key = ReinitKey(row, where, new_map)
    # The lookup finishes on the map it started with; the values are read
    # afterwards, so they are the new ones.
    assert row._get_by_key_impl_mapping(key) == 7
    assert row._data == (7, 8) and row._key_to_index is new_map


def test_key_clearing_the_map_during_lookup():
    class Clearing:
        def __hash__(self):
            row._key_to_index.clear()
            return hash("a")

        def __eq__(self, other):
            return other == "a"

    p = LenientParent()
    row = BaseRow(p, None, fresh_map(), (1, 2))
    assert row._get_by_key_impl_mapping(Clearing()) is None
    assert len(p.misses) == 1


class ReinitInt:
    def __init__(self, action):
        self.action = action

    def __int__(self):
        self.action()
        return 1


@pytest.mark.parametrize(
    "new_data, outcome",
    [((5, 6, 7), 6), ((5,), IndexError), (None, TypeError)],
)
def test_int_reinitialising_the_row(new_data, outcome):
    row = BaseRow(Parent(), None, None, ())

    def reinit():
        if new_data is None:
            row.__init__(None, None, None, ())
            BaseRow.__setstate__(row, {"_parent": Parent({}), "_data": None})
        else:
            row.__init__(None, None, None, list(new_data))
        gc.collect()

    row.__init__(Parent(), None, {"k": ReinitInt(reinit)}, [1, 2])
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            row._get_by_key_impl_mapping("k")
    else:
        assert row._get_by_key_impl_mapping("k") == outcome


def test_int_mutating_the_parent():
    kti = {}
    p = Parent(kti)

    def mutate():
        p._key_to_index = None
        p.__dict__.clear()
        kti.clear()

    kti["k"] = ReinitInt(mutate)
    row = BaseRow(p, None, kti, ("x", "y"))
    assert row.k == "y"
    assert kti == {}


def test_key_not_found_reinitialising_the_row():
    class Reinit:
        _key_to_index = None

        def _key_not_found(self, key, as_attribute):
            row.__init__(None, None, None, ())
            gc.collect()
            return "ignored"

    row = BaseRow(Reinit(), None, fresh_map(), [1, 2])
    assert row.missing is None
    assert row._parent is None and row._data == ()


def test_key_not_found_dropping_its_parent():
    class Vanishing:
        def _key_not_found(self, key, as_attribute):
            row.__init__(None, None, {}, ())
            gc.collect()
            raise KeyError(key)

    row = BaseRow(Vanishing(), None, {}, ())
    with pytest.raises(KeyError):
        row._get_by_key_impl_mapping("x")


@pytest.mark.parametrize("mutate", ["clear_data", "shrink_data", "clear_processors", "grow_processors"])
def test_processor_mutating_its_inputs(mutate):
    data = [1, 2, 3]
    processors = [None, None, None]

    def proc(value):
        if mutate == "clear_data":
            data.clear()
        elif mutate == "shrink_data":
            del data[1:]
        elif mutate == "clear_processors":
            processors.clear()
        else:
            processors.extend([str] * 1000)
        gc.collect()
        return value

    processors[0] = proc
    row = BaseRow(None, None, None, ())
    if mutate == "grow_processors":
        # The count is taken once: the added processors are not applied.
        row.__init__(None, processors, None, data)
        assert row._data == (1, 2, 3)
    else:
        with pytest.raises(IndexError):
            row.__init__(None, processors, None, data)
        assert row._data == ()


def test_processor_reinitialising_the_row_mid_loop():
    def proc(value):
        row.__init__(None, None, None, ("other",))
        gc.collect()
        return value * 10

    row = BaseRow(None, None, None, ())
    row.__init__(None, [proc, proc], None, (1, 2))
    assert row._data == (10, 20)


def test_old_field_release_reentering_init():
    class Reentrant:
        def __del__(self):
            row.__init__("from del", None, None, ("del",))

    row = BaseRow(Reentrant(), None, None, ())
    row.__init__("new", None, {}, ("new",))
    # The finalizer ran once the new parent was stored; the outer call then
    # went on with the key map and the values.
    assert row._parent == "from del" and row._key_to_index == {} and row._data == ("new",)


def test_index_reinitialising_during_subscription():
    class Index:
        def __index__(self):
            row.__init__(None, None, None, ())
            gc.collect()
            return 1

    row = BaseRow(None, None, None, [1, 2])
    assert row[Index()] == 2
    assert row._data == ()


def test_hash_of_a_value_reinitialising_the_row():
    class Value:
        def __hash__(self):
            row.__init__(None, None, None, ())
            gc.collect()
            return 5

    row = BaseRow(None, None, None, [Value(), 1])
    # The tuple being hashed stays alive although the row let go of it.
    assert hash(row) == hash((5, 1)) and row._data == ()


def test_setstate_with_hostile_parent_attribute():
    class Parent2:
        @property
        def _key_to_index(self):
            row.__init__(None, None, None, ("inner",))
            gc.collect()
            return {"z": 0}

    row = BaseRow(None, None, None, ())
    row.__setstate__({"_parent": Parent2(), "_data": ("outer",)})
    assert row._key_to_index == {"z": 0} and row._data == ("inner",)


def test_tuplegetter_positions_changing_during_contiguity_test():
    class Shifty(int):
        def __sub__(self, other):
            gc.collect()
            return int(self) - other

    assert tuplegetter(0, Shifty(1), Shifty(2))(("a", "b", "c")) == ("a", "b", "c")
