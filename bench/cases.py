"""The benchmark cases: each operation, its closest peer and the target ratio."""
import builtins
import collections
import datetime
import decimal
import importlib
import sqlite3
import time

from bench.harness import Bulk, Micro, Unavailable

KEYS = ("a", "b", "c", "d", "e", "f")
VALUES = (1, 2, 3, 4, 5, 6)


def _need(module, *names):
    """The named attributes of a velmora.kestrine module, or Unavailable."""
    try:
        mod = importlib.import_module(f"velmora.kestrine.{module}")
    except ImportError as exc:
        raise Unavailable(f"cannot import velmora.kestrine.{module}: {exc}") from None
    missing = [name for name in names if not hasattr(mod, name)]
    if missing:
        raise Unavailable(f"velmora.kestrine.{module} lacks {', '.join(missing)}")
    return [getattr(mod, name) for name in names]


class Parent:
    """The least a row's parent needs."""

    _key_to_index = None

    def _key_not_found(self, key, as_attribute):
        raise (AttributeError if as_attribute else KeyError)(key)


def _sqlite_cursor():
    conn = sqlite3.connect(":memory:")
    cur = conn.cursor()
    cur.execute("SELECT " + ", ".join(f"{v} AS {k}" for k, v in zip(KEYS, VALUES)))
    cur.fetchall()
    return cur


def _rows():
    (BaseRow,) = _need("rowcore", "BaseRow")

    class Row(BaseRow):
        __slots__ = ()

    class RowMapping(BaseRow):
        # The toolkit's mapping view of a row: subscription is the key lookup.
        __slots__ = ()
        __getitem__ = BaseRow._get_by_key_impl_mapping

    key_map = {k: i for i, k in enumerate(KEYS)}
    parent = Parent()
    cur = _sqlite_cursor()
    return {
        "mapping": RowMapping(parent, None, key_map, VALUES),
        "BaseRow": BaseRow, "Row": Row, "parent": parent, "km": key_map, "t6": VALUES,
        "row": Row(parent, None, key_map, VALUES),
        "base_row": BaseRow(parent, None, key_map, VALUES),
        "cur": cur, "SqliteRow": sqlite3.Row, "lite": sqlite3.Row(cur, VALUES),
    }


def _to_float(text=None, number=None):
    def setup():
        (to_float,) = _need("processors", "to_float")
        value = text if text is not None else number
        return {"to_float": to_float, "float_": float, "x": value}
    return setup


def _int_to_boolean():
    (int_to_boolean,) = _need("processors", "int_to_boolean")
    return {"int_to_boolean": int_to_boolean, "bool_": bool, "x": 1}


def _str_to_datetime():
    (str_to_datetime,) = _need("processors", "str_to_datetime")
    return {
        "str_to_datetime": str_to_datetime,
        "fromisoformat": datetime.datetime.fromisoformat,
        "x": "2024-02-29T13:45:30.125000",
    }


def _decimal_process():
    (DecimalResultProcessor,) = _need("processors", "DecimalResultProcessor")
    Decimal, fmt = decimal.Decimal, "%.2f"

    def py_process(value):
        return None if value is None else Decimal(fmt % value)

    return {
        "process": DecimalResultProcessor(Decimal, fmt).process,
        "py_process": py_process,
        "x": 1234.5678,
    }


def _record_peer():
    names = _rows()
    try:
        from asyncpg.protocol.protocol import _create_record
    except ImportError as exc:
        raise Unavailable(f"asyncpg is not importable: {exc}") from None
    names["rec"] = _create_record(dict(names["km"]), VALUES)
    return names


def _namedtuple_peer():
    names = _rows()
    names["nt"] = collections.namedtuple("NT", KEYS)(*VALUES)
    return names


