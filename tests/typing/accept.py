# Typical uses of the three modules, written as the toolkit writes them: mypy
# --strict must accept this file and every assert_type must hold. The file
# also runs as a script against the built modules, so the types it claims are
# checked against what the code really returns. pyright --strict must accept
# it too; the few lines only pyright flags carry a pyright ignore and the
# reason. The toolkit itself is the user of the underscore names (the parent's
# key map, the refusal helpers), so pyright's private-use rule is off here.
# pyright: reportPrivateUsage=false
import datetime
import operator
import pickle
from decimal import Decimal
from typing import Any, NoReturn, assert_type

from velmora.kestrine.processors import (
    DecimalResultProcessor,
    int_to_boolean,
    str_to_date,
    str_to_datetime,
    str_to_time,
    to_float,
    to_str,
)
from velmora.kestrine.rowcore import BaseRow, rowproxy_reconstructor, tuplegetter
from velmora.kestrine.sealedmap import ReadOnlyContainer, SealedMapBase, _immutable_fn, sealedmap


def converters(raw: int | None, text: str | None) -> None:
    # None passes through every converter, and the overloads keep it apart.
    assert_type(DecimalResultProcessor(Decimal, "%d").process(raw), Decimal | None)
    assert_type(to_float(raw), float | None)
    assert_type(to_str(raw), str | None)
    assert_type(int_to_boolean(raw), bool | None)
    assert_type(str_to_date(text), datetime.date | None)


converters(1, "2024-02-29")
converters(None, None)
assert_type(to_float(None), None)
assert_type(to_float(" 1_000.5 "), float)
assert_type(to_float(b"2.5"), float)
assert_type(to_float(bytearray(b"2.5")), float)
assert_type(to_float(memoryview(b"2.5")), float)
assert_type(to_float(Decimal("1.5")), float)
assert_type(to_float(True), float)
assert to_float(" 1_000.5 ") == 1000.5 and to_float(memoryview(b"2.5")) == 2.5
assert_type(to_str(3), str)
assert_type(int_to_boolean(0), bool)
assert_type(str_to_datetime("2024-02-29T13:45:30"), datetime.datetime)
assert_type(str_to_time("13:45:30.125"), datetime.time)
assert str_to_date("2024-02-29") == datetime.date(2024, 2, 29)

dec = DecimalResultProcessor(Decimal, "%.3f")
assert_type(dec, "DecimalResultProcessor[Decimal]")
assert_type(dec.process(1.23456), Decimal)
assert_type(dec.process(None), None)
assert dec.process(1.23456) == Decimal("1.235")
assert_type(DecimalResultProcessor(str, "%d").process(1), str)
# A column's converter list mixes functions, bound methods and None.
converter_list = [int_to_boolean, dec.process, to_str, None]

m = sealedmap({"a": 1, "b": 2})
assert_type(m, sealedmap[str, int])
assert_type(m["a"], int)
assert_type(m.get("zz"), int | None)
assert_type(m.copy(), sealedmap[str, int])
assert_type(m.union(), sealedmap[str, int])
assert_type(m.union({"x": 2.5}), sealedmap[str, int | float])
# pyright keeps the literal types of the items here (str | Literal[3], ...).
assert_type(m.union([(3, "c")]), sealedmap[str | int, int | str])  # pyright: ignore[reportAssertTypeFailure]
assert_type(m.union({"x": 3}, y="ignored"), sealedmap[str, int])
assert_type(sealedmap({1: 2}).union([(3, 4)]), sealedmap[int, int])
assert_type(sealedmap({1: 2}).union([(3, 4)], y=5), sealedmap[int | str, int])
# Asked for the item type of list(...) only, pyright leaves the invariant
# dict's value type of the merge unsolved; on its own the call is typed fully.
assert list(m.union({"x": 3}, y="ignored")) == ["a", "b", "x"]  # pyright: ignore[reportUnknownArgumentType]
assert_type(m.union(y=4), sealedmap[str, int])
assert_type(m.merge_with({"a": 5}, None, [("z", 0)]), sealedmap[str, int])
assert_type(m | {"a": "x"}, sealedmap[str, int | str])
# pyright does not try a subclass's reflected operator first, as Python
# does, and reads this as dict.__or__; the result is a sealedmap (below).
assert_type({"a": "x"} | m, sealedmap[str, int | str])  # pyright: ignore[reportAssertTypeFailure]
assert m.union() is m and m.copy() is m
assert type({"a": 9} | m) is sealedmap and ({"a": 9} | m) == {"a": 1, "b": 2}
assert pickle.loads(pickle.dumps(m)) == m
assert sealedmap[str, int] is sealedmap


class Frozen(sealedmap[str, int]):
    pass


f = Frozen(m)
assert_type(f.union(), Frozen)
assert_type(f.union({"x": 3}), sealedmap[str, int])


def refuse(d: sealedmap[str, int]) -> NoReturn:
    d.update(b=3)


try:
    refuse(m)
except TypeError as e:
    assert str(e) == "sealedmap object is immutable"


class Settings(SealedMapBase[str, str]):
    pass


settings = Settings(mode="ro")
assert_type(settings["mode"], str)
assert_type(settings | {"x": "y"}, dict[str, str])


class Box(ReadOnlyContainer):
    __slots__ = ("items",)


try:
    _immutable_fn(5)
except TypeError as e:
    assert str(e) == "int object is immutable"


class Result:
    # What a row needs of its parent: the key map and the miss handler.
    def __init__(self, keys: dict[str, int]) -> None:
        self._key_to_index = keys

    def _key_not_found(self, key: object, attr: bool) -> NoReturn:
        raise (AttributeError if attr else KeyError)(key)


result = Result({"a": 0, "b": 1})
row = BaseRow(result, None, result._key_to_index, (10, 20))
converted = BaseRow(result, [to_float, None], result._key_to_index, ["1.5", 20])
assert BaseRow(result, converter_list, None, (0, 2.5, 3, None))._data == (False, Decimal("2.500"), "3", None)
assert_type(len(row), int)
assert_type(row[0], Any)
assert_type(row[0:1], tuple[Any, ...])
assert_type(row._data, tuple[Any, ...] | None)
assert_type(row._key_to_index, dict[Any, Any] | None)
assert_type(row._values_impl(), list[Any])
assert_type(row._to_tuple_instance(), tuple[Any, ...] | None)
assert row.b == 20 and row._get_by_key_impl_mapping("a") == 10 and converted[0] == 1.5
assert hash(row) == hash((10, 20)) and list(row) == [10, 20]
state = row.__getstate__()
assert_type(state["_data"], tuple[Any, ...] | None)
rebuilt = rowproxy_reconstructor(BaseRow, state)
assert_type(rebuilt, BaseRow)
assert rebuilt._data == (10, 20) and rebuilt._key_to_index is result._key_to_index

getter = tuplegetter(0, 1)
assert_type(getter, "operator.itemgetter[Any]")
assert getter(("a", "b", "c")) == ("a", "b")
