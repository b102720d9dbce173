"""Module-level names read at call time that are bound by a lazy import
(3.15): the modules get what interpreted code reading the same global gets,
the imported object, and the binding is left as that read leaves it."""

import builtins
import itertools
import sys
import traceback

import pytest

from velmora.kestrine import processors, rowcore, sealedmap as sealedmap_module
from velmora.kestrine.sealedmap import ReadOnlyContainer, SealedMapBase, sealedmap

pytestmark = pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports are new in 3.15")

_serial = itertools.count()


@pytest.fixture
def fresh_module(tmp_path, monkeypatch):
    """Makes a module that is not imported yet, so that a lazy import of a
    name from it stays unresolved until the name is read."""
    made = []

    def make(source):
        name = f"kx_lazy_target_{next(_serial)}"
        (tmp_path / f"{name}.py").write_text(source)
        made.append(name)
        return name

    monkeypatch.syspath_prepend(str(tmp_path))
    yield make
    for name in made:
        sys.modules.pop(name, None)


def bind_lazily(ns, statement, name):
    exec(statement, ns)
    assert type(ns[name]).__name__ == "lazy_import"
    return ns[name]


def interpreted_read(ns, statement, name):
    """What interpreted code reading the global gets after the same binding,
    and what the namespace holds afterwards."""
    bind_lazily(ns, statement, name)
    try:
        return eval(name, ns), ns[name]
    except Exception as e:  # the exception is the outcome
        return e, ns[name]


REFUSE = "def refuse(obj):\n    raise LookupError('refused ' + type(obj).__name__)\n"
GETTER = "def itemgetter(*indexes):\n    return ('getter', indexes)\n"
REBUILD = "def rebuild(cls, state):\n    return None\n"
PARSER = "class parser:\n    @classmethod\n    def fromisoformat(cls, text):\n        return ('parsed', text)\n"


def _refused(op):
    def call():
        with pytest.raises(LookupError) as e:
            op()
        return str(e.value)
    return call


def _row():
    parent = type("P", (), {"_key_to_index": {"a": 0}, "_key_not_found": lambda s, k, f: None})()
    return rowcore.BaseRow(parent, None, {"a": 0}, (1,))


def _assign(m):
    m["k"] = 1


class Slotted(ReadOnlyContainer):
    __slots__ = ("x",)


IMMUTABLE = "lazy from {mod} import refuse as _immutable_fn"

# (module, global name, source of the module it comes from, the lazy import
# statement with {mod} for that module, a call that reads the name, what the
# call gives with the imported object)
CASES = [
    (sealedmap_module, "_immutable_fn", REFUSE, IMMUTABLE, _refused(lambda: sealedmap().clear()), "refused sealedmap"),
    (sealedmap_module, "_immutable_fn", REFUSE, IMMUTABLE, _refused(lambda: _assign(sealedmap())),
     "refused sealedmap"),
    (sealedmap_module, "_immutable_fn", REFUSE, IMMUTABLE, _refused(lambda: SealedMapBase().pop(1)),
     "refused SealedMapBase"),
    (sealedmap_module, "_readonly_fn", REFUSE, "lazy from {mod} import refuse as _readonly_fn",
     _refused(lambda: setattr(Slotted(), "x", 1)), "refused Slotted"),
    (rowcore, "operator", GETTER, "lazy import {mod} as operator", lambda: rowcore.tuplegetter(0, 2),
     ("getter", (0, 2))),
    (rowcore, "rowproxy_reconstructor", REBUILD, "lazy from {mod} import rebuild as rowproxy_reconstructor",
     lambda: _row().__reduce__()[0].__name__, "rebuild"),
    (processors, "datetime_cls", PARSER, "lazy from {mod} import parser as datetime_cls",
     lambda: processors.str_to_datetime("2026-12-10"), ("parsed", "2026-12-10")),
    (processors, "date_cls", PARSER, "lazy from {mod} import parser as date_cls",
     lambda: processors.str_to_date("2026-12-10"), ("parsed", "2026-12-10")),
    (processors, "time_cls", PARSER, "lazy from {mod} import parser as time_cls",
     lambda: processors.str_to_time("12:10"), ("parsed", "12:10")),
]


