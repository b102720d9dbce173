"""Native recursion through the public API: cycles made only of native calls
(a refusal name rebound to a refusing method, a row that is its own parent, a
module name rebound so that a function reaches itself) and deep but finite
native chains (processors of processors, rows whose parents are rows). Written
in Python, the same shapes end in RecursionError; so must these, with the
process alive. Each shape runs in a child interpreter, so that a stack
overflow is a failed test with its program, not a dead test run."""
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import gc, sys, types
from velmora.kestrine import processors, rowcore, sealedmap
from velmora.kestrine.processors import DecimalResultProcessor
from velmora.kestrine.rowcore import BaseRow

def recursion(call):
    try:
        call()
    except RecursionError:
        return
    raise AssertionError("no RecursionError")
"""

SHAPES = {
    "immutable_fn rebound to SealedMapBase._immutable": """
        sealedmap._immutable_fn = sealedmap.SealedMapBase._immutable
        m = sealedmap.sealedmap({"a": 1})
        recursion(lambda: m.clear())
        recursion(lambda: m.__setitem__("a", 2))
        recursion(lambda: setattr(m, "x", 1))
        recursion(lambda: sealedmap.SealedMapBase(a=1).pop("a"))
        assert m == {"a": 1}
    """,
    "immutable_fn rebound to sealedmap.clear": """
        sealedmap._immutable_fn = sealedmap.sealedmap.clear
        recursion(lambda: sealedmap.sealedmap().clear())
    """,
    "immutable_fn rebound to a bound update, reached through |=": """
        m = sealedmap.sealedmap()
        sealedmap._immutable_fn = m.update
        def ior():
            global m
            m |= {}
        recursion(ior)
    """,
    "readonly_fn rebound to ReadOnlyContainer._readonly": """
        sealedmap._readonly_fn = sealedmap.ReadOnlyContainer._readonly
        class Box(sealedmap.ReadOnlyContainer):
            pass
        recursion(lambda: Box().__setitem__(0, 1))
    """,
    "a row that is its own parent": """
        r = BaseRow(None, None, {}, ())
        r.__init__(r, None, {}, ())
        recursion(lambda: r.missing)
        recursion(lambda: hasattr(r, "missing"))
        recursion(lambda: getattr(r, "missing", None))
        recursion(lambda: r._get_by_key_impl_mapping("missing"))
        recursion(lambda: r.__getattr__("missing"))
    """,
    "two rows each other's parent, one restored that way": """
        a = BaseRow.__new__(BaseRow)
        b = BaseRow.__new__(BaseRow)
        a.__init__(b, None, {}, ())
        b.__setstate__({"_parent": a, "_data": ()})
        recursion(lambda: a.missing)
        recursion(lambda: b._get_by_key_impl_mapping("missing"))
    """,
    "a row among its own values, hashed": """
        r = BaseRow(None, None, None, ())
        r.__init__(None, None, None, (r,))
        recursion(lambda: hash(r))
    """,
    "operator rebound so that itemgetter is tuplegetter": """
        rowcore.operator = types.SimpleNamespace(itemgetter=rowcore.tuplegetter)
        recursion(lambda: rowcore.tuplegetter(0, 2))
    """,
    "datetime_cls rebound so that fromisoformat is str_to_datetime": """
        processors.datetime_cls = types.SimpleNamespace(fromisoformat=processors.str_to_datetime)
        recursion(lambda: processors.str_to_datetime("2024-01-01"))
    """,
    "sealedmap built from an object whose keys builds a sealedmap of it": """
        import functools
        class Keys:
            pass
        k = Keys()
        Keys.keys = staticmethod(functools.partial(sealedmap.sealedmap, k))
        recursion(lambda: sealedmap.sealedmap(k))
    """,
    "a chain of 200,000 processors, each the type of the next": """
        d = DecimalResultProcessor(str, "%s")
        for _ in range(200_000):
            d = DecimalResultProcessor(d.process, "%s")
        recursion(lambda: d.process(1))
        recursion(lambda: BaseRow(None, [d.process], None, (1,)))
        del d
    """,
    "a chain of 200,000 rows as parents": """
        r = BaseRow(None, None, {}, ())
        for _ in range(200_000):
            r = BaseRow(r, None, {}, ())
        recursion(lambda: r.missing)
        recursion(lambda: r._get_by_key_impl_mapping("missing"))
        del r
    """,
    "releasing a million rows linked through their parents": """
        r = None
        for _ in range(1_000_000):
            r = BaseRow(r, None, None, ())
        del r
        class Sub(BaseRow):
            __slots__ = ()
        r = None
        for _ in range(1_000_000):
            r = Sub(r, None, None, ())
        del r
    """,
    "releasing a million processors linked through their types": """
        d = DecimalResultProcessor(str, "%s")
        for _ in range(1_000_000):
            d = DecimalResultProcessor(d.process, "%s")
        del d
        e = DecimalResultProcessor(str, "%s")
        for _ in range(1_000_000):
            e = DecimalResultProcessor(e, "%s")
        del e
    """,
}


@pytest.mark.parametrize("shape", list(SHAPES))
def test_native_recursion_ends_in_recursion_error(shape):
    program = PRELUDE + textwrap.dedent(SHAPES[shape]) + "\nprint('survived')\n"
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and proc.stdout.strip().endswith("survived"), (
        f"exit {proc.returncode}\n--- program\n{program}\n--- stderr\n{proc.stderr[-3000:]}")
