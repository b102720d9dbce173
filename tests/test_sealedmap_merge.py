"""Merging sealedmap values: union, merge_with, | in both directions and the
refusing |=, including hostile operands."""


import pytest
from hypothesis import given, strategies as st

from velmora.kestrine.sealedmap import sealedmap
from helpers import Frozen, assert_steady, debug_only, entry_names

MOD = "velmora.kestrine.sealedmap"


@pytest.fixture
def m():
    return sealedmap({"a": 1, "b": 2})


def items(x):
    return list(x.items())


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.union(),
        lambda m: m.union({}),
        lambda m: m.union(sealedmap()),
        lambda m: m.union([]),
        lambda m: m.union({}, y=1),  # keywords given with a dict are ignored
        lambda m: m.merge_with(),
        lambda m: m.merge_with(None, {}, [], 0, False, ""),
        lambda m: m.merge_with(None),
    ],
)
def test_nothing_to_merge_returns_self(m, call):
    assert call(m) is m
    f = Frozen(m)
    assert call(f) is f


class ZeroLenDict(dict):
    def __len__(self):
        return 0


def test_union_counts_storage_not_len(m):
    r = m.union(ZeroLenDict(x=1))
    assert items(r) == [("a", 1), ("b", 2), ("x", 1)]
    # merge_with takes the truth value, which does consult __len__.
    assert m.merge_with(ZeroLenDict(x=1)) is m


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda m: m.union({"a": 3, "x": 4}), [("a", 3), ("b", 2), ("x", 4)]),
        (lambda m: m.union({"x": 3}, y=4), [("a", 1), ("b", 2), ("x", 3)]),
        (lambda m: m.union([("x", 3)], y=4), [("a", 1), ("b", 2), ("x", 3), ("y", 4)]),
        (lambda m: m.union([("y", 3)], y=4), [("a", 1), ("b", 2), ("y", 4)]),
        (lambda m: m.union(y=4, a=0), [("a", 0), ("b", 2), ("y", 4)]),
        (lambda m: m.union(sealedmap(b=0)), [("a", 1), ("b", 0)]),
        (lambda m: m.merge_with({"a": 5}, None, {"a": 6, "z": 0}), [("a", 6), ("b", 2), ("z", 0)]),
        (lambda m: m.merge_with([("x", 1)]), [("a", 1), ("b", 2), ("x", 1)]),
        (lambda m: m.merge_with({}, {"z": 1}, [("a", 0)]), [("a", 0), ("b", 2), ("z", 1)]),
        (lambda m: m | {"a": 9}, [("a", 9), ("b", 2)]),
        (lambda m: {"a": 9} | m, [("a", 1), ("b", 2)]),
        (lambda m: {"z": 9} | m, [("z", 9), ("a", 1), ("b", 2)]),
        (lambda m: m | {}, [("a", 1), ("b", 2)]),
        (lambda m: m | m, [("a", 1), ("b", 2)]),
        (lambda m: m.__or__({"a": 9}), [("a", 9), ("b", 2)]),
        (lambda m: m.__ror__({"z": 9}), [("z", 9), ("a", 1), ("b", 2)]),
    ],
)
@pytest.mark.parametrize("cls", [sealedmap, Frozen])
def test_merges(cls, call, expected):
    m = cls({"a": 1, "b": 2})
    r = call(m)
    assert type(r) is sealedmap and r is not m
    assert items(r) == expected
    assert items(m) == [("a", 1), ("b", 2)] and type(m) is cls


def test_union_uses_dict_argument_directly():
    # A dict subclass whose keys() lies is merged by dict's update, which reads
    # the storage of a dict and not its keys().
    class Liar(dict):
        def keys(self):
            return ["nope"]

    assert items(sealedmap(a=1).union(Liar(x=2))) == [("a", 1), ("x", 2)]


