"""The sealedmap type: construction, reading, text form, class subscription,
copy and pickling, the refusing mutators and deallocation."""

import copy
import gc
import pickle
import weakref

import pytest

from velmora.kestrine import sealedmap as M
from velmora.kestrine.sealedmap import sealedmap
from helpers import Frozen, assert_steady, debug_only, entry_names

MOD = "velmora.kestrine.sealedmap"


def test_type_shape():
    assert sealedmap.__module__ == MOD
    assert sealedmap.__name__ == sealedmap.__qualname__ == "sealedmap"
    assert sealedmap.__bases__ == (dict,) and sealedmap.__doc__ is None
    assert sealedmap.__basicsize__ == dict.__basicsize__
    assert not issubclass(sealedmap, (M.SealedMapBase, M.ReadOnlyContainer))
    m = sealedmap(a=1)
    assert not hasattr(m, "__dict__") and not hasattr(m, "__weakref__")
    assert hasattr(Frozen(), "__dict__")
    with pytest.raises(TypeError):
        hash(m)
    with pytest.raises(TypeError):
        sealedmap.extra = 1


METHODS = ["__class_getitem__", "union", "merge_with", "copy", "__reduce__", "clear", "pop", "popitem", "setdefault",
           "update"]


def test_namespace():
    ns = vars(sealedmap)
    assert [k for k in ns if k in METHODS] == METHODS
    # One run in the method table's order, where the type's own methods stand.
    start = list(ns).index(METHODS[0])
    assert list(ns)[start:start + len(METHODS)] == METHODS
    assert list(ns).index("__doc__") > start
    assert isinstance(ns["__class_getitem__"], classmethod)
    # __or__/__ror__ are built-in methods standing where the slot wrappers would.
    for name in ("__or__", "__ror__"):
        assert type(ns[name]).__name__ == "method_descriptor"
    assert type(ns["__ior__"]).__name__ == "wrapper_descriptor"


CONSTRUCTIONS = [
    ((), {}),
    (({"a": 1},), {}),
    (({"a": 1},), {"b": 2, "a": 3}),
    (([("a", 1), ("b", 2), ("a", 3)],), {}),
    ((), {"b": 2, "a": 1}),
    ((sealedmap(x=1),), {}),
    ((type("Keys", (), {"keys": lambda s: ["k"], "__getitem__": lambda s, k: k * 2})(),), {}),
]


@pytest.mark.parametrize("args, kw", CONSTRUCTIONS)
def test_construction_matches_dict(args, kw):
    m = sealedmap(*args, **kw)
    d = dict(*args, **kw)
    assert type(m) is sealedmap
    assert m == d and list(m.items()) == list(d.items())
    f = Frozen(*args, **kw)
    assert type(f) is Frozen and f == d


@pytest.mark.parametrize("args", [(1, 2), (5,), ("ab",), (None,), ([(1, 2, 3)],)])
def test_construction_errors_match_dict(args):
    with pytest.raises(Exception) as expected:
        dict(*args)
    for cls in (sealedmap, Frozen):
        with pytest.raises(type(expected.value)) as e:
            cls(*args)
        assert str(e.value) == str(expected.value)


def test_reading_is_dict():
    m = sealedmap({"a": 1}, b=2)
    assert len(m) == 2 and m == {"a": 1, "b": 2} and {"a": 1, "b": 2} == m
    assert m["a"] == 1 and m.get("zz", 0) == 0 and "b" in m
    assert list(m) == ["a", "b"] and list(m.values()) == [1, 2]
    assert m == M.SealedMapBase(a=1, b=2)
    assert sealedmap() == {} and not sealedmap()
    with pytest.raises(KeyError):
        m["zz"]


def test_init_again_is_not_guarded():
    m = sealedmap(a=1)
    sealedmap.__init__(m, z=26)
    dict.__setitem__(m, "y", 25)
    assert m == {"a": 1, "z": 26, "y": 25}


def test_repr():
    assert repr(sealedmap()) == "sealedmap({})"
    assert repr(sealedmap({"a": 1})) == "sealedmap({'a': 1})"
    assert repr(Frozen(a=1)) == "sealedmap({'a': 1})"
    assert str(sealedmap(a=sealedmap(b=[]))) == "sealedmap({'a': sealedmap({'b': []})})"
    loop = sealedmap(a=[])
    loop["a"].append(loop)
    assert repr(loop) == "sealedmap({'a': [sealedmap({...})]})"


def test_repr_error_has_entry():
    class Bad:
        def __repr__(self):
            raise ValueError("no repr")

    with pytest.raises(ValueError, match="no repr") as e:
        repr(sealedmap(a=Bad()))
    assert f"{MOD}.sealedmap.__repr__" in entry_names(e)


def _setitem(m):
    m["a"] = 3


def _setitem_unhashable(m):
    m[[1]] = 0


def _delitem_absent(m):
    del m["zz"]


def _delitem_unhashable(m):
    del m[[1]]


def _setattr(m):
    m.x = 1


def _setattr_method(m):
    m.copy = 1


def _ior(m):
    m |= {"x": 3}


def _ior_int(m):
    m |= 5


