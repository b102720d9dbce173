"""The refusal functions, ReadOnlyContainer and SealedMapBase of
velmora.kestrine.sealedmap, and the module's namespace."""

import subprocess
import sys
import traceback
import types

import pytest

from velmora.kestrine import sealedmap as M

MOD = "velmora.kestrine.sealedmap"


def entries(exc_info):
    return [f.name for f in traceback.extract_tb(exc_info.value.__traceback__)]


class Frozen(M.SealedMapBase):
    pass


class Box(M.ReadOnlyContainer):
    pass


def test_module_namespace_order():
    # In a fresh interpreter: tests that rebind module names reorder them.
    code = "from velmora.kestrine import sealedmap as M; print(list(vars(M)))"
    names = eval(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
    assert names[-6:] == ["sealedmap", "_readonly_fn", "_immutable_fn", "ReadOnlyContainer", "SealedMapBase", "__test__"]
    assert M.__test__ == {}
    assert M.__doc__ is None


def test_readonly_container_class():
    C = M.ReadOnlyContainer
    assert type(C) is type and C.__bases__ == (object,)
    assert list(vars(C)) == ["__module__", "__slots__", "_readonly", "__delitem__", "__setitem__", "__setattr__",
                             "__doc__"]
    assert C.__module__ == MOD and C.__qualname__ == "ReadOnlyContainer" and C.__doc__ is None
    assert C.__slots__ == ()
    assert C.__setitem__ is C._readonly and C.__delitem__ is C._readonly and C.__setattr__ is C._readonly
    assert "__delattr__" not in vars(C)
    inst = C()
    assert not hasattr(inst, "__dict__") and not hasattr(inst, "__weakref__")
    assert hasattr(Box(), "__dict__")


def test_sealed_map_base_class():
    C = M.SealedMapBase
    assert type(C) is type and C.__bases__ == (dict,)
    assert list(vars(C))[:11] == ["__module__", "_immutable", "__class_getitem__", "__delitem__", "__setitem__",
                                  "__setattr__", "clear", "pop", "popitem", "setdefault", "update"]
    assert C.__module__ == MOD and C.__qualname__ == "SealedMapBase" and C.__doc__ is None
    assert isinstance(vars(C)["__class_getitem__"], classmethod)
    for alias in ("__delitem__", "__setitem__", "__setattr__", "clear", "pop", "popitem", "setdefault", "update"):
        assert vars(C)[alias] is C._immutable
    assert C.update.__name__ == "_immutable"
    assert not issubclass(M.sealedmap, C) and not issubclass(C, M.sealedmap)


def test_sealed_map_base_reads_like_dict():
    for d in (M.SealedMapBase(a=1), M.SealedMapBase({"a": 1})):
        assert d == {"a": 1} and d["a"] == 1 and len(d) == 1 and list(d) == ["a"] and d.get("a") == 1
        assert d.copy() == {"a": 1}


REFUSALS = [
    ("setitem", lambda d: d.__setitem__("a", 2)),
    ("delitem", lambda d: d.__delitem__("a")),
    ("setattr", lambda d: setattr(d, "x", 1)),
    ("clear", lambda d: d.clear()),
    ("pop", lambda d: d.pop("a")),
    ("popitem", lambda d: d.popitem()),
    ("setdefault", lambda d: d.setdefault("b", 0)),
    ("update", lambda d: d.update(b=2)),
    ("extra-args", lambda d: d.update({"b": 2}, 1, 2, 3, x=1, y=2)),
]


@pytest.mark.parametrize("cls, label", [(M.SealedMapBase, "SealedMapBase"), (Frozen, "Frozen")])
@pytest.mark.parametrize("op", [op for _, op in REFUSALS], ids=[k for k, _ in REFUSALS])
def test_sealed_map_base_refuses(cls, label, op):
    d = cls(a=1)
    with pytest.raises(TypeError) as e:
        op(d)
    assert str(e.value) == f"{label} object is immutable"
    assert d == {"a": 1}
    assert entries(e)[-2:] == [f"{MOD}.SealedMapBase._immutable", f"{MOD}._immutable_fn"]


def test_sealed_map_base_item_syntax():
    d = M.SealedMapBase(a=1)
    with pytest.raises(TypeError, match="^SealedMapBase object is immutable$"):
        d["a"] = 2
    with pytest.raises(TypeError, match="^SealedMapBase object is immutable$"):
        del d["zz"]
    with pytest.raises(TypeError, match="^SealedMapBase object is immutable$"):
        d[[1]] = 0
    assert d == {"a": 1}


def test_sealed_map_base_inherited_mutation_is_not_refused():
    d = M.SealedMapBase(a=1)
    d |= {"b": 2}
    dict.__setitem__(d, "c", 3)
    assert d == {"a": 1, "b": 2, "c": 3}
    assert isinstance(d | {"x": 1}, dict)


@pytest.mark.parametrize(
    "op",
    [
        lambda b: b.__setitem__(0, 1),
        lambda b: b.__delitem__(0),
        lambda b: setattr(b, "x", 1),
    ],
)
def test_readonly_container_refuses(op):
    b = Box()
    with pytest.raises(TypeError) as e:
        op(b)
    assert str(e.value) == "Box object is immutable and/or readonly"
    assert f"{MOD}.ReadOnlyContainer._readonly" in entries(e)
    assert vars(b) == {}


def test_readonly_container_syntax_and_delattr():
    b = Box()
    with pytest.raises(TypeError, match="^Box object is immutable and/or readonly$"):
        b[0] = 1
    with pytest.raises(TypeError, match="^Box object is immutable and/or readonly$"):
        del b[0]
    with pytest.raises(TypeError, match="^Box object is immutable and/or readonly$"):
        b.x = 1
    with pytest.raises(AttributeError):
        del b.x


class NamedClass:
    pass


class RenamingStr(str):
    def __rmod__(self, template):
        return "reflected:" + template


@pytest.mark.parametrize(
    "obj, text",
    [
        (5, "int"),
        (None, "NoneType"),
        (NamedClass(), "NamedClass"),
        (type("Fake", (), {"__class__": property(lambda s: NamedClass)})(), "NamedClass"),
    ],
)
@pytest.mark.parametrize(
    "fn, suffix", [(M._readonly_fn, " object is immutable and/or readonly"), (M._immutable_fn, " object is immutable")]
)
def test_refusal_functions(fn, suffix, obj, text):
    with pytest.raises(TypeError) as e:
        fn(obj)
    assert type(e.value) is TypeError
    assert str(e.value) == text + suffix
    assert entries(e)[-1] == f"{MOD}.{fn.__name__}"
    with pytest.raises(TypeError, match="^" + text + suffix + "$"):
        fn(obj=obj)


class NoName:
    __class__ = property(lambda s: object())


class TupleName:
    __class__ = property(lambda s: types.SimpleNamespace(__name__=("a", "b")))


class SubclassName:
    __class__ = property(lambda s: types.SimpleNamespace(__name__=RenamingStr("x")))


@pytest.mark.parametrize("fn", [M._readonly_fn, M._immutable_fn])
def test_refusal_lookup_and_format_errors_propagate(fn):
    with pytest.raises(AttributeError, match="__name__"):
        fn(NoName())
    with pytest.raises(TypeError, match="not all arguments converted") as e:
        fn(TupleName())
    assert entries(e)[-1] == f"{MOD}.{fn.__name__}"
    # The message is made with `%`, so a str subclass's reflected operator wins.
    with pytest.raises(TypeError) as e:
        fn(SubclassName())
    assert str(e.value).startswith("reflected:%s object is immutable")


def test_delegating_methods_follow_rebinding(monkeypatch):
    seen = []
    monkeypatch.setattr(M, "_immutable_fn", lambda obj: seen.append(obj) or "ignored")
    monkeypatch.setattr(M, "_readonly_fn", lambda obj: seen.append(obj) or "ignored")
    d = M.SealedMapBase(a=1)
    b = Box()
    assert d.update(b=2) is None
    assert d.pop("a", 1, 2, z=3) is None
    d["a"] = 5
    b[0] = 1
    b.x = 1
    assert d == {"a": 1} and vars(b) == {}
    assert seen == [d, d, d, b, b] and all(x is y for x, y in zip(seen, [d, d, d, b, b]))


@pytest.mark.parametrize(
    "name, op",
    [("_immutable_fn", lambda: M.SealedMapBase(a=1).clear()), ("_readonly_fn", lambda: Box().__setitem__(0, 1))],
)
def test_delegating_methods_name_error(monkeypatch, name, op):
    monkeypatch.delattr(M, name)
    with pytest.raises(NameError) as e:
        op()
    assert str(e.value) == f"name '{name}' is not defined"


def test_delegate_falls_back_to_builtins(monkeypatch):
    import builtins

    calls = []
    monkeypatch.delattr(M, "_immutable_fn")
    monkeypatch.setattr(builtins, "_immutable_fn", calls.append, raising=False)
    d = M.SealedMapBase(a=1)
    assert d.clear() is None and calls == [d]


def test_sealed_map_base_class_getitem():
    assert M.SealedMapBase[int] is M.SealedMapBase
    assert M.SealedMapBase[str, int] is M.SealedMapBase
    assert M.SealedMapBase.__class_getitem__(int) is M.SealedMapBase
    assert Frozen[int] is Frozen