def imported(statement, mod):
    """The object a resolved `statement` binds, `mod` being imported."""
    target = sys.modules[mod]
    return getattr(target, statement.split(" import ")[1].split(" as ")[0]) if " from " in statement else target


@pytest.mark.parametrize("module, name, source, statement, call, gives", CASES)
def test_lazy_binding_is_resolved_as_a_global_read_does(fresh_module, module, name, source, statement, call, gives):
    ns = vars(module)
    mod = fresh_module(source)
    placeholder = bind_lazily(ns, statement.format(mod=mod), name)
    held = sys.getrefcount(placeholder)
    assert call() == gives
    ours = ns[name]
    # The namespace let go of the placeholder, and nothing else did.
    assert sys.getrefcount(placeholder) == held - 1
    # The interpreter's own read of the same import from a module of the
    # same source, not imported yet either.
    other = fresh_module(source)
    read, after = interpreted_read(ns, statement.format(mod=other), name)
    assert ours is imported(statement, mod)
    assert read is after is imported(statement, other)


def test_tuplegetter_with_operator_imported_lazily():
    ns = vars(rowcore)
    exec("lazy import operator", ns)
    assert rowcore.tuplegetter(0, 2)((1, 2, 3)) == (1, 3)
    assert ns["operator"] is sys.modules["operator"]


def test_binding_changed_during_resolution(fresh_module):
    # The module being imported rebinds the name: as for a global read, the
    # call uses the imported object and the new binding stays.
    ns = vars(rowcore)
    source = GETTER + "import velmora.kestrine.rowcore as r\nr.operator = 'rebound'\n"
    mod = fresh_module(source)
    bind_lazily(ns, f"lazy import {mod} as operator", "operator")
    assert rowcore.tuplegetter(0, 2) == ("getter", (0, 2))
    ours = ns["operator"]
    read, after = interpreted_read(ns, f"lazy import {fresh_module(source)} as operator", "operator")
    assert type(read).__name__ == "module"
    assert ours == after == "rebound"


def test_failed_resolution_raises_the_import_error():
    ns = vars(rowcore)
    statement = "lazy import kx_lazy_no_such_module as operator"
    bind_lazily(ns, statement, "operator")
    with pytest.raises(ImportError) as e:
        rowcore.tuplegetter(0, 2)
    assert type(ns["operator"]).__name__ == "lazy_import"
    read, after = interpreted_read(ns, statement, "operator")
    assert (type(e.value), str(e.value), repr(e.value.__cause__)) == (type(read), str(read), repr(read.__cause__))
    assert type(after).__name__ == "lazy_import"
    names = [f.name for f in traceback.extract_tb(e.value.__traceback__)]
    assert "velmora.kestrine.rowcore.tuplegetter" in names


def test_lazy_binding_among_the_builtins(fresh_module):
    # Deleted from the module, the name is found among the builtins, where
    # a lazy binding is resolved as a global read resolves it there.
    ns = vars(sealedmap_module)
    del ns["_immutable_fn"]
    bns = vars(builtins)
    try:
        mod = fresh_module(REFUSE)
        bind_lazily(bns, IMMUTABLE.format(mod=mod), "_immutable_fn")
        with pytest.raises(LookupError, match="refused sealedmap"):
            sealedmap().clear()
        assert bns["_immutable_fn"] is sys.modules[mod].refuse
        other = fresh_module(REFUSE)
        bind_lazily(bns, IMMUTABLE.format(mod=other), "_immutable_fn")
        assert eval("_immutable_fn", {}) is bns["_immutable_fn"] is sys.modules[other].refuse
    finally:
        bns.pop("_immutable_fn", None)
