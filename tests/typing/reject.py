# Mistakes the stubs must catch. Every line marked "# E: <code>" must draw a
# mypy error of that code and no other line may draw one (tools/typecheck.sh
# checks both), so a stub that grows too loose fails as surely as one that
# grows too strict. pyright must flag the same lines, except those marked
# "# E mypy:": pyright does not end the flow at a NoReturn __setitem__, so the
# lines after a refused item assignment are reachable to it.
from decimal import Decimal

from velmora.kestrine.processors import DecimalResultProcessor, str_to_date, to_float, to_str
from velmora.kestrine.rowcore import BaseRow, tuplegetter
from velmora.kestrine.sealedmap import ReadOnlyContainer, sealedmap

to_float([1.5])  # E: call-overload
to_float(object())  # E: call-overload
to_str()  # E: call-overload
str_to_date(b"2024-02-29")  # E: call-overload
total: float = to_float("1.5") + to_float(None)  # E: operator
DecimalResultProcessor(Decimal, 3)  # E: arg-type
DecimalResultProcessor(Decimal)  # E: call-arg
name: str = DecimalResultProcessor(Decimal, "%.2f").process(1.5)  # E: assignment

m = sealedmap({"a": 1})
m.union({}, {})  # E: call-overload
m.merge_with(k={"b": 2})  # E: call-arg
m | [("b", 2)]  # E: operator
plain: sealedmap[str, str] = m.union({"b": "x"})  # E: assignment


def mutate(d: sealedmap[str, int]) -> int:
    d["a"] = 2
    return 1  # E mypy: unreachable


class Box(ReadOnlyContainer):
    pass


def fill(b: Box) -> None:
    b[0] = 1
    print(b)  # E mypy: unreachable


row = BaseRow(None, None, {"a": 0}, (1, 2))
row._data = (3,)  # E: misc
BaseRow(None, [to_str], {"a": 0}, iter((1, 2)))  # E: call-overload
BaseRow(None, None, {"a": 0})  # E: call-overload
first: int = row[0:1]  # E: assignment
tuplegetter("a", "b")  # E: arg-type
