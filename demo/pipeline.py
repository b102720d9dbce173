"""The timed road: fetch in batches, build, read, project and pickle rows.

Each fetched batch goes through all three implementations in turn (the native
rows, the interpreted reference and sqlite3.Row), so a slow moment of a
shared machine hits all of them alike and the ratios stay meaningful. Stages
are timed in CPU time of the running thread, which leaves out the time other
processes take from it.
"""
import datetime
import decimal
import gc
import operator
import pickle
import sqlite3
import time

from demo.database import SELECT, TABLE
from demo.result import COLUMNS, Result

IMPLEMENTATIONS = ("kestrine", "interpreted", "sqlite3.Row")

# (key, label) in report order; the key names the stage in the JSON output.
STAGES = (
    ("fetch", "fetch raw tuples"),
    ("build", "build rows, with converters"),
    ("build_plain", "build rows, no converters"),
    ("attribute", "read by attribute"),
    ("key", "read by key (row._mapping[key])"),
    ("position", "read by position"),
    ("project", "project (tuplegetter)"),
    ("pickle", "pickle round trip (sample)"),
)

# Stage sums reported as totals. The whole road needs converters and
# attribute access, which sqlite3.Row lacks; the common road is what all
# three can do.
TOTALS = (
    ("whole", "whole road", ("fetch", "build", "attribute", "key", "position", "project")),
    ("common", "common road", ("fetch", "build_plain", "key", "position", "project")),
)

PICKLE_SAMPLE = 1000
# One round trip of the sample takes about 3 ms: timed once, it swung by a
# fifth from run to run. The two flavours take turns this many times each.
PICKLE_ROUNDS = 25


class CheckFailed(Exception):
    """A row did not give back what was put in."""


# --- the per-stage work, shared by the native and the interpreted rows -------

def build(row_class, parent, converters, key_map, batch):
    return [row_class(parent, converters, key_map, raw) for raw in batch]


def read_attributes(rows):
    for r in rows:
        r.id; r.flag; r.name; r.created_at; r.day; r.at_time; r.price; r.note  # noqa: E702


def read_keys(rows):
    # As the toolkit reads by key: through the row's mapping view.
    for r in rows:
        m = r._mapping
        m["id"]; m["flag"]; m["name"]; m["created_at"]; m["day"]; m["at_time"]; m["price"]; m["note"]  # noqa: E702


def read_keys_sqlite(rows):
    for r in rows:
        r["id"]; r["flag"]; r["name"]; r["created_at"]; r["day"]; r["at_time"]; r["price"]; r["note"]  # noqa: E702


def read_positions(rows):
    for r in rows:
        r[0]; r[1]; r[2]; r[3]; r[4]; r[5]; r[6]; r[7]  # noqa: E702


def project(rows, middle, ends):
    for r in rows:
        middle(r)
        ends(r)


def round_trip(rows):
    return pickle.loads(pickle.dumps(rows, pickle.HIGHEST_PROTOCOL))


# --- one implementation's state over the run ---------------------------------

class Flavour:
    """The native or the interpreted rows, with their parent result."""

    def __init__(self, name, options):
        self.name = name
        self.result = Result(COLUMNS, options, name)
        self.times = dict.fromkeys((key for key, _ in STAGES), 0)
        self.sample = []
        getter = self.result.tuplegetter
        self.middle = getter(2, 3, 4)
        self.ends = getter(0, 7)

    def run_batch(self, batch, clock=time.thread_time_ns):
        res, times = self.result, self.times
        row_class, key_map = res.row_class, res._key_to_index

        t0 = clock()
        rows = build(row_class, res, res.converters, key_map, batch)
        t1 = clock()
        build(row_class, res, None, key_map, batch)
        t2 = clock()
        read_attributes(rows)
        t3 = clock()
        read_keys(rows)
        t4 = clock()
        read_positions(rows)
        t5 = clock()
        project(rows, self.middle, self.ends)
        t6 = clock()

        times["build"] += t1 - t0
        times["build_plain"] += t2 - t1
        times["attribute"] += t3 - t2
        times["key"] += t4 - t3
        times["position"] += t5 - t4
        times["project"] += t6 - t5
        if len(self.sample) < PICKLE_SAMPLE:
            self.sample.extend(rows[: PICKLE_SAMPLE - len(self.sample)])
        return rows

    def pickle_sample(self, clock=time.thread_time_ns):
        t0 = clock()
        restored = round_trip(self.sample)
        self.times["pickle"] += clock() - t0
        return restored


class SqliteRows:
    """sqlite3.Row, the interpreter's own row type, built from the same tuples."""

    name = "sqlite3.Row"
    unsupported = ("build", "attribute", "pickle")

    def __init__(self, cursor):
        self.cursor = cursor
        self.times = dict.fromkeys((key for key, _ in STAGES), 0)
        self.middle = operator.itemgetter(slice(2, 5))
        self.ends = operator.itemgetter(0, 7)

    def run_batch(self, batch, clock=time.thread_time_ns):
        times, row_class, cursor = self.times, sqlite3.Row, self.cursor
        t0 = clock()
        rows = [row_class(cursor, raw) for raw in batch]
        t1 = clock()
        read_keys_sqlite(rows)
        t2 = clock()
        read_positions(rows)
        t3 = clock()
        project(rows, self.middle, self.ends)
        t4 = clock()
        times["build_plain"] += t1 - t0
        times["key"] += t2 - t1
        times["position"] += t3 - t2
        times["project"] += t4 - t3
        return rows


