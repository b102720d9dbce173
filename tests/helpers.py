"""What the test modules share: exceptions and doubles, the traceback and
reference-count checks, the smallest row parents, the sealed-map subclasses,
and the callables of the three modules found from their namespaces (so that
callables added later are covered without edits)."""

import ctypes
import gc
import sys
import traceback

import pytest

from velmora.kestrine import processors, rowcore, sealedmap


class Boom(Exception):
    """Raised by doubles: an exception no module code raises itself."""


# ---------------------------------------------------------------------------
# Traceback entries


def entry_names(exc):
    """The function names on the traceback of `exc` (an exception or pytest's
    ExceptionInfo), outermost first."""
    if not isinstance(exc, BaseException):
        exc = exc.value
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


ROWCORE = "velmora.kestrine.rowcore."


def assert_entries(excinfo, *names):
    """rowcore's traceback entries are exactly `names`, outer to inner."""
    got = entry_names(excinfo)
    assert [n for n in got if n.startswith(ROWCORE)] == [ROWCORE + n for n in names], got


def assert_no_entry(excinfo):
    assert not any(n.startswith(ROWCORE) for n in entry_names(excinfo))


# ---------------------------------------------------------------------------
# Reference counts (debug interpreter)

debug_only = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")


def assert_steady(work, warmup=20, runs=200, slack=50):
    """Run `work` `warmup` times to fill caches, then `runs` times more; a
    leak of even one reference per run exceeds `slack`."""
    for _ in range(warmup):
        work()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(runs):
        work()
    gc.collect()
    growth = sys.gettotalrefcount() - before
    assert growth < slack, f"{growth} references gained over {runs} runs"


# ---------------------------------------------------------------------------
# Row parents


class Parent:
    """The smallest parent a row needs: a key map and a raising miss hook."""

    def __init__(self, key_to_index=None):
        self._key_to_index = key_to_index
        self.misses = []

    def _key_not_found(self, key, as_attribute):
        self.misses.append((key, as_attribute))
        raise KeyError(key)

    def __eq__(self, other):
        return type(other) is type(self) and other._key_to_index == self._key_to_index

    __hash__ = object.__hash__


class LenientParent(Parent):
    def _key_not_found(self, key, as_attribute):
        self.misses.append((key, as_attribute))
        return "ignored"


class AttrParent(Parent):
    def _key_not_found(self, key, as_attribute):
        self.misses.append((key, as_attribute))
        raise AttributeError(key)


# ---------------------------------------------------------------------------
# Sealed maps


class Frozen(sealedmap.sealedmap):
    """An interpreted subclass: it has an instance dict and its own name."""


class FrozenBase(sealedmap.SealedMapBase):
    pass


class Box(sealedmap.ReadOnlyContainer):
    pass


# ---------------------------------------------------------------------------
# Argument binding


class KeyText(str):
    """A keyword name of a str subclass whose equality can raise or collect."""
    mode = "plain"

    def __eq__(self, other):
        if self.mode == "raise":
            raise Boom("eq")
        if self.mode == "collect":
            gc.collect()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def call_raw(f, args, kwargs):
    """Through PyObject_Call: the function gets the keyword dict itself,
    also one the call syntax would refuse."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(f, args, kwargs)


# ---------------------------------------------------------------------------
# The modules' callables

MODULES = (sealedmap, processors, rowcore)


def instances():
    """A real instance of each module type, and its parent where it has one."""
    parent = type("Parent", (), {"_key_not_found": lambda self, key, flag: None, "_key_to_index": {"a": 0}})()
    row = rowcore.BaseRow(parent, None, {"a": 0}, (1,))
    return {
        sealedmap.sealedmap: sealedmap.sealedmap(a=1),
        processors.DecimalResultProcessor: processors.DecimalResultProcessor(str, "%s"),
        rowcore.BaseRow: row,
    }


def callables():
    """(label, callable, owner type or None) for every function of the
    modules and every callable in the namespace of their types."""
    found = []
    for mod in MODULES:
        for name, obj in vars(mod).items():
            if name.startswith("__") or isinstance(obj, type(sys)):
                continue
            if isinstance(obj, type):
                for attr, member in vars(obj).items():
                    if attr in ("__doc__", "__module__", "__dict__", "__weakref__", "__slots__", "__qualname__"):
                        continue
                    if isinstance(member, (classmethod, staticmethod)):
                        member = getattr(obj, attr)
                    if callable(member) or hasattr(member, "__get__"):
                        found.append((f"{mod.__name__}.{name}.{attr}", member, obj))
            elif callable(obj):
                found.append((f"{mod.__name__}.{name}", obj, None))
    return found


CALLABLES = callables()

FUNCTION_TYPES = {type(sealedmap._readonly_fn), type(processors.to_float), type(rowcore.tuplegetter)}


def function_objects():
    """{module-qualified name: (function object, owner type or None)} for each
    function object of the modules once, aliases folded into the original and
    class methods unwrapped."""
    found = {}
    for label, obj, owner in CALLABLES:
        func = getattr(obj, "__func__", obj)
        if type(func) in FUNCTION_TYPES:
            module = func.__module__.rsplit(".", 1)[1]
            found.setdefault(f"{module}.{func.__qualname__}", (func, owner))
    return found
