"""The result object that parents the rows: metadata, key map and converters.

The same class serves both row flavours (the native one and the interpreted
reference); a flavour supplies the row class, the converters and
`tuplegetter`. Metadata lives in `sealedmap` values, which the toolkit hands
around and never changes; combining them makes new ones.
"""
import importlib

from velmora.kestrine.sealedmap import sealedmap

from demo.database import COLUMN_TYPES, TABLE

# Column name -> declared SQL type, in select order.
COLUMNS = sealedmap(COLUMN_TYPES)

# Column name -> kind of converter it needs; the other columns need none.
CONVERTER_KINDS = sealedmap(
    flag="boolean", created_at="datetime", day="date", at_time="time", price="decimal"
)

DEFAULT_OPTIONS = sealedmap(database=":memory:", batch_size=1000, decimal_format="%.2f")

# Flavour name -> module that implements it (imported on first use).
FLAVOURS = sealedmap(kestrine="demo.native", interpreted="demo.reference")


class NoSuchColumnError(KeyError):
    """A key that is not a column of the result."""

    def __str__(self):
        # KeyError would show the message quoted as a repr.
        return str(self.args[0])


class NoSuchColumnAttributeError(AttributeError):
    """An attribute that is neither a row attribute nor a column."""


def build_key_map(columns):
    """Every key a row answers to, mapped to its position.

    Column names, then the positions themselves as integer keys, then the
    (table, column) pairs a joined select would use.
    """
    positions = sealedmap((name, i) for i, name in enumerate(columns))
    by_position = {i: i for i in range(len(columns))}
    qualified = {(TABLE, name): i for i, name in enumerate(columns)}
    return positions.union(by_position).merge_with(qualified)


class Result:
    """The parent of a result's rows."""

    def __init__(self, columns, options, flavour):
        self.columns = columns
        self.options = options
        self.flavour = flavour
        impl = importlib.import_module(FLAVOURS[flavour])
        self.keys = tuple(columns)
        self.key_map = build_key_map(self.keys)
        # Rows take the key map as an exact dict and share it by reference.
        self._key_to_index = dict(self.key_map)
        self.converters = [impl.converter(CONVERTER_KINDS.get(name), options) for name in self.keys]
        self.row_class = impl.Row
        self.tuplegetter = impl.tuplegetter

    def _key_not_found(self, key, as_attribute):
        message = f"no column {key!r} in this result; its columns are {', '.join(self.keys)}"
        if as_attribute:
            raise NoSuchColumnAttributeError(message)
        raise NoSuchColumnError(message)

    def __reduce__(self):
        # The converters may refuse pickling; they are rebuilt from the metadata.
        return (Result, (self.columns, self.options, self.flavour))

    def __repr__(self):
        return f"Result({self.flavour}, {len(self.keys)} columns)"
