"""A row's attribute read remembers what its type's lookup found for a name.
Every change that makes the interpreter forget a type must make the row forget
it too: each case below changes a class hierarchy of rows after its names were
read, does the same to an interpreted model of it, and compares what both read
afterwards."""

import sys
import warnings

import pytest

from velmora.kestrine.rowcore import BaseRow

KEYS = {"c": 0, "_data": 1, "col_long": 2, "x": None}
VALUES = ("key c", "key _data", "key col_long")
NAMES = ("c", "_data", "col_long", "x", "_parent")


class Parent:
    _key_to_index = KEYS

    def _key_not_found(self, key, as_attribute):
        raise AttributeError(f"no key {key!r}")


def key_lookup(self, name):
    # What BaseRow's key fallback does, in Python.
    position = object.__getattribute__(self, "km").get(name)
    if position is None:
        return object.__getattribute__(self, "parent")._key_not_found(name, True)
    return object.__getattribute__(self, "values")[position]


class ModelRow:
    """BaseRow's attribute lookup written in Python: the interpreter's generic
    lookup, then the key map, and the key map again as __getattr__."""

    __slots__ = ("parent", "km", "values")

    def __init__(self, parent, processors, km, values):
        self.parent, self.km, self.values = parent, km, values

    def __getattribute__(self, name):
        try:
            return object.__getattribute__(self, name)
        except AttributeError:
            return key_lookup(self, name)

    __getattr__ = key_lookup
    _data = property(lambda self: object.__getattribute__(self, "values"))
    _parent = property(lambda self: object.__getattribute__(self, "parent"))


def hierarchy(root, meta=type):
    """Base(root) <- Mid <- Leaf(Mid, Mixin(Plain)), each with empty __slots__,
    and Other, a class to bring in later."""
    base = meta("Base", (root,), {"__slots__": ()})
    mid = meta("Mid", (base,), {"__slots__": ()})
    plain = type("Plain", (), {"__slots__": ()})
    mixin = meta("Mixin", (plain,), {"__slots__": ()})
    leaf = meta("Leaf", (mid, mixin), {"__slots__": ()})
    other = type("Other", (), {"__slots__": ()})
    return {"base": base, "mid": mid, "mixin": mixin, "leaf": leaf, "other": other}


def read(obj, name):
    try:
        return ("value", getattr(obj, name))
    except Exception as exc:  # noqa: BLE001 - the outcome itself is compared
        return (type(exc), str(exc).replace("ModelRow", "BaseRow"))


def outcomes(obj):
    # A name made at run time is not immortal: it is looked up, never kept.
    made = "".join(["col", "_", "long"])
    return [read(obj, name) for name in (*NAMES, made)]


class NonDataDescriptor:
    def __get__(self, obj, owner=None):
        return "descriptor"


def raising_property(self):
    raise AttributeError("property gave up")


def reset_bases(cls, bases):
    cls.__bases__ = bases


MUTATIONS = {
    "assign on the class": lambda h: setattr(h["leaf"], "c", "leaf c"),
    "assign on an intermediate base": lambda h: setattr(h["mid"], "c", "mid c"),
    "assign on the first base": lambda h: setattr(h["base"], "col_long", "base col_long"),
    "assign on a mixin": lambda h: setattr(h["mixin"], "c", "mixin c"),
    "assign then delete": lambda h: (setattr(h["leaf"], "c", 1), delattr(h["leaf"], "c")),
    "shadow a field on a base": lambda h: setattr(h["mid"], "_data", "mid _data"),
    "shadow a field with a property": lambda h: setattr(h["leaf"], "_data", property(lambda s: "prop _data")),
    "shadow then delete a field": lambda h: (setattr(h["base"], "_data", 1), delattr(h["base"], "_data")),
    "property added later": lambda h: setattr(h["mid"], "c", property(lambda s: "prop c")),
    "property raising AttributeError": lambda h: setattr(h["leaf"], "c", property(raising_property)),
    "non-data descriptor on a mixin": lambda h: setattr(h["mixin"], "col_long", NonDataDescriptor()),
    "__getattr__ added later": lambda h: setattr(h["leaf"], "__getattr__", lambda s, n: "getattr " + n),
    "__getattribute__ added later": lambda h: setattr(h["mid"], "__getattribute__", lambda s, n: "ga " + n),
    "__bases__ assigned on the class": lambda h: (
        setattr(h["other"], "c", "other c"),
        reset_bases(h["leaf"], (h["mid"], h["other"], h["mixin"])),
    ),
    "__bases__ assigned on an intermediate base": lambda h: (
        setattr(h["other"], "col_long", "other col_long"),
        reset_bases(h["mixin"], (h["other"],)),
    ),
    "attribute of a base assigned on a class out of the order": lambda h: setattr(h["other"], "c", "unused"),
}


@pytest.mark.parametrize("mutate", MUTATIONS.values(), ids=MUTATIONS.keys())
@pytest.mark.parametrize("warm", [True, False], ids=["read before", "not read before"])
def test_a_change_to_the_hierarchy_is_seen_as_the_interpreter_sees_it(mutate, warm):
    rows = hierarchy(BaseRow)
    models = hierarchy(ModelRow)
    parent = Parent()
    row = rows["leaf"](parent, None, KEYS, VALUES)
    model = models["leaf"](parent, None, KEYS, VALUES)
    if warm:
        for _ in range(3):
            assert outcomes(row) == outcomes(model)
    mutate(rows)
    mutate(models)
    assert outcomes(row) == outcomes(model)
    # And once more, from whatever the reads above left behind.
    assert outcomes(row) == outcomes(model)


