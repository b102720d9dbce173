"""The refusal functions, ReadOnlyContainer and SealedMapBase of
velmora.kestrine.sealedmap."""

import types

import pytest

from helpers import Box, FrozenBase, entry_names
from velmora.kestrine import sealedmap as M

MOD = "velmora.kestrine.sealedmap"


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


def test_sealed_map_base_inherited_mutation_is_not_refused():
    d = M.SealedMapBase(a=1)
    d |= {"b": 2}
    dict.__setitem__(d, "c", 3)
    assert d == {"a": 1, "b": 2, "c": 3}
    assert isinstance(d | {"x": 1}, dict)


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
    assert entry_names(e)[-1] == f"{MOD}.{fn.__name__}"
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
    assert entry_names(e)[-1] == f"{MOD}.{fn.__name__}"
    # The message is made with `%`, so a str subclass's reflected operator wins.
    with pytest.raises(TypeError) as e:
        fn(SubclassName())
    assert str(e.value).startswith("reflected:%s object is immutable")


def test_sealed_map_base_class_getitem():
    assert M.SealedMapBase[int] is M.SealedMapBase
    assert M.SealedMapBase[str, int] is M.SealedMapBase
    assert M.SealedMapBase.__class_getitem__(int) is M.SealedMapBase
    assert FrozenBase[int] is FrozenBase
