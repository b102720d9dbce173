"""The embedded database: one table with the column kinds drivers hand over raw."""
import datetime
import sqlite3

TABLE = "kestrine_demo_items"

# Column name -> declared SQL type. The order is the select order.
COLUMN_TYPES = (
    ("id", "INTEGER"),
    ("flag", "INTEGER"),
    ("name", "TEXT"),
    ("created_at", "TEXT"),
    ("day", "TEXT"),
    ("at_time", "TEXT"),
    ("price", "REAL"),
    ("note", "TEXT"),
)

SELECT = f"SELECT {', '.join(name for name, _ in COLUMN_TYPES)} FROM {TABLE} ORDER BY id"

_EPOCH = datetime.datetime(2024, 1, 1, 8, 0, 0)
_WORDS = ("amber", "birch", "cedar", "delta", "ember", "fjord", "grove", "heron")


class DatabaseError(Exception):
    """The database could not be opened, created or filled."""


def connect(path):
    """Open the database at `path` (":memory:" for an in-memory one)."""
    try:
        # A path we cannot open only fails on first use, so touch it here.
        conn = sqlite3.connect(path)
        conn.execute("PRAGMA schema_version").fetchone()
    except sqlite3.Error as exc:
        raise DatabaseError(f"cannot open database {path!r}: {exc}") from None
    return conn


def raw_rows(count):
    """Yield `count` deterministic raw rows, as a driver would store them."""
    for i in range(count):
        stamp = _EPOCH + datetime.timedelta(seconds=i * 37, microseconds=(i * 7919) % 1_000_000)
        yield (
            i + 1,
            int(i % 3 == 0),
            f"{_WORDS[i % len(_WORDS)]}-{i:07d}",
            stamp.isoformat(),
            stamp.date().isoformat(),
            stamp.time().isoformat(),
            round((i * 7.31) % 1000 + 0.99, 2),
            None if i % 4 else f"note {i}",
        )


def create_and_fill(conn, count):
    """(Re)create the demo table and insert `count` rows in one transaction."""
    columns = ", ".join(f"{name} {kind}" for name, kind in COLUMN_TYPES)
    marks = ", ".join("?" for _ in COLUMN_TYPES)
    try:
        with conn:
            conn.execute(f"DROP TABLE IF EXISTS {TABLE}")
            conn.execute(f"CREATE TABLE {TABLE} ({columns})")
            conn.executemany(f"INSERT INTO {TABLE} VALUES ({marks})", raw_rows(count))
    except sqlite3.Error as exc:
        raise DatabaseError(f"cannot create the demo table: {exc}") from None