class OrderMeta(type):
    """Puts an extra class into the order of every class it makes, while
    `extra` is set."""

    extra = None
    c = "metaclass c"  # an attribute of the class, never of its instances

    def mro(cls):
        order = super().mro()
        if OrderMeta.extra is not None and cls.__name__ == "Leaf":
            order.insert(1, OrderMeta.extra)
        return order


def test_metaclass_attributes_and_a_custom_order_computed_again():
    rows, models = hierarchy(BaseRow, OrderMeta), hierarchy(ModelRow, OrderMeta)
    parent = Parent()
    row = rows["leaf"](parent, None, KEYS, VALUES)
    model = models["leaf"](parent, None, KEYS, VALUES)
    assert outcomes(row) == outcomes(model)
    assert row.c == "key c" and rows["leaf"].c == "metaclass c"
    extra = type("Extra", (), {"__slots__": (), "c": "extra c", "_data": "extra _data"})
    OrderMeta.extra = extra
    try:
        # The order is computed again only when the bases are assigned.
        for h in (rows, models):
            reset_bases(h["leaf"], h["leaf"].__bases__)
        assert row.c == "extra c" and row._data == "extra _data"
        assert outcomes(row) == outcomes(model)
        extra.c = "extra c again"
        del extra._data
        assert row.c == "extra c again" and row._data == VALUES
        assert outcomes(row) == outcomes(model)
    finally:
        OrderMeta.extra = None


class CollidingKey:
    """A class-namespace key that compares during the lookup of "c" and
    changes a class already searched while it does."""

    def __init__(self):
        self.target = None

    def __hash__(self):
        return hash("c")

    def __eq__(self, other):
        if self.target is not None:
            target, self.target = self.target, None
            target.c = "set during the lookup"
            # A lookup on the class, which gives it a new version tag.
            getattr(target, "unrelated", None)
        return False


def test_a_lookup_that_changes_the_class_leaves_nothing_stale():
    key = CollidingKey()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the interpreter's note on a non-string name
        Base = type("Base", (BaseRow,), {"__slots__": (), key: "not a name"})
    Row = type("Row", (Base,), {"__slots__": ()})
    row = Row(Parent(), None, KEYS, VALUES)
    key.target = Row
    # Row's namespace is searched before Base's, where the key changes it: this
    # read misses the new attribute, as the interpreter's own lookup does.
    assert row.c == "key c"
    assert key.target is None
    assert row.c == "set during the lookup"
    del Row.c
    assert row.c == "key c"


def test_a_class_changed_too_often_to_be_cached_is_still_read_rightly():
    # The interpreter stops giving a class new version tags after many
    # changes; such a class is looked up at every read.
    Row = type("Row", (BaseRow,), {"__slots__": ()})
    row = Row(Parent(), None, KEYS, VALUES)
    for i in range(1100):
        Row.c = i
        assert row.c == i
    del Row.c
    assert row.c == "key c" and row._data == VALUES
    Row._data = "shadow"
    assert row._data == "shadow"


def test_many_classes_and_names_sharing_the_table():
    names = [f"k{i}" for i in range(700)]
    km = {name: i % 3 for i, name in enumerate(names)}
    classes = [type(f"Row{i}", (BaseRow,), {"__slots__": ()}) for i in range(8)]
    rows = [cls(Parent(), None, km, VALUES) for cls in classes]
    for row in rows:
        assert [getattr(row, n) for n in names] == [VALUES[i % 3] for i in range(len(names))]
    for i, cls in enumerate(classes):
        setattr(cls, names[i], ("class", i))
        cls._data = ("data", i)
    for i, row in enumerate(rows):
        assert getattr(row, names[i]) == ("class", i) and row._data == ("data", i)
        assert getattr(row, names[i + 1]) == VALUES[(i + 1) % 3]
    # A class made where a released one was reads its own attributes.
    del classes, rows
    for i in range(20):
        cls = type("Row", (BaseRow,), {"__slots__": (), "k0": i, "_data": -i})
        row = cls(Parent(), None, km, VALUES)
        assert (row.k0, row._data, row.k1) == (i, -i, VALUES[1])


def test_reads_take_no_references_the_interpreter_would_not():
    # (The interpreter's own type cache keeps the names it looks up, so a
    # name's count is its business, not the row's.)
    data = tuple(["held", "values", "here"])
    Row = type("Row", (BaseRow,), {"__slots__": ()})
    parent = Parent()
    rows = [BaseRow(parent, None, KEYS, data), Row(parent, None, KEYS, data)]
    counted = (data, Row, parent, KEYS, *data)
    before = [sys.getrefcount(o) for o in counted]
    for row in rows:
        for _ in range(5):
            assert row.col_long == "here" and row._data is data and row.c == "held" and row._parent is parent
    assert [sys.getrefcount(o) for o in counted] == before