REFUSALS = [
    (_setitem, "__setitem__"),
    (_setitem_unhashable, "__setitem__"),
    (_delitem_absent, "__delitem__"),
    (_delitem_unhashable, "__delitem__"),
    (_setattr, "__setattr__"),
    (_setattr_method, "__setattr__"),
    (_ior, "__ior__"),
    (_ior_int, "__ior__"),
    (lambda m: m.clear(), "clear"),
    (lambda m: m.clear(x=1), "clear"),
    (lambda m: m.pop(), "pop"),
    (lambda m: m.pop("a", None), "pop"),
    (lambda m: m.popitem(), "popitem"),
    (lambda m: m.popitem(1, 2, 3), "popitem"),
    (lambda m: m.setdefault("a"), "setdefault"),
    (lambda m: m.update({"b": 3}), "update"),
    (lambda m: m.update(b=3), "update"),
    (lambda m: m.update([1], [2], self=3), "update"),
]


@pytest.mark.parametrize("cls", [sealedmap, Frozen])
@pytest.mark.parametrize("op, entry", REFUSALS, ids=[f"{e}-{i}" for i, (_, e) in enumerate(REFUSALS)])
def test_refusals(cls, op, entry):
    m = cls({"a": 1, "b": 2})
    before = list(m.items())
    with pytest.raises(TypeError) as e:
        op(m)
    assert type(e.value) is TypeError
    assert str(e.value) == f"{cls.__name__} object is immutable"
    assert entry_names(e)[-2:] == [f"{MOD}.sealedmap.{entry}", f"{MOD}._immutable_fn"]
    assert list(m.items()) == before


class LoudKey:
    """A key that fails loudly if it is ever hashed or compared."""

    def __hash__(self):
        raise AssertionError("hashed")

    def __eq__(self, other):
        raise AssertionError("compared")


def test_refusal_does_not_look_at_the_key():
    m = sealedmap(a=1)
    with pytest.raises(TypeError, match="^sealedmap object is immutable$"):
        m[LoudKey()] = 1
    with pytest.raises(TypeError, match="^sealedmap object is immutable$"):
        del m[LoudKey()]


def test_delattr_is_dicts():
    m = sealedmap(a=1)
    with pytest.raises(AttributeError):
        del m.x
    with pytest.raises(AttributeError):
        del m.copy
    assert m == {"a": 1}


def test_refusal_follows_rebinding(monkeypatch):
    seen = []
    monkeypatch.setattr(M, "_immutable_fn", lambda obj: seen.append(obj) or "ignored")
    m = sealedmap(a=1)
    m["a"] = 3
    del m["a"]
    m.x = 1
    assert m.clear() is None and m.update(b=1) is None and m.pop("a") is None
    assert m == {"a": 1} and len(seen) == 6 and all(s is m for s in seen)
    alias = m
    alias |= {"z": 1}
    assert alias is None and m == {"a": 1}


@pytest.mark.parametrize("op", [_setitem, _delitem_absent, _setattr, _ior, lambda m: m.clear()])
def test_refusal_name_error(monkeypatch, op):
    monkeypatch.delattr(M, "_immutable_fn")
    m = sealedmap(a=1)
    with pytest.raises(NameError) as e:
        op(m)
    assert str(e.value) == "name '_immutable_fn' is not defined"
    assert m == {"a": 1}


def test_class_getitem():
    assert sealedmap[str, int] is sealedmap
    assert sealedmap[int] is sealedmap
    assert sealedmap.__class_getitem__(key=int) is sealedmap
    assert Frozen[int] is Frozen


def test_copy_and_reduce():
    m = sealedmap({"a": 1, "b": 2})
    assert m.copy() is m
    r = m.__reduce__()
    assert r == (sealedmap, ({"a": 1, "b": 2},))
    assert type(r[1][0]) is dict and r[1][0] is not m
    f = Frozen(m)
    assert f.copy() is f
    assert f.__reduce__()[0] is sealedmap


@pytest.mark.parametrize("proto", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(proto):
    m = sealedmap({"a": 1, "b": [1, 2], "c": sealedmap(x=None)})
    back = pickle.loads(pickle.dumps(m, proto))
    assert type(back) is sealedmap and back == m and back is not m
    assert type(back["c"]) is sealedmap
    f = pickle.loads(pickle.dumps(Frozen(a=1), proto))
    assert type(f) is sealedmap and f == {"a": 1}


def test_copy_module():
    m = sealedmap({"a": [1]})
    shallow = copy.copy(m)
    deep = copy.deepcopy(m)
    assert type(shallow) is type(deep) is sealedmap
    assert shallow == deep == m and shallow is not m and deep is not m
    assert shallow["a"] is m["a"] and deep["a"] is not m["a"]


def test_cycles_are_collected():
    m = Frozen(a=[])
    m["a"].append(m)
    ref = weakref.ref(m)
    del m
    gc.collect()
    assert ref() is None


def test_finaliser_resurrection():
    saved = []

    class Phoenix(sealedmap):
        def __del__(self):
            if not saved:
                saved.append(self)

    p = Phoenix(a=1)
    del p
    gc.collect()
    assert saved and saved[0] == {"a": 1}
    saved.clear()
    gc.collect()
    assert saved == []


def test_deeply_nested_instances_are_freed():
    m = sealedmap()
    for _ in range(300_000):
        m = sealedmap(a=m)
    del m
    n = sealedmap()
    for _ in range(100_000):
        n = sealedmap(a=[n])
    del n


@debug_only
def test_no_reference_leaks(monkeypatch):
    def work():
        m = sealedmap({"a": 1}, b=2)
        repr(m)
        pickle.loads(pickle.dumps(m))
        for op, _ in REFUSALS:
            try:
                op(m)
            except TypeError:
                pass
        try:
            sealedmap(5)
        except TypeError:
            pass
        sealedmap[int]
        m.__reduce__()

    assert_steady(work)
