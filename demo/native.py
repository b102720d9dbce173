"""The native flavour: rows and converters from velmora.kestrine."""
import decimal

from velmora.kestrine import processors
from velmora.kestrine.rowcore import BaseRow, tuplegetter


class Row(BaseRow):
    """A result row as the toolkit defines it: a BaseRow with no extra state."""

    __slots__ = ()


def converter(kind, options):
    """The converter for a column kind, or None for a column that needs none."""
    if kind is None:
        return None
    if kind == "boolean":
        return processors.int_to_boolean
    if kind == "datetime":
        return processors.str_to_datetime
    if kind == "date":
        return processors.str_to_date
    if kind == "time":
        return processors.str_to_time
    if kind == "decimal":
        return processors.DecimalResultProcessor(decimal.Decimal, options["decimal_format"]).process
    raise ValueError(f"unknown converter kind {kind!r}")


__all__ = ["Row", "converter", "tuplegetter"]