def test_subclass_operands_with_or():
    class D(dict):
        pass

    assert items(sealedmap(a=1) | D(b=2)) == [("a", 1), ("b", 2)]
    # A dict subclass that is not a sealedmap keeps dict's own union, which the
    # interpreter tries first for it.
    r = D(b=2) | sealedmap(a=1)
    assert type(r) is dict and items(r) == [("b", 2), ("a", 1)]
    r = Frozen(a=1) | sealedmap(a=2)
    assert type(r) is sealedmap and r == {"a": 2}
    r = sealedmap(a=1) | Frozen(a=2)
    assert type(r) is sealedmap and r == {"a": 2}


@pytest.mark.parametrize("bad", [None, 5, "ab", [(1, 2, 3)]])
def test_union_conversion_errors_are_dicts(m, bad):
    with pytest.raises(Exception) as expected:
        dict(bad)
    with pytest.raises(type(expected.value)) as e:
        m.union(bad)
    assert str(e.value) == str(expected.value)
    assert entry_names(e)[-1] == f"{MOD}.sealedmap.union"
    if bad:  # merge_with skips false arguments
        with pytest.raises(type(expected.value)) as e:
            m.merge_with(bad)
        assert str(e.value) == str(expected.value)
        assert entry_names(e)[-1] == f"{MOD}.sealedmap.merge_with"
    assert items(m) == [("a", 1), ("b", 2)]


@pytest.mark.parametrize("n", [2, 3])
def test_union_too_many_arguments(m, n):
    with pytest.raises(TypeError) as e:
        m.union(*([{}] * n))
    assert str(e.value) == f"union expected at most 1 argument, got {n}"
    assert entry_names(e)[-1] == f"{MOD}.sealedmap.union"


class BadBool:
    def __bool__(self):
        raise ValueError("no truth")


def test_merge_with_truth_errors(m):
    with pytest.raises(ValueError, match="no truth") as e:
        m.merge_with({"x": 1}, BadBool())
    assert entry_names(e)[-2:] == [f"{MOD}.sealedmap.merge_with", "__bool__"]
    assert items(m) == [("a", 1), ("b", 2)]


@pytest.mark.parametrize("op", [lambda m: m | 5, lambda m: 5 | m, lambda m: m | None, lambda m: m | [("a", 1)],
                                lambda m: m.__or__(5), lambda m: m.__ror__([("a", 1)])])
def test_or_accepts_only_dicts(m, op):
    with pytest.raises(TypeError) as e:
        op(m)
    assert str(e.value) == "'NotImplementedType' object is not iterable"
    assert entry_names(e)[-1] in (f"{MOD}.sealedmap.__or__", f"{MOD}.sealedmap.__ror__")
    assert items(m) == [("a", 1), ("b", 2)]


def test_or_dispatch_entries(m):
    with pytest.raises(TypeError) as e:
        m | 5
    assert entry_names(e)[-1] == f"{MOD}.sealedmap.__or__"
    with pytest.raises(TypeError) as e:
        5 | m
    assert entry_names(e)[-1] == f"{MOD}.sealedmap.__ror__"


def test_or_lets_others_answer_first():
    class Other:
        def __ror__(self, left):
            return "other"

        def __or__(self, right):
            return "other-left"

    # `m | Other()`: the left slot fails with the sealed error and does not
    # hand over; `Other() | m` is answered by Other.
    assert Other() | sealedmap() == "other-left"
    with pytest.raises(TypeError):
        sealedmap() | Other()


# ---------------------------------------------------------------------------
# Hostile operands


