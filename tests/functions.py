"""The callables of the three modules, found from their namespaces so that
callables added later are covered without edits, and the keyword names and
raw calls that the tests of argument binding share."""

import ctypes
import gc
import sys

from velmora.kestrine import processors, rowcore, sealedmap

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


class Boom(Exception):
    pass


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