def _maps():
    (sealedmap,) = _need("sealedmap", "sealedmap")
    base = {f"key{i}": i for i in range(8)}
    m = sealedmap(base)
    for name in ("union", "merge_with"):
        if not hasattr(m, name):
            raise Unavailable(f"sealedmap lacks {name}")
    try:
        m | {}
    except TypeError:
        raise Unavailable("sealedmap has no | operator") from None
    return {
        "sealedmap": sealedmap, "dict_": dict, "m": m, "plain": dict(base),
        "d": {"key3": 30, "new1": 1, "new2": 2},
        "src": base, "src3": {"key0": 0, "key1": 1, "key2": 2},
    }


def _frozen_maps():
    """_maps() and the interpreter's own immutable mapping, where it has one."""
    frozendict = getattr(builtins, "frozendict", None)
    if frozendict is None:
        raise Unavailable("this interpreter has no built-in frozendict")
    names = _maps()
    names.update(frozendict_=frozendict, fd=frozendict(names["src"]))
    return names


# --- bulk: fetch from sqlite3 and build rows ------------------------------------

BULK_BATCH = 1000


def _bulk_db(rows):
    from demo.database import create_and_fill, connect

    conn = connect(":memory:")
    create_and_fill(conn, rows)
    return conn


def _fetch_build(conn, result, converters):
    from demo.database import SELECT

    row_class, key_map = result.row_class, result._key_to_index
    clock = time.thread_time
    t0 = clock()
    cur = conn.execute(SELECT)
    count = 0
    while batch := cur.fetchmany(BULK_BATCH):
        rows = [row_class(result, converters, key_map, raw) for raw in batch]
        count += len(rows)
    return count, clock() - t0


def _fetch_row_factory(conn):
    from demo.database import SELECT

    conn.row_factory = sqlite3.Row
    clock = time.thread_time
    t0 = clock()
    cur = conn.execute(SELECT)
    count = 0
    while rows := cur.fetchmany(BULK_BATCH):
        count += len(rows)
    seconds = clock() - t0
    conn.row_factory = None
    return count, seconds


def _results():
    _need("rowcore", "BaseRow")
    _need("sealedmap", "sealedmap")
    _need("processors", "int_to_boolean", "str_to_datetime", "str_to_date", "str_to_time",
          "DecimalResultProcessor")
    from demo.result import COLUMNS, DEFAULT_OPTIONS, Result

    return (Result(COLUMNS, DEFAULT_OPTIONS, "kestrine"), Result(COLUMNS, DEFAULT_OPTIONS, "interpreted"))


def bulk_converters(rows):
    def setup():
        ours, ref = _results()
        conn = _bulk_db(rows)
        return (lambda: _fetch_build(conn, ours, ours.converters),
                lambda: _fetch_build(conn, ref, ref.converters))
    return setup


def bulk_plain(rows):
    def setup():
        ours, _ = _results()
        conn = _bulk_db(rows)
        return (lambda: _fetch_build(conn, ours, None), lambda: _fetch_row_factory(conn))
    return setup


