"""sealedmap construction and merges on their short roads: the method call
that goes straight from the instance check to the body, and the native dict
merge of exact dicts and sealedmaps. Whatever the road, the entries and their
order are what dict's own construction and update give."""
import gc
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest

from velmora.kestrine.sealedmap import sealedmap


class Frozen(sealedmap):
    pass


class KeysOnly(dict):
    def keys(self):
        return ["b", "a"]


class IterOwn(dict):
    def __iter__(self):
        return iter(sorted(super().keys(), reverse=True))

    def keys(self):
        return list(iter(self))

    def __getitem__(self, key):
        return ("own", dict.__getitem__(self, key))


class ItemOwn(dict):
    def __getitem__(self, key):
        return ("own", dict.__getitem__(self, key))


class FrozenIter(sealedmap):
    def __iter__(self):
        return iter(sorted(dict.keys(self)))

    def keys(self):
        return sorted(dict.keys(self))

    def __getitem__(self, key):
        return ("own", dict.__getitem__(self, key))


class Mapping:
    def __init__(self, d):
        self.d = d

    def keys(self):
        return list(self.d)

    def __getitem__(self, key):
        return self.d[key]


def operands():
    base = {"a": 1, "b": 2, "c": 3}
    return [
        dict(base), sealedmap(base), Frozen(base), KeysOnly(base), IterOwn(base), ItemOwn(base),
        FrozenIter(base), Mapping(base), [("a", 1), ("b", 2), ("a", 9)], {}, sealedmap(), {1: "x", (2,): "y"},
    ]


def items(m):
    return list(dict.items(m))


def model(*parts):
    out = {}
    for part in parts:
        out.update(part)
    return out


@pytest.mark.parametrize("arg", operands(), ids=lambda a: type(a).__name__)
def test_construction_is_dicts(arg):
    m = sealedmap(arg)
    assert type(m) is sealedmap and items(m) == items(dict(arg))
    assert items(sealedmap(arg, z=0)) == items(dict(arg, z=0))


@pytest.mark.parametrize("receiver", [sealedmap({"a": 0, "x": 0}), Frozen({"a": 0, "x": 0}),
                                      FrozenIter({"x": 0, "a": 0}), sealedmap()],
                         ids=lambda r: type(r).__name__ + str(len(r)))
@pytest.mark.parametrize("arg", operands(), ids=lambda a: type(a).__name__)
def test_merges_are_dict_updates(receiver, arg):
    merged = arg if isinstance(arg, dict) else dict(arg)
    expected = model(receiver, merged)
    for got in (receiver.union(arg), receiver.merge_with(arg), receiver.merge_with(None, arg, {}),
                receiver.merge_with(arg, arg), sealedmap.union(receiver, arg), sealedmap.merge_with(receiver, *[arg])):
        # Nothing to merge gives the receiver itself, else a new sealedmap.
        if merged:
            assert type(got) is sealedmap and items(got) == items(expected)
        else:
            assert got is receiver


def test_every_way_of_calling_a_merge():
    m = sealedmap(a=1)
    d = {"b": 2}
    calls = [
        lambda: m.union(d), lambda: sealedmap.union(m, d), lambda: m.union(*[d]), lambda: m.union(d, **{}),
        lambda: m.union(d, ignored=1), lambda: m.union(b=2), lambda: sealedmap.union(m, b=2),
        lambda: m.merge_with(d), lambda: sealedmap.merge_with(m, d), lambda: m.merge_with(*[d], **{}),
        lambda: list(map(m.union, [d]))[0], lambda: Frozen(m).union(d), lambda: Frozen.merge_with(Frozen(m), d),
    ]
    for call in calls:
        r = call()
        assert type(r) is sealedmap and items(r) == [("a", 1), ("b", 2)]
    assert m.union() is m and m.merge_with() is m and sealedmap.union(m) is m


class ClashingKey:
    def __hash__(self):
        return 1

    def __eq__(self, other):
        raise ZeroDivisionError("compared")


@pytest.mark.parametrize("method", ["union", "merge_with"])
@pytest.mark.parametrize("receiver_type", [sealedmap, Frozen])
def test_a_merge_that_fails_names_the_method_once_on_every_road(receiver_type, method):
    # An exact instance with one dict takes the merges' own entry, a subclass
    # the frame's: the same exception and one traceback entry either way.
    m = receiver_type({ClashingKey(): 1})
    with pytest.raises(ZeroDivisionError, match="compared") as info:
        getattr(m, method)({ClashingKey(): 2})
    names = [e.name for e in traceback.extract_tb(info.value.__traceback__)]
    assert names.count(f"velmora.kestrine.sealedmap.sealedmap.{method}") == 1, names


