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
        try:
            sealedmap(5)
        except TypeError:
            pass
        sealedmap[int]
        m.__reduce__()

    assert_steady(work)