def all_cases(bulk_rows):
    return [
        Micro('to_float("1.5")', 'float("1.5")', "to_float(x)", "float_(x)", _to_float("1.5"), 0.85),
        Micro('to_float("-123.456e-7")', 'float("-123.456e-7")', "to_float(x)", "float_(x)",
              _to_float("-123.456e-7"), 0.85),
        Micro('to_float(" 1_000.5 ")', 'float(" 1_000.5 ")', "to_float(x)", "float_(x)",
              _to_float(" 1_000.5 "), 0.85),
        Micro("to_float(1.5)", "float(1.5)", "to_float(x)", "float_(x)", _to_float(number=1.5), 1.0),
        Micro("to_float(7)", "float(7)", "to_float(x)", "float_(x)", _to_float(number=7), 1.0),
        Micro("int_to_boolean(1)", "bool(1)", "int_to_boolean(x)", "bool_(x)", _int_to_boolean, 1.0),
        Micro("str_to_datetime(iso text)", "datetime.fromisoformat, bound",
              "str_to_datetime(x)", "fromisoformat(x)", _str_to_datetime, 1.10),
        Micro("DecimalResultProcessor.process", "Decimal(fmt % value) in a Python function",
              "process(x)", "py_process(x)", _decimal_process, 0.80),
        Micro("build Row(BaseRow subclass), 6-tuple", "sqlite3.Row(cursor, tuple)",
              "Row(parent, None, km, t6)", "SqliteRow(cur, t6)", _rows, 1.0),
        Micro("build BaseRow, 6-tuple", "sqlite3.Row(cursor, tuple)",
              "BaseRow(parent, None, km, t6)", "SqliteRow(cur, t6)", _rows, 0.85),
        Micro("row[2], subclass", "sqlite3.Row[2]", "row[2]", "lite[2]", _rows, 1.0),
        Micro('row._get_by_key_impl_mapping("c"), BaseRow', 'asyncpg.Record["c"]',
              'base_row._get_by_key_impl_mapping("c")', 'rec["c"]', _record_peer, 1.0),
        Micro('row._get_by_key_impl_mapping("c"), BaseRow', 'sqlite3.Row["c"]',
              'base_row._get_by_key_impl_mapping("c")', 'lite["c"]', _rows, 1.0),
        # The toolkit's rows are interpreted subclasses; their attribute
        # lookups take the interpreter's __getattr__ hook first.
        Micro('row._get_by_key_impl_mapping("c"), subclass', 'asyncpg.Record["c"]',
              'row._get_by_key_impl_mapping("c")', 'rec["c"]', _record_peer, 1.0),
        Micro('mapping["c"], a view whose __getitem__ is it', 'asyncpg.Record["c"]',
              'mapping["c"]', 'rec["c"]', _record_peer, 1.0),
        Micro("row.c on a BaseRow", "namedtuple attribute", "base_row.c", "nt.c", _namedtuple_peer, 1.80),
        # A subclass's attribute reads should cost what the base type's do,
        # for a key and for one of the type's own attributes.
        Micro("row.c on a subclass", "row.c on a BaseRow", "row.c", "base_row.c", _rows, 1.05),
        Micro("row._data on a subclass", "row._data on a BaseRow", "row._data", "base_row._data", _rows, 1.05),
        Micro("sealedmap(d)", "dict(d)", "sealedmap(src)", "dict_(src)", _maps, 1.0),
        Micro("sealedmap(d), 3 keys", "dict(d), 3 keys", "sealedmap(src3)", "dict_(src3)", _maps, 1.0),
        Micro("m.union(d)", "{**m, **d}", "m.union(d)", "{**plain, **d}", _maps, 1.15),
        Micro("m.merge_with(d)", "{**m, **d}", "m.merge_with(d)", "{**plain, **d}", _maps, 1.15),
        Micro("m | d", "d1 | d2 of plain dicts", "m | d", "plain | d", _maps, 1.15),
        # The interpreter's own immutable mapping, where it has one (3.15).
        Micro("sealedmap(d)", "frozendict(d)", "sealedmap(src)", "frozendict_(src)", _frozen_maps, 1.0),
        Micro("m | d", "fd | d of a frozendict", "m | d", "fd | d", _frozen_maps, 1.0),
        Micro("m.union(d)", "fd | d of a frozendict", "m.union(d)", "fd | d", _frozen_maps, 1.05),
        Micro('m["key3"]', 'fd["key3"] of a frozendict', 'm["key3"]', 'fd["key3"]', _frozen_maps, 1.02),
        Bulk(f"fetch {bulk_rows:,} rows, build with converters", "interpreted row class and converters",
             bulk_converters(bulk_rows), 2.0),
        Bulk(f"fetch {bulk_rows:,} rows, build without converters", "sqlite3.Row as row factory",
             bulk_plain(bulk_rows), 1.0),
    ]