class Collider:
    """Hashes like 'a'; on comparison runs `action` once."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return hash("a")

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
        return False


def test_key_eq_mutating_the_merged_dict(m):
    def hostile():
        d = {}
        d[Collider(lambda: d.update({i: i for i in range(50)}))] = 1
        d["z"] = 2
        return d

    for op in (lambda d: m.union(d), lambda d: m.merge_with(d), lambda d: m | d):
        with pytest.raises(RuntimeError, match="dict mutated during update"):
            op(hostile())
        assert items(m) == [("a", 1), ("b", 2)]
    # Reflected, the hostile dict is copied first and only m's keys are
    # compared against it afterwards, so its mutation no longer matters.
    r = hostile() | m
    assert type(r) is sealedmap and list(r)[1:] == ["z", "a", "b"]


def test_key_eq_mutating_the_receiver():
    m = sealedmap({"a": 1, "b": 2})
    d = {Collider(lambda: dict.clear(m)): 1}
    r = m.union(d)
    assert type(r) is sealedmap and r["a"] == 1 and len(r) == 3
    assert m == {}


def test_key_eq_raising(m):
    def boom():
        raise ZeroDivisionError

    for op in (lambda d: m.union(d), lambda d: m.merge_with(d), lambda d: m | d, lambda d: d | m):
        with pytest.raises(ZeroDivisionError):
            op({Collider(boom): 1})
    assert items(m) == [("a", 1), ("b", 2)]


class MutatingMapping:
    """A mapping whose keys() and __getitem__ change it while being read."""

    def __init__(self):
        self.data = {"x": 1, "y": 2}

    def keys(self):
        self.data["late"] = 0
        return iter(list(self.data))

    def __getitem__(self, k):
        self.data.pop("y", None)
        return self.data.get(k, -1)


def test_mutating_mapping(m):
    r = m.union(MutatingMapping())
    assert r == {**m, **dict(MutatingMapping())}
    r = m.merge_with(MutatingMapping())
    assert r == {**m, **dict(MutatingMapping())}
    assert items(m) == [("a", 1), ("b", 2)]


class MutatingIterDict(dict):
    def __iter__(self):
        self["extra"] = 1
        return super().__iter__()

    def keys(self):
        for k in list(dict.keys(self)):
            dict.pop(self, k)
            yield k


def test_dict_subclass_mutating_while_merged(m):
    for op in (lambda d: m.union(d), lambda d: m.merge_with(d), lambda d: m | d, lambda d: d | m):
        d = MutatingIterDict(x=1, y=2)
        try:
            r = op(d)
        except (RuntimeError, KeyError):
            pass
        else:
            assert type(r) is sealedmap
    assert items(m) == [("a", 1), ("b", 2)]


def test_ior_refuses(m):
    for other in ({"x": 3}, 5, BadBool()):
        with pytest.raises(TypeError) as e:
            m |= other
        assert str(e.value) == "sealedmap object is immutable"
        assert entry_names(e)[-2:] == [f"{MOD}.sealedmap.__ior__", f"{MOD}._immutable_fn"]
    assert items(m) == [("a", 1), ("b", 2)]
    f = Frozen(m)
    with pytest.raises(TypeError, match="^Frozen object is immutable$"):
        f |= {}


dicts = st.dictionaries(st.sampled_from("abcdefgh") | st.integers(0, 5), st.integers(), max_size=6)


@given(dicts, dicts, dicts)
def test_merges_follow_dict_update(base, d1, d2):
    m = sealedmap(base)

    def model(*parts):
        out = dict(base)
        for p in parts:
            out.update(p)
        return out

    r = m.union(d1)
    assert items(r) == items(model(d1)) and (r is m) == (not d1)
    r = m.merge_with(d1, None, d2)
    assert items(r) == items(model(d1, d2)) and (r is m) == (not d1 and not d2)
    assert items(m | d1) == items(base | d1)
    assert items(d1 | m) == items(d1 | base)
    assert items(m) == items(base)


@debug_only
def test_no_reference_leaks():
    m = sealedmap(a=1, b=2)

    def work():
        m.union({"x": 1})
        m.union([("x", 1)], y=2)
        m.union(y=2)
        m.union()
        m.merge_with({"x": 1}, [("y", 2)], None)
        m | {"x": 1}
        {"x": 1} | m
        for bad in (lambda: m.union(5), lambda: m.union({}, {}), lambda: m.merge_with(BadBool()),
                    lambda: m | 5, lambda: m.merge_with(k=1)):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    assert_steady(work)
