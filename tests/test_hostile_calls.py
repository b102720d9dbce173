"""Every callable of the three modules, called every wrong way: through its
class without an instance, with a foreign first argument, with hostile
objects whose dunders raise or collect garbage, with keyword names that are
built at run time, of a str subclass, or not strings at all (through the C
call API, which the call syntax would refuse). Each call must return or
raise an ordinary exception; a SystemError means an error was returned
without an exception or the other way round. The table is built from the
discovery in functions.py."""

import gc

import pytest

from helpers import CALLABLES, Boom, call_raw, instances
from velmora.kestrine import rowcore, sealedmap


def _raise(*a, **k):
    raise Boom("hostile")


def _collect_then(value):
    def method(*a, **k):
        gc.collect()
        return value
    return method


class RaisingEverything:
    """Every protocol a callee might use raises."""
    __hash__ = _raise
    __eq__ = _raise
    __ne__ = _raise
    __lt__ = _raise
    __bool__ = _raise
    __len__ = _raise
    __index__ = _raise
    __int__ = _raise
    __float__ = _raise
    __str__ = _raise
    __repr__ = _raise
    __iter__ = _raise
    __getitem__ = _raise
    __call__ = _raise
    __mod__ = _raise
    __rmod__ = _raise
    __or__ = _raise
    __ror__ = _raise
    keys = _raise

    def __getattr__(self, name):
        raise Boom(name)


class OddReturns:
    """Every protocol returns something of the wrong type."""
    __hash__ = lambda self: 0  # noqa: E731
    __eq__ = lambda self, other: "yes"  # noqa: E731
    __bool__ = lambda self: 2  # noqa: E731
    __len__ = lambda self: -1  # noqa: E731
    __index__ = lambda self: 1.5  # noqa: E731
    __int__ = lambda self: "1"  # noqa: E731
    __float__ = lambda self: 1  # noqa: E731
    __str__ = lambda self: 5  # noqa: E731
    __iter__ = lambda self: 5  # noqa: E731
    __getitem__ = lambda self, i: self  # noqa: E731
    __call__ = lambda self, *a: NotImplemented  # noqa: E731
    keys = lambda self: 5  # noqa: E731


class Collecting:
    """Every protocol forces a collection first, then answers sanely."""
    __hash__ = _collect_then(1)
    __eq__ = _collect_then(False)
    __bool__ = _collect_then(True)
    __len__ = _collect_then(1)
    __index__ = _collect_then(0)
    __int__ = _collect_then(0)
    __float__ = _collect_then(0.0)
    __str__ = _collect_then("s")
    __iter__ = lambda self: (gc.collect(), iter([0]))[1]  # noqa: E731
    __getitem__ = _collect_then(None)
    __call__ = _collect_then(None)
    keys = lambda self: (gc.collect(), [])[1]  # noqa: E731


class Key(str):
    """A keyword name of a str subclass whose comparisons raise."""
    __eq__ = _raise
    __hash__ = str.__hash__


HOSTILE = [None, 0, -1, 2**64, 1.5, "", "x", b"", (), (1,), [], [None], {}, {"a": 0}, object(), type,
           RaisingEverything(), OddReturns()]


def attempt(f, /, *args, **kwargs):
    try:
        f(*args, **kwargs)
    except SystemError:
        raise
    except (Exception, Warning):
        pass


def shapes(self_choices):
    """(args, kwargs, through the C call API too). Each hostile object once
    per argument position, not every pair: the leak hunt and the sanitizer
    build rerun all of this, and collections are costly."""
    for first in self_choices:
        yield (first,), {}, True
        for h in HOSTILE:
            yield (first, h), {}, False
            yield (first, None, h), {}, False
        yield (first, Collecting()), {}, False
        yield (first, RaisingEverything(), Collecting(), OddReturns(), None), {}, True
    yield (), {}, True
    yield (Collecting(),), {}, False
    for h in HOSTILE:
        yield (h,), {}, False
        yield (), {"".join(["val", "ue"]): h}, False
        yield (), {Key("key"): h}, False
    yield (None,), {"obj": None, "self": None, "value": None, "state": None, "key": None}, True


@pytest.mark.parametrize("label, func, owner", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_every_wrong_shape_ends_cleanly(label, func, owner):
    inst = instances()
    real = [v for t, v in inst.items() if owner is not None and isinstance(v, owner)]
    foreign = [v for t, v in inst.items() if owner is None or not isinstance(v, owner)]
    if hasattr(func, "__get__") and not callable(func):
        # A data descriptor: read it through each kind of object.
        for obj in real + foreign + HOSTILE:
            attempt(func.__get__, obj, owner)
        return
    for args, kwargs, raw in shapes(real + foreign):
        attempt(func, *args, **kwargs)
        if not raw:
            continue
        # The same through the C call API, with keyword dicts whose keys the
        # call syntax would have refused.
        for bad in ({1: 2}, {**kwargs, (): None}, {**kwargs, Key("x"): 1}):
            try:
                call_raw(func, tuple(args), bad)
            except SystemError:
                raise
            except Exception:
                pass
    gc.collect()


INSTANCE_METHODS = [c for c in CALLABLES if c[2] is not None and callable(c[1]) and not isinstance(c[1], type)
                    and not c[0].endswith(("__new__", "__class_getitem__", "fromkeys"))]


@pytest.mark.parametrize("label, func, owner", INSTANCE_METHODS, ids=[c[0] for c in INSTANCE_METHODS])
def test_methods_through_the_class_refuse_foreign_instances(label, func, owner):
    """An instance method fetched through the class must not treat another
    kind of object as its instance."""
    inst = instances()
    for obj in [v for v in inst.values() if not isinstance(v, owner)] + [object(), None, 1, "s", {}, ()]:
        with pytest.raises(Exception) as info:
            func(obj, None) if label.endswith(("__getitem__", "__getattr__", "_get_by_key_impl_mapping",
                                               "__setstate__", "process")) else func(obj)
        assert not isinstance(info.value, SystemError)


def test_recursion_through_reentrant_converters_in_a_row():
    """A processor that builds a row with itself as processor recurses until
    the interpreter stops it; the rows left half-built are collected."""
    parent = type("P", (), {"_key_not_found": lambda self, key, flag: None})()

    def proc(v):
        return rowcore.BaseRow(parent, [proc], None, (v,))

    with pytest.raises(RecursionError):
        proc(1)
    gc.collect()


@pytest.mark.parametrize("depth", [10, 3_000])
def test_deeply_nested_containers(depth):
    """Building, reading and dropping deep nests of module objects neither
    overflows the C stack nor leaks."""
    m = sealedmap.sealedmap()
    for _ in range(depth):
        m = sealedmap.sealedmap(inner=m)
    row = None
    for _ in range(depth):
        row = rowcore.BaseRow(None, None, {"r": 0}, (row,))
    assert m["inner"] is not None and row[0] is not None or depth == 0
    # Walking down to a clean exception or a value, not a crash.
    for obj in (m, row):
        try:
            repr(obj)
            hash(obj)
        except (RecursionError, TypeError):
            pass
    del m, row
    gc.collect()


def test_self_containing_objects():
    holder = []
    m = sealedmap.sealedmap(me=holder)
    holder.append(m)
    assert "..." in repr(m)
    row = rowcore.BaseRow(None, None, {"a": 0}, (holder,))
    holder.append(row)
    with pytest.raises(RecursionError):
        hash(rowcore.BaseRow(None, None, None, (RowHashSelf(),)))
    del holder[:]
    gc.collect()


class RowHashSelf:
    def __hash__(self):
        return hash(rowcore.BaseRow(None, None, None, (self,)))
