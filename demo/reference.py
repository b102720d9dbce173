"""The interpreted reference: the same row and converters written in Python.

This is what the toolkit would run without its native modules, and what the
demo measures the native flavour against.
"""
import datetime
import decimal
import operator


def int_to_boolean(value):
    return None if value is None else bool(value)


def str_to_datetime(value):
    return None if value is None else datetime.datetime.fromisoformat(value)


def str_to_date(value):
    return None if value is None else datetime.date.fromisoformat(value)


def str_to_time(value):
    return None if value is None else datetime.time.fromisoformat(value)


class DecimalResultProcessor:
    __slots__ = ("type_", "format_")

    def __init__(self, type_, format_):
        self.type_ = type_
        self.format_ = format_

    def process(self, value):
        return None if value is None else self.type_(self.format_ % value)


def converter(kind, options):
    if kind is None:
        return None
    if kind == "boolean":
        return int_to_boolean
    if kind == "datetime":
        return str_to_datetime
    if kind == "date":
        return str_to_date
    if kind == "time":
        return str_to_time
    if kind == "decimal":
        return DecimalResultProcessor(decimal.Decimal, options["decimal_format"]).process
    raise ValueError(f"unknown converter kind {kind!r}")


def rowproxy_reconstructor(cls, state):
    obj = cls.__new__(cls)
    obj.__setstate__(state)
    return obj


class Row:
    __slots__ = ("_parent", "_key_to_index", "_data")

    def __init__(self, parent, processors, key_to_index, data):
        self._parent = parent
        self._key_to_index = key_to_index
        if processors:
            self._data = tuple(
                [value if proc is None else proc(value) for proc, value in zip(processors, data)]
            )
        else:
            self._data = tuple(data)

    def __len__(self):
        return len(self._data)

    def __iter__(self):
        return iter(self._data)

    def __hash__(self):
        return hash(self._data)

    def __getitem__(self, key):
        return self._data[key]

    def _get_by_key_impl_mapping(self, key):
        index = self._key_to_index.get(key)
        if index is None:
            return self._parent._key_not_found(key, False)
        return self._data[index]

    def __getattr__(self, name):
        # Reached only when normal lookup fails; an unset slot (a row being
        # unpickled) must not recurse into the key map.
        if name in Row.__slots__:
            raise AttributeError(name)
        index = self._key_to_index.get(name)
        if index is None:
            return self._parent._key_not_found(name, True)
        return self._data[index]

    def _to_tuple_instance(self):
        return self._data

    @property
    def _mapping(self):
        return RowMapping(self._parent, None, self._key_to_index, self._data)

    def __reduce__(self):
        return (rowproxy_reconstructor, (self.__class__, {"_parent": self._parent, "_data": self._data}))

    def __setstate__(self, state):
        self._parent = parent = state["_parent"]
        self._data = state["_data"]
        self._key_to_index = parent._key_to_index


class RowMapping(Row):
    __slots__ = ()

    __getitem__ = Row._get_by_key_impl_mapping


def tuplegetter(*indexes):
    if len(indexes) != 1 and any(a != b - 1 for a, b in zip(indexes, indexes[1:])):
        return operator.itemgetter(*indexes)
    return operator.itemgetter(slice(indexes[0], indexes[-1] + 1))