@pytest.mark.parametrize("call, message", [
    (lambda: sealedmap.union(), "union() needs an argument"),
    (lambda: sealedmap.merge_with(), "merge_with() needs an argument"),
    (lambda: sealedmap.union({"a": 1}, {}), None),
    (lambda: sealedmap.merge_with({"a": 1}, {"b": 2}), None),
    (lambda: sealedmap.union(1), None),
    (lambda: sealedmap(a=1).merge_with({}, k=1), "merge_with() got an unexpected keyword argument 'k'"),
    (lambda: sealedmap(a=1).union({}, {}), "union expected at most 1 argument, got 2"),
])
def test_merge_call_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("make", [
    sealedmap, lambda: sealedmap({}), lambda: sealedmap(sealedmap()), lambda: sealedmap([]),
    lambda: sealedmap(a=1).union({"b": 2}), lambda: sealedmap(a=1) | {"b": 2},
], ids=["empty", "dict", "sealedmap", "pairs", "union", "or"])
def test_new_instances_start_from_dicts_own_empty_state(make):
    # Whatever way it is made, an instance starts as dict's creation leaves a
    # dict: no storage of its own until an entry needs one (so it is the size
    # of an empty dict), tracked, and filling one touches no other instance.
    fresh = [make() for _ in range(3)]
    for m in fresh:
        assert gc.is_tracked(m)
    empty = sealedmap()
    assert sys.getsizeof(empty) == sys.getsizeof(dict()) == sys.getsizeof(sealedmap({}))
    dict.__init__(empty, {k: k for k in range(20)})
    assert items(empty) == [(k, k) for k in range(20)]
    assert sys.getsizeof(empty) == sys.getsizeof(dict(empty))
    assert [items(m) for m in fresh] == [items(make())] * 3 and items(sealedmap()) == []


def test_released_instances_leave_nothing_behind():
    # Instances made and dropped in numbers: the values go at once, what
    # comes next is empty and tracked, and a cycle through one is found.
    class Value:
        pass

    values = [Value() for _ in range(100)]
    refs = [weakref.ref(v) for v in values]
    made = [sealedmap(v=v) for v in values]
    del values
    assert all(r() is not None for r in refs)
    del made
    assert all(r() is None for r in refs)
    fresh = [sealedmap() for _ in range(100)]
    assert all(len(m) == 0 and items(m) == [] and repr(m) == "sealedmap({})" and gc.is_tracked(m) for m in fresh)
    box = Value()
    cyclic = sealedmap(box=box)
    box.back = cyclic
    ref = weakref.ref(box)
    del box, cyclic, fresh
    gc.collect()
    assert ref() is None
    assert not [o for o in gc.get_objects() if type(o) is sealedmap and "v" in o]


def test_native_cycle_through_truth_test_ends_in_recursion_error():
    # merge_with asks each argument for its truth; here that is merge_with
    # again, through nothing but native calls. In a child, so that a missing
    # guard is a failed test rather than a dead run.
    program = textwrap.dedent("""
        import functools
        from velmora.kestrine.sealedmap import sealedmap
        class Truth(dict):
            pass
        t = Truth(a=1)
        m = sealedmap(b=2)
        Truth.__bool__ = functools.partial(sealedmap.merge_with, m, t)
        Truth.__len__ = functools.partial(sealedmap.merge_with, m, t)
        try:
            m.merge_with(t)
        except RecursionError:
            print("survived")
    """)
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and proc.stdout.strip() == "survived", proc.stderr[-3000:]


_BASE = sealedmap(a=1)
_PLAIN = {"b": 2}


@pytest.mark.parametrize("make", [
    lambda: sealedmap(a=1), lambda: sealedmap(_PLAIN), lambda: _BASE.union(_PLAIN),
    lambda: _BASE.merge_with(_PLAIN), lambda: _BASE | _PLAIN, lambda: _PLAIN | _BASE, lambda: Frozen(a=1),
], ids=["keywords", "dict", "union", "merge_with", "or", "ror", "subclass"])
def test_collector_counts_instances_as_any_other(make):
    # The collector's allocation count sees each instance made, also right
    # after plain dicts were released into dict's own free list (which it
    # does not see), and its release takes exactly that back: the count ends
    # where it began, as it does for a subclass instance, the interpreter's
    # own allocation.
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(3):
            [make() for _ in range(100)]
        gc.collect()
        spare = [{"k": i} for i in range(200)]
        del spare
        before = gc.get_count()[0]
        kept = [make() for _ in range(100)]
        grown = gc.get_count()[0] - before
        del kept
        left = gc.get_count()[0] - before
    finally:
        if enabled:
            gc.enable()
    assert 100 <= grown <= 103 and 0 <= left <= 3, (grown, left)