import datetime as datetime
import re as re
from collections.abc import Buffer, Callable, Iterable, Sized
from typing import (
    Any, Generic, NoReturn, Self, SupportsComplex, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias, TypeVar,
    overload,
)
from typing_extensions import disjoint_base

_T = TypeVar("_T")
# The converters take any value, and None gives None. An overload over
# `object` would take None too, and the typing rules let a checker match a
# whole `int | None` argument against it, dropping the None from the result
# (pyright does; mypy splits the union first). So the middle overload takes
# what a driver hands over for a non-NULL column, described by what None
# lacks (a length, iteration, a number conversion, a date or time), and the
# last one takes anything else and keeps None in its result.
_Raw: TypeAlias = (
    Sized | Iterable[Any] | Buffer | SupportsFloat | SupportsIndex | SupportsInt | SupportsComplex
    | datetime.date | datetime.time | datetime.timedelta
)

# Rebinding these module attributes changes what the parsers build.
datetime_cls: type[datetime.datetime]
time_cls: type[datetime.time]
date_cls: type[datetime.date]

# doctest's table of extra tests; always empty.
__test__: dict[str, Any]

# Generic for type checkers only: the class itself is not subscriptable, so a
# runtime-evaluated annotation needs quotes (or lazy annotations).
@disjoint_base
class DecimalResultProcessor(Generic[_T]):
    def __new__(cls, type_: Callable[[str], _T], format_: str | None) -> Self: ...
    @overload
    def process(self, value: None) -> None: ...
    @overload
    def process(self, value: _Raw) -> _T: ...
    @overload
    def process(self, value: object) -> _T | None: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object, /) -> NoReturn: ...

@overload
def int_to_boolean(value: None) -> None: ...
@overload
def int_to_boolean(value: _Raw) -> bool: ...
@overload
def int_to_boolean(value: object) -> bool | None: ...
@overload
def to_str(value: None) -> None: ...
@overload
def to_str(value: _Raw) -> str: ...
@overload
def to_str(value: object) -> str | None: ...
@overload
def to_float(value: None) -> None: ...
@overload
def to_float(value: str | bytes | bytearray | Buffer | SupportsFloat | SupportsIndex) -> float: ...
@overload
def str_to_datetime(value: None) -> None: ...
@overload
def str_to_datetime(value: str) -> datetime.datetime: ...
@overload
def str_to_time(value: None) -> None: ...
@overload
def str_to_time(value: str) -> datetime.time: ...
@overload
def str_to_date(value: None) -> None: ...
@overload
def str_to_date(value: str) -> datetime.date: ...
