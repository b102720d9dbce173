"""The native flavour: rows and converters from velmora.kestrine."""
import decimal

from velmora.kestrine import processors
from velmora.kestrine.rowcore import BaseRow, tuplegetter


class Row(BaseRow):
    """A result row as the toolkit defines it: a BaseRow with no extra state."""

    __slots__ = ()

    @property
    def _mapping(self):
        # A view of the same values that is read by key; it shares the tuple
        # and the key map, nothing is copied.
        return RowMapping(self._parent, None, self._key_to_index, self._data)


class RowMapping(BaseRow):
    """The row read by key: subscription is the key lookup."""

    __slots__ = ()

    # A function object binds like a method, so it serves as the slot itself.
    __getitem__ = BaseRow._get_by_key_impl_mapping


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


__all__ = ["Row", "RowMapping", "converter", "tuplegetter"]
