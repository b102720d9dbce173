"""tuplegetter: slice form for a run of positions, item form otherwise."""

import operator

import pytest
from helpers import Boom, assert_entries

from velmora.kestrine import rowcore
from velmora.kestrine.rowcore import tuplegetter

T = ("a", "b", "c", "d", "e")


@pytest.mark.parametrize(
    "indexes, expected_getter, on_tuple",
    [
        ((3,), operator.itemgetter(slice(3, 4, None)), ("d",)),
        ((1, 2, 3), operator.itemgetter(slice(1, 4, None)), ("b", "c", "d")),
        ((0, 2), operator.itemgetter(0, 2), ("a", "c")),
        ((2, 1), operator.itemgetter(2, 1), ("c", "b")),
        ((1, 1), operator.itemgetter(1, 1), ("b", "b")),
        ((0, 1, 3, 4), operator.itemgetter(0, 1, 3, 4), ("a", "b", "d", "e")),
        ((0, 1.0), operator.itemgetter(slice(0, 2.0, None)), None),
        (("a", 1), operator.itemgetter("a", 1), None),
        # Negative runs: one ending at -1 is open-ended, others keep their stop.
        ((-1,), operator.itemgetter(slice(-1, None, None)), ("e",)),
        ((-3, -2, -1), operator.itemgetter(slice(-3, None, None)), ("c", "d", "e")),
        ((-3, -2), operator.itemgetter(slice(-3, -1, None)), ("c", "d")),
        ((-2,), operator.itemgetter(slice(-2, -1, None)), ("d",)),
        # A run through zero wraps around the end; only the item form serves it.
        ((-1, 0, 1), operator.itemgetter(-1, 0, 1), ("e", "a", "b")),
        ((-2, -1, 0), operator.itemgetter(-2, -1, 0), ("d", "e", "a")),
    ],
)
def test_forms(indexes, expected_getter, on_tuple):
    getter = tuplegetter(*indexes)
    assert type(getter) is operator.itemgetter
    assert repr(getter) == repr(expected_getter)
    if on_tuple is not None:
        assert getter(T) == on_tuple


@pytest.mark.parametrize("indexes", [(-1,), (-3, -2, -1), (-2, -1), (-4, -3), (-1, 0), (-2, -1, 0, 1)])
def test_negative_runs_select_what_the_items_select(indexes):
    assert tuple(tuplegetter(*indexes)(T)) == tuple(T[i] for i in indexes)


def test_result_types_follow_the_form():
    lst = list(T)
    assert tuplegetter(1, 2, 3)(lst) == ["b", "c", "d"]
    assert tuplegetter(-2, -1)(lst) == ["d", "e"]
    assert tuplegetter(0, 2)(lst) == ("a", "c")
    assert tuplegetter(3, 4, 5, 6)(T) == ("d", "e")
    with pytest.raises(IndexError):
        tuplegetter(0, 9)(T)


def test_no_positions():
    with pytest.raises(IndexError, match="^tuple index out of range$") as e:
        tuplegetter()
    assert_entries(e, "tuplegetter")


class BadCompare:
    def __ne__(self, other):
        raise Boom


class BadTruth:
    def __bool__(self):
        raise Boom


class TruthOf:
    def __ne__(self, other):
        return BadTruth()


@pytest.mark.parametrize(
    "indexes, exc",
    [
        (("a", "b"), TypeError),
        ((0, None), TypeError),
        ((BadCompare(), 1), Boom),
        ((TruthOf(), 1), Boom),
    ],
)
def test_contiguity_test_failures(indexes, exc):
    with pytest.raises(exc) as e:
        tuplegetter(*indexes)
    assert_entries(e, "tuplegetter", "is_contiguous")


def test_contiguity_stops_at_first_gap():
    assert repr(tuplegetter(0, 2, "x")) == repr(operator.itemgetter(0, 2, "x"))


def test_last_position_must_support_addition():
    with pytest.raises(TypeError) as e:
        tuplegetter("a")
    assert_entries(e, "tuplegetter")


def test_operator_is_read_at_call_time(monkeypatch):
    class Fake:
        @staticmethod
        def itemgetter(*args):
            return ("fake", args)

    monkeypatch.setattr(rowcore, "operator", Fake)
    assert tuplegetter(0, 2) == ("fake", (0, 2))
    monkeypatch.setattr(rowcore, "operator", object())
    with pytest.raises(AttributeError, match="itemgetter") as e:
        tuplegetter(0)
    assert_entries(e, "tuplegetter")
    monkeypatch.delattr(rowcore, "operator")
    with pytest.raises(NameError, match="^name 'operator' is not defined$") as e:
        tuplegetter(0)
    assert_entries(e, "tuplegetter")


def test_itemgetter_error_propagates(monkeypatch):
    class Fake:
        @staticmethod
        def itemgetter(*args):
            raise Boom

    monkeypatch.setattr(rowcore, "operator", Fake)
    with pytest.raises(Boom) as e:
        tuplegetter(0, 1)
    assert_entries(e, "tuplegetter")