# --- checks, outside the timed stages ------------------------------------------

def _expect(condition, message):
    if not condition:
        raise CheckFailed(message)


def check_batch(batch, native_rows, python_rows, sqlite_rows, native):
    """The native rows must give back exactly what the reference gives."""
    names = native.result.keys
    kinds = (int, bool, str, datetime.datetime, datetime.date, datetime.time, decimal.Decimal)
    for raw, row, ref, lite in zip(batch, native_rows, python_rows, sqlite_rows):
        values = tuple(row)
        _expect(values == tuple(ref), f"native row {values!r} differs from the reference {tuple(ref)!r}")
        _expect(tuple(lite) == raw, f"sqlite3.Row {tuple(lite)!r} differs from the raw row {raw!r}")
        for value, kind in zip(values, kinds):
            _expect(type(value) is kind, f"{value!r} should be a {kind.__name__}")
        _expect(values[-1] is None or isinstance(values[-1], str), f"note {values[-1]!r}")
        _expect(values[6] == decimal.Decimal("%.2f" % raw[6]), f"price {values[6]!r} from {raw[6]!r}")
        mapping = row._mapping
        for i, name in enumerate(names):
            by_key = row._get_by_key_impl_mapping(name)
            _expect(
                getattr(row, name) is by_key is mapping[name] is row[i] is mapping[i]
                is mapping[(TABLE, name)],
                f"column {name!r} reads differently by attribute, key and position",
            )
        _expect(native.middle(row) == values[2:5] and native.ends(row) == (values[0], values[7]),
                "tuplegetter picked the wrong columns")

    row = native_rows[0]
    _expect(not hasattr(row, "no_such_column"), "a missing column answered an attribute lookup")
    for lookup in (row._get_by_key_impl_mapping, row._mapping.__getitem__):
        try:
            lookup("no_such_column")
        except KeyError as exc:
            _expect("'no_such_column'" in str(exc), f"unclear message for a missing column: {exc}")
        else:
            raise CheckFailed("a missing column answered a key lookup")


def check_pickled(original, restored):
    _expect(len(restored) == len(original), "the pickled sample lost rows")
    parent = restored[0]._parent
    _expect(type(parent) is Result and parent is not original[0]._parent, "the parent was not pickled")
    for before, after in zip(original, restored):
        _expect(type(after) is type(before), f"unpickled a {type(after).__name__}, not a {type(before).__name__}")
        _expect(tuple(after) == tuple(before), f"unpickled {tuple(after)!r}, pickled {tuple(before)!r}")
        _expect(after._parent is parent, "unpickled rows do not share their parent")
        _expect(after._key_to_index is parent._key_to_index, "unpickled row lost its parent's key map")
        _expect(after.name == before.name, "unpickled row reads its columns differently")


# --- the run -------------------------------------------------------------------

def run(conn, total, options, progress):
    """Fetch all rows in batches through the three implementations; return the times.

    The cyclic collector is paused meanwhile: its pauses would land on whichever
    implementation happens to allocate when a threshold is crossed, and rows
    form no cycles, so reference counting alone frees them.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        return _run(conn, total, options, progress)
    finally:
        if was_enabled:
            gc.enable()


def _run(conn, total, options, progress):
    native = Flavour("kestrine", options)
    python = Flavour("interpreted", options)
    cursor = conn.cursor()
    cursor.execute(SELECT)
    lite = SqliteRows(cursor)
    batch_size = options["batch_size"]
    fetch_ns = 0
    done = 0
    clock = time.thread_time_ns
    first = True
    impls = [native, python, lite]
    turn = 0
    while True:
        t0 = clock()
        batch = cursor.fetchmany(batch_size)
        fetch_ns += clock() - t0
        if not batch:
            break
        # Take turns at going first, so that warm caches favour no one.
        order = impls[turn:] + impls[:turn]
        turn = (turn + 1) % len(impls)
        if first:
            built = {impl.name: impl.run_batch(batch) for impl in order}
            check_batch(batch, built["kestrine"], built["interpreted"], built["sqlite3.Row"], native)
            del built
            first = False
        else:
            for impl in order:
                impl.run_batch(batch)
        done += len(batch)
        progress.update(done, "fetch, build, read, project")
    _expect(done == total, f"fetched {done} rows, expected {total}")

    progress.update(done, "pickle round trip")
    # The process's first round trip pays one-time costs of the pickle
    # machinery and of rebuilding the parent, which would land on whichever
    # flavour is timed first (about 8 ms of a 3 ms round trip, either way
    # round): one untimed round each before the timed ones.
    for flavour in (native, python):
        round_trip(flavour.sample)
    for r in range(PICKLE_ROUNDS):
        for flavour in (native, python) if r % 2 == 0 else (python, native):
            check_pickled(flavour.sample, flavour.pickle_sample())
    progress.finish()

    for impl in (native, python, lite):
        impl.times["fetch"] = fetch_ns
    return {
        "rows": done,
        "pickle_sample": len(native.sample),
        "pickle_rounds": PICKLE_ROUNDS,
        "times": {impl.name: impl.times for impl in (native, python, lite)},
        "unsupported": {"sqlite3.Row": SqliteRows.unsupported},
    }
