"""Every way of changing a sealed map or a read-only container, on every type
that refuses it: the refusal's message and traceback entries, the object left
as it was, and the refusal functions read from the module namespace on every
call (rebound, deleted, found among the builtins)."""

import builtins

import pytest

from helpers import Box, Frozen, FrozenBase, assert_steady, debug_only, entry_names
from velmora.kestrine import sealedmap as M

MOD = "velmora.kestrine.sealedmap"


class LoudKey:
    """A key that fails loudly if it is ever hashed or compared."""

    def __hash__(self):
        raise AssertionError("hashed")

    def __eq__(self, other):
        raise AssertionError("compared")


# How each kind of type refuses: the function it delegates to, the text after
# the type's name, and the entry that stands above the function's own (None:
# the entry is named after the method, as sealedmap's methods are separate).
SEALEDMAP = ("_immutable_fn", " object is immutable", None)
BASE = ("_immutable_fn", " object is immutable", f"{MOD}.SealedMapBase._immutable")
READONLY = ("_readonly_fn", " object is immutable and/or readonly", f"{MOD}.ReadOnlyContainer._readonly")

TYPES = {
    M.sealedmap: SEALEDMAP,
    Frozen: SEALEDMAP,
    M.SealedMapBase: BASE,
    FrozenBase: BASE,
    M.ReadOnlyContainer: READONLY,
    Box: READONLY,
}
MAPS = [M.sealedmap, Frozen, M.SealedMapBase, FrozenBase]
SEALED = [M.sealedmap, Frozen]  # |= is refused by sealedmap only: SealedMapBase inherits dict's


def _ior(m, other):
    m |= other
    return m


def _setitem(m, key):
    m[key] = 3


def _delitem(m, key):
    del m[key]


def _setattr(m, name):
    setattr(m, name, 1)


# (id, operation, the method named in sealedmap's entry, the types refusing it)
OPS = [
    ("item syntax", lambda m: _setitem(m, "a"), "__setitem__", TYPES),
    ("item syntax unhashable", lambda m: _setitem(m, [1]), "__setitem__", TYPES),
    ("item syntax loud key", lambda m: _setitem(m, LoudKey()), "__setitem__", TYPES),
    ("__setitem__", lambda m: m.__setitem__("a", 2), "__setitem__", TYPES),
    ("del syntax absent", lambda m: _delitem(m, "zz"), "__delitem__", TYPES),
    ("del syntax present", lambda m: _delitem(m, "a"), "__delitem__", TYPES),
    ("del syntax unhashable", lambda m: _delitem(m, [1]), "__delitem__", TYPES),
    ("del syntax loud key", lambda m: _delitem(m, LoudKey()), "__delitem__", TYPES),
    ("__delitem__", lambda m: m.__delitem__("a"), "__delitem__", TYPES),
    ("attribute", lambda m: _setattr(m, "x"), "__setattr__", TYPES),
    ("attribute naming a method", lambda m: _setattr(m, "copy"), "__setattr__", MAPS),
    ("|=", lambda m: _ior(m, {"x": 3}), "__ior__", SEALED),
    ("|= int", lambda m: _ior(m, 5), "__ior__", SEALED),
    ("clear", lambda m: m.clear(), "clear", MAPS),
    ("clear keyword", lambda m: m.clear(x=1), "clear", MAPS),
    ("pop", lambda m: m.pop(), "pop", MAPS),
    ("pop default", lambda m: m.pop("a", None), "pop", MAPS),
    ("pop many", lambda m: m.pop("a", 1, 2, z=3), "pop", MAPS),
    ("popitem", lambda m: m.popitem(), "popitem", MAPS),
    ("popitem arguments", lambda m: m.popitem(1, 2, 3), "popitem", MAPS),
    ("setdefault", lambda m: m.setdefault("a"), "setdefault", MAPS),
    ("setdefault new", lambda m: m.setdefault("b", 0), "setdefault", MAPS),
    ("update mapping", lambda m: m.update({"b": 3}), "update", MAPS),
    ("update keyword", lambda m: m.update(b=3), "update", MAPS),
    # SealedMapBase's methods take their instance as `self`, as a function
    # written in Python would: a keyword of that name is a binding error there.
    ("update self keyword", lambda m: m.update([1], [2], self=3), "update", SEALED),
    ("update many", lambda m: m.update({"b": 2}, 1, 2, 3, x=1, y=2), "update", MAPS),
]
CASES = [pytest.param(cls, op, method, id=f"{cls.__name__}-{name}")
         for name, op, method, types in OPS for cls in TYPES if cls in types]


def fresh(cls):
    return cls() if cls in (M.ReadOnlyContainer, Box) else cls({"a": 1, "b": 2})


def state(obj):
    return list(obj.items()) if isinstance(obj, dict) else vars(obj) if hasattr(obj, "__dict__") else None


@pytest.mark.parametrize("cls, op, method", CASES)
def test_refusal(cls, op, method):
    fn, suffix, entry = TYPES[cls]
    obj = fresh(cls)
    before = state(obj)
    with pytest.raises(TypeError) as e:
        op(obj)
    assert type(e.value) is TypeError
    assert str(e.value) == cls.__name__ + suffix
    assert entry_names(e)[-2:] == [entry or f"{MOD}.sealedmap.{method}", f"{MOD}.{fn}"]
    assert state(obj) == before


@pytest.mark.parametrize("cls, op, method", CASES)
def test_refusal_calls_the_function_bound_now(monkeypatch, cls, op, method):
    fn = TYPES[cls][0]
    seen = []
    monkeypatch.setattr(M, fn, lambda obj: seen.append(obj) or "ignored")
    obj = fresh(cls)
    before = state(obj)
    # What the function returns is dropped: the method gives None.
    assert op(obj) is None
    assert len(seen) == 1 and seen[0] is obj
    assert state(obj) == before


@pytest.mark.parametrize("cls, op, method", CASES)
def test_refusal_without_its_function(monkeypatch, cls, op, method):
    fn = TYPES[cls][0]
    monkeypatch.delattr(M, fn)
    obj = fresh(cls)
    before = state(obj)
    with pytest.raises(NameError) as e:
        op(obj)
    assert str(e.value) == f"name '{fn}' is not defined"
    assert state(obj) == before


@pytest.mark.parametrize("cls", TYPES)
def test_refusal_function_found_among_the_builtins(monkeypatch, cls):
    fn = TYPES[cls][0]
    calls = []
    monkeypatch.delattr(M, fn)
    monkeypatch.setattr(builtins, fn, calls.append, raising=False)
    obj = fresh(cls)
    assert obj.__setitem__("a", 1) is None and calls == [obj]


@pytest.mark.parametrize("cls", TYPES)
def test_delattr_is_not_refused(cls):
    obj = fresh(cls)
    before = state(obj)
    with pytest.raises(AttributeError):
        del obj.x
    if isinstance(obj, dict):
        with pytest.raises(AttributeError):
            del obj.copy
    assert state(obj) == before


@debug_only
def test_no_reference_leaks():
    objs = [fresh(cls) for cls in TYPES]

    def work():
        for param in CASES:
            cls, op, _ = param.values
            try:
                op(objs[list(TYPES).index(cls)])
            except TypeError:
                pass

    assert_steady(work)
