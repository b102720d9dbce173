"""A generative crash hunt: random programs over the three modules' own
objects and hostile ones, run in a child interpreter so that a crash is a
finding with its program instead of a dead test run.

    python3.14 tools/crash_hunt.py [--examples N] [--seed S] [--keep-going]

Each program is plain Python text: a fixed prelude (imports, hostile
classes, the `guard` that swallows ordinary exceptions) and a list of steps,
each under `with guard:`. Programs build rows whose parents are rows (chains
and cycles), processors that are module functions or bound `process`
methods of other processors, rebound module names that lead a function back
to itself, key maps with odd values, dunders that raise, recurse or collect
garbage, and then call module APIs on all of it. Deep chains are short
mostly and sometimes 30,000-200,000 long, deep enough to exhaust the C stack
where nothing consults the recursion limit.

The child process (`--child`) runs hypothesis with a fixed seed, a fixed
number of examples and no database, and writes each program to a journal
file before running it. The parent runs the child; when the child dies by a
signal, aborts or hangs, the journal's program is the finding, and the
parent shrinks it by dropping steps while a fresh interpreter still dies on
it. A SystemError (an error returned without an exception, or the reverse)
escapes the guard and is a finding too, shrunk by hypothesis in the child.
Any other exception, RecursionError included, is an ordinary outcome.

Between programs the child puts back each module's namespace (order
included), the refusal base classes' attributes and anything a program set
on builtins, then drops the program's namespace and collects its cycles.
"""

import argparse
import builtins
import gc
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

# Exit status of a child that found a SystemError.
FOUND_SYSTEM_ERROR = 3

PRELUDE = '''\
import builtins, copy, gc, pickle, sys, types
from velmora.kestrine import processors, rowcore, sealedmap


class Guard:
    """Ends a step on an ordinary exception. A SystemError is a native error
    path gone wrong, so it escapes."""
    def __enter__(self):
        return self
    def __exit__(self, tp, exc, tb):
        return tp is not None and issubclass(tp, Exception) and not issubclass(tp, SystemError)


guard = Guard()


def hook():
    """Called first by every protocol of Hostile; steps rebind it."""


class Hostile:
    """Runs hook() in every protocol, then answers sanely."""
    def __hash__(self): hook(); return 7
    def __eq__(self, other): hook(); return False
    def __index__(self): hook(); return 0
    def __int__(self): hook(); return 0
    def __float__(self): hook(); return 0.5
    def __str__(self): hook(); return "a"
    def __bool__(self): hook(); return True
    def __len__(self): hook(); return 2
    def __iter__(self): hook(); return iter(("a", "b"))
    def __getitem__(self, i): hook(); return str
    def __call__(self, *a, **k): hook(); return a[0] if a else None
    def __mod__(self, other): hook(); return "1"
    def __rmod__(self, other): hook(); return "1"
    def __or__(self, other): hook(); return {}
    def __ror__(self, other): hook(); return {}
    def keys(self): hook(); return ["a"]
    def __getattr__(self, name): hook(); raise AttributeError(name)


class Raising:
    """Every protocol raises."""
    def _raise(self, *a, **k): raise LookupError("hostile")
    __hash__ = __eq__ = __index__ = __int__ = __float__ = __str__ = __bool__ = _raise
    __len__ = __iter__ = __getitem__ = __call__ = __mod__ = __rmod__ = keys = _raise
    def __getattr__(self, name): raise LookupError(name)


class Recursing:
    """Every protocol recurses into itself until the interpreter stops it."""
    def __hash__(self): return hash(self)
    def __eq__(self, other): return self == other
    def __index__(self): return self.__index__()
    def __int__(self): return int(self)
    def __str__(self): return str(self)
    def __len__(self): return len(self)
    def __iter__(self): return iter(self)
    def __getitem__(self, i): return self[i]
    def __call__(self, *a): return self(*a)
    def __getattr__(self, name): return getattr(self, name)


class IntSub(int):
    pass


class Parent:
    """A row parent whose miss handler runs hook()."""
    _key_to_index = {"a": 0, "b": 1}
    def _key_not_found(self, key, as_attribute):
        hook()
        raise KeyError(key)


class RowSub(rowcore.BaseRow):
    pass


class RowSlots(rowcore.BaseRow):
    __slots__ = ()


class MapSub(sealedmap.sealedmap):
    pass


class BaseSub(sealedmap.SealedMapBase):
    pass


class ReadOnly(sealedmap.ReadOnlyContainer):
    __slots__ = ("x",)
'''


def render(steps):
    """The program text: the prelude, then each step under the guard."""
    body = "".join("\nwith guard:\n" + textwrap.indent(step, "    ") + "\n" for step in steps)
    return PRELUDE + body


# ---------------------------------------------------------------------------
# The generator

ROWS = ("r0", "r1", "r2")
PROCS = ("d0", "d1")
MAPS = ("m0", "m1")
GETTERS = ("t0",)

# Where the modules read names at call time, and the base classes whose
# attributes the refusals go through.
REBINDABLE = (
    "sealedmap._immutable_fn", "sealedmap._readonly_fn",
    "processors.datetime_cls", "processors.time_cls", "processors.date_cls",
    "rowcore.operator", "rowcore.rowproxy_reconstructor",
)
CLASS_ATTRS = (
    "sealedmap.SealedMapBase._immutable", "sealedmap.SealedMapBase.update", "sealedmap.SealedMapBase.clear",
    "sealedmap.SealedMapBase.__setitem__", "sealedmap.ReadOnlyContainer._readonly",
    "sealedmap.ReadOnlyContainer.__setattr__",
)

MODULE_CALLABLES = (
    "processors.to_str", "processors.to_float", "processors.int_to_boolean", "processors.str_to_datetime",
    "processors.str_to_time", "processors.str_to_date", "processors.DecimalResultProcessor",
    "rowcore.tuplegetter", "rowcore.rowproxy_reconstructor", "rowcore.BaseRow",
    "rowcore.BaseRow._get_by_key_impl_mapping", "rowcore.BaseRow.__getattr__", "rowcore.BaseRow.__setstate__",
    "rowcore.BaseRow.__reduce__", "rowcore.BaseRow._values_impl",
    "sealedmap.sealedmap", "sealedmap.sealedmap.clear", "sealedmap.sealedmap.update", "sealedmap.sealedmap.union",
    "sealedmap.sealedmap.merge_with", "sealedmap.sealedmap.__ior__", "sealedmap.sealedmap.copy",
    "sealedmap._immutable_fn", "sealedmap._readonly_fn", "sealedmap.SealedMapBase._immutable",
    "sealedmap.ReadOnlyContainer._readonly", "sealedmap.SealedMapBase.update",
    "sealedmap.ReadOnlyContainer.__setattr__",
)
PLAIN_CALLABLES = ("str", "int", "float", "repr", "hash", "bool", "gc.collect", "pickle.dumps", "copy.copy",
                   "Hostile()", "Raising()", "Recursing()", "hook", "lambda *a, **k: hook()")
BOUND_METHODS = {
    "row": ("_get_by_key_impl_mapping", "__getattr__", "__setstate__", "__reduce__", "_values_impl", "__init__"),
    "proc": ("process", "__reduce__", "__setstate__"),
    "map": ("update", "clear", "union", "merge_with", "__ior__", "__or__", "copy", "setdefault"),
}
FORMATS = ('"%s"', '"%d"', '"%.3f"', "None", '"%s%s"', '"%(a)s"', '"x"')
KEYS = ('"a"', '"b"', '"missing"', "7", "0", "Hostile()", "Raising()", "Recursing()", "[]", "None", "IntSub(0)")
INDEXES = ("0", "-1", "5", "Hostile()", "Raising()", "slice(None)", "slice(Hostile())", '"a"')
NAMES = ("a", "b", "missing", "_parent", "_data", "_key_to_index", "__class__", "_key_not_found", "process")
KEY_MAPS = ("None", "{}", '{"a": 0, "b": 1}', '{"a": 0, 7: 1, "b": -1}', '{"a": Hostile()}', '{"a": None}',
            '{"a": 2**40}', '{"a": -5}', '{"a": "x"}', '{Hostile(): 0, "a": 1}', '{"a": True, "b": IntSub(1)}',
            '{"a": Raising()}', '{"a": Recursing()}', "sealedmap.sealedmap(a=0)")
VALUES = ("None", "0", "1", "-1", "2**64", "1.5", '"2024-01-02"', '"12:30:45"', '"2024-01-02T03:04:05"', '"1.5"',
          '"x"', 'b"2.5"', "()", "(1, 2)", "[]", '{"a": 1}', "Hostile()", "Raising()", "Recursing()", "IntSub(3)",
          '"1_0.5"', "float('nan')")
DATA = ("()", "(1, 2)", '("2024-01-02", "1.5", 3)', "[1, 2]", "range(3)", "Hostile()", "Raising()", '"ab"',
        "iter((1, 2))", "(Hostile(), Raising())")
# Single expressions: a map's constructor argument or the other operand.
MAP_OPERANDS = ('{"a": 1}', '[("a", 1)]', "Hostile()", "Raising()", '{Hostile(): 1}', '{"a": Hostile()}',
                '{"a": 1, 7: 2}', '[("a", 1), 5]')
MAP_KINDS = ("sealedmap.sealedmap", "MapSub", "BaseSub", "sealedmap.SealedMapBase", "dict")


class Gen:
    """Draws one program's steps, keeping track of the names set so far so
    that most steps use objects that exist."""

    def __init__(self, draw):
        import hypothesis.strategies as st

        self.st = st
        self.draw = draw
        self.defined = set()

    def pick(self, seq):
        return self.draw(self.st.sampled_from(seq))

    def chance(self, n):
        """True about once in n draws."""
        return self.draw(self.st.integers(0, n - 1)) == 0

    def existing(self, pool):
        have = [n for n in pool if n in self.defined]
        return self.pick(have) if have else None

    def target(self, pool):
        name = self.pick(pool)
        self.defined.add(name)
        return name

    def depth(self):
        """Mostly shallow; sometimes deep enough to exhaust the C stack."""
        if self.chance(8):
            return self.pick((30_000, 60_000, 200_000))
        return self.draw(self.st.integers(1, 40))

    # -- objects --------------------------------------------------------------

    def callable(self):
        kind = self.pick(("module", "module", "bound", "bound", "plain"))
        if kind == "bound":
            pools = [(k, p) for k, p in (("row", ROWS), ("proc", PROCS), ("map", MAPS)) if self.existing(p)]
            if pools:
                k, pool = self.pick(pools)
                return f"{self.existing(pool)}.{self.pick(BOUND_METHODS[k])}"
        if kind == "plain":
            return self.pick(PLAIN_CALLABLES)
        return self.pick(MODULE_CALLABLES)

    def holder(self):
        """Something whose `fromisoformat` / `itemgetter` / miss handler is a
        callable of our choosing."""
        c = self.callable()
        return self.pick((
            f"types.SimpleNamespace(fromisoformat={c}, itemgetter={c}, _key_not_found={c}, _key_to_index={{}})",
            f"type('Holder', (), {{'fromisoformat': {c}, 'itemgetter': {c}, '_key_not_found': {c}}})",
            f"type('Holder', (), {{'fromisoformat': staticmethod({c}), 'itemgetter': staticmethod({c})}})()",
            c,
        ))

    def parent(self):
        row = self.existing(ROWS)
        choices = ["None", "Parent()", "Hostile()", "Raising()", "Recursing()", self.holder(), '{"a": 0}']
        if row:
            choices += [row, row, row]
        proc = self.existing(PROCS)
        if proc:
            choices.append(proc)
        return self.pick(choices)

    def value(self):
        extra = [n for n in ROWS + PROCS + MAPS if n in self.defined]
        return self.pick(VALUES + tuple(extra))

    def processors_list(self):
        kind = self.pick(("none", "list", "list", "tuple", "hostile"))
        if kind == "none":
            return self.pick(("None", "[]", "()"))
        if kind == "hostile":
            return self.pick(("Hostile()", "Raising()", "Recursing()"))
        n = self.draw(self.st.integers(1, 3))
        items = ", ".join(self.pick(("None", self.callable(), self.callable())) for _ in range(n))
        return f"[{items}]" if kind == "list" else f"({items},)"

    def data(self):
        row = self.existing(ROWS)
        return self.pick(DATA + ((row, f"({row}, {row})") if row else ()))

    def state(self):
        return self.pick((
            f'{{"_parent": {self.parent()}, "_data": {self.pick(("None", "()", "(1, 2)", "[1]", "Hostile()"))}}}',
            f'{{"_parent": {self.parent()}, "_data": (1,)}}',
            '{"_parent": None}', "{}", "Hostile()", "None",
        ))

    # -- steps ----------------------------------------------------------------

    def step(self):
        kinds = ["row_new", "row_new", "row_reinit", "row_setstate", "row_read", "row_read", "row_read",
                 "row_pickle", "row_chain", "row_cycle", "row_cycle", "proc_new", "proc_call", "proc_chain",
                 "convert", "rebind", "rebind", "loop", "loop", "loop", "class_attr", "hook", "map_new", "map_op",
                 "map_op", "map_chain", "refuse", "getter", "collect"]
        return getattr(self, "s_" + self.pick(kinds))()

    def s_row_new(self):
        cls = self.pick(("rowcore.BaseRow", "rowcore.BaseRow", "RowSub", "RowSlots"))
        args = f"{self.parent()}, {self.processors_list()}, {self.pick(KEY_MAPS)}, {self.data()}"
        return f"{self.target(ROWS)} = {cls}({args})"

    def s_row_reinit(self):
        row = self.existing(ROWS)
        if row is None:
            return self.s_row_new()
        return f"{row}.__init__({self.parent()}, {self.processors_list()}, {self.pick(KEY_MAPS)}, {self.data()})"

    def s_row_setstate(self):
        row = self.existing(ROWS)
        cls = self.pick(("rowcore.BaseRow", "RowSub", "RowSlots", "Hostile", "Parent"))
        if row is None or self.chance(3):
            return f"{self.target(ROWS)} = rowcore.rowproxy_reconstructor({cls}, {self.state()})"
        return f"{row}.__setstate__({self.state()})"

    def s_row_read(self):
        row = self.existing(ROWS) or self.pick(ROWS)
        name = self.pick(NAMES)
        return self.pick((
            f"{row}.{name}",
            f"hasattr({row}, {name!r})",
            f"getattr({row}, {name!r}, None)",
            f"{row}.__getattr__({name!r})",
            f"{row}._get_by_key_impl_mapping({self.pick(KEYS)})",
            f"{row}[{self.pick(INDEXES)}]",
            f"len({row}), list({row}), {row}._values_impl(), {row}._to_tuple_instance()",
            f"hash({row})",
            f"repr({row}), {row} == {self.existing(ROWS) or row}",
        ))

    def s_row_pickle(self):
        row = self.existing(ROWS) or self.pick(ROWS)
        return self.pick((
            f"pickle.loads(pickle.dumps({row}))",
            f"copy.copy({row})",
            f"copy.deepcopy({row})",
            f"{row}.__reduce__()",
            f"{row}.__reduce_ex__(2)",
            f"{row}.__getstate__()",
        ))

    def s_row_chain(self):
        """A chain of rows, each the parent (or the value) of the next, then
        a read through the end of it."""
        name = self.target(ROWS)
        n = self.depth()
        root = self.pick(("None", "Parent()", "None", self.existing(ROWS) or "None"))
        link = self.pick((
            f"rowcore.BaseRow({name}, None, {{}}, ())",
            f'rowcore.BaseRow({name}, None, {{"a": None}}, (1,))',
            f"RowSlots({name}, None, {{}}, ())",
            f'rowcore.BaseRow(None, None, {{"a": 0}}, ({name},))',
        ))
        read = self.pick((f"{name}.missing", f"hasattr({name}, 'missing')",
                          f"{name}._get_by_key_impl_mapping('missing')", f"hash({name})",
                          f"pickle.dumps({name})", f"{name}.a"))
        return f"{name} = rowcore.BaseRow({root}, None, {{}}, ())\nfor _ in range({n}): {name} = {link}\n{read}"

    def s_row_cycle(self):
        """One to three rows, each the parent of the next and the last the
        parent of the first, made by __init__, __setstate__ or the pickle
        reconstructor; then a read that misses the key map."""
        names = ROWS[:self.draw(self.st.integers(1, 3))]
        keys = self.pick(("{}", '{"a": 0}', '{"a": None}', "None"))
        lines = [f"{n} = {self.pick(('rowcore.BaseRow', 'RowSlots', 'RowSub'))}(None, None, {keys}, (1,))"
                 for n in names]
        for i, n in enumerate(names):
            p = names[(i + 1) % len(names)]
            self.defined.add(n)
            lines.append(self.pick((
                f"{n}.__init__({p}, None, {keys}, (1,))",
                f'{n}.__setstate__({{"_parent": {p}, "_data": (1,)}})',
            )))
        last = names[-1]
        lines.append(self.pick((f"{last}.missing", f"hasattr({last}, 'missing')", f"getattr({last}, 'b', None)",
                                f"{last}._get_by_key_impl_mapping('missing')", f"{last}.__getattr__('a')",
                                f"pickle.loads(pickle.dumps({last}))", f"copy.deepcopy({last})")))
        return "\n".join(lines)

    def s_loop(self):
        """A module name rebound to something that leads a call back into
        the function that reads the name, then that call."""
        family = self.pick(("refusal", "iso", "operator"))
        if family == "refusal":
            where = self.pick(("sealedmap._immutable_fn", "sealedmap._readonly_fn"))
            value = self.pick((
                "sealedmap.SealedMapBase._immutable", "sealedmap.ReadOnlyContainer._readonly",
                "sealedmap.sealedmap.clear", "sealedmap.sealedmap.update", "sealedmap.sealedmap.pop",
                "sealedmap.sealedmap.__ior__", "sealedmap.sealedmap().update", "sealedmap.sealedmap().clear",
                "sealedmap.SealedMapBase.update", "sealedmap.ReadOnlyContainer.__setattr__",
                "sealedmap._immutable_fn", "sealedmap._readonly_fn", self.callable()))
            call = self.pick((
                "sealedmap.sealedmap().clear()", "sealedmap.sealedmap.clear(sealedmap.sealedmap())",
                "m = sealedmap.sealedmap(a=1)\nm |= {}", "sealedmap.sealedmap()['a'] = 1",
                "del sealedmap.sealedmap(a=1)['a']", "sealedmap.sealedmap().x = 1", "BaseSub().update()",
                "BaseSub()['a'] = 1", "ReadOnly().x = 1", "sealedmap.SealedMapBase._immutable(sealedmap.sealedmap())",
                "sealedmap.ReadOnlyContainer._readonly(ReadOnly())", "sealedmap._immutable_fn(sealedmap.sealedmap())",
                "sealedmap.sealedmap().setdefault('a')", "sealedmap.sealedmap().popitem()"))
        elif family == "iso":
            kind = self.pick(("datetime", "time", "date"))
            where = f"processors.{kind}_cls"
            fn = self.pick((
                f"processors.str_to_{kind}", f"processors.str_to_{self.pick(('datetime', 'time', 'date'))}",
                f'processors.DecimalResultProcessor(processors.str_to_{kind}, "%s").process',
                "processors.to_float", self.callable()))
            value = self.holder_of(fn)
            call = f"processors.str_to_{kind}({self.pick(VALUES[6:9] + ('1', 'Hostile()'))})"
        else:
            where = "rowcore.operator"
            fn = self.pick(("rowcore.tuplegetter", "rowcore.tuplegetter", "rowcore.BaseRow", self.callable()))
            value = self.holder_of(fn)
            idx = self.pick(("0", "0, 1", "0, 2", "-1", "1, 0", "0, 1, 2"))
            call = f"rowcore.tuplegetter({idx})"
        if self.chance(5):
            mod, attr = where.split(".")
            return f"del {where}\nbuiltins.{attr} = {value}\n{call}"
        return f"{where} = {value}\n{call}"

    def holder_of(self, fn):
        return self.pick((
            f"types.SimpleNamespace(fromisoformat={fn}, itemgetter={fn})",
            f"type('Holder', (), {{'fromisoformat': staticmethod({fn}), 'itemgetter': staticmethod({fn})}})",
            f"type('Holder', (), {{'fromisoformat': {fn}, 'itemgetter': {fn}}})()",
        ))

    def s_proc_new(self):
        return f"{self.target(PROCS)} = processors.DecimalResultProcessor({self.callable()}, {self.pick(FORMATS)})"

    def s_proc_call(self):
        proc = self.existing(PROCS) or self.pick(PROCS)
        return self.pick((
            f"{proc}.process({self.value()})",
            f"{proc}.process({self.value()})",
            f"{proc}.__reduce__()",
            f"{proc}.__setstate__({self.value()})",
            f"pickle.dumps({proc})",
            f"copy.copy({proc})",
        ))

    def s_proc_chain(self):
        """A chain of processors, each calling the next through its bound
        `process`, used directly or as a row's converter."""
        name = self.target(PROCS)
        fmt = self.pick(('"%s"', '"%d"', '"%s"'))
        start = self.pick(("str", "processors.to_str", "processors.to_float", "int"))
        use = self.pick((f"{name}.process(1)", f"{name}.process('1')",
                         f"rowcore.BaseRow(None, [{name}.process], None, (1,))",
                         f"rowcore.BaseRow(None, ({name}.process, None), {{}}, ['1', 2])"))
        n = self.depth()
        return (f"{name} = processors.DecimalResultProcessor({start}, {fmt})\n"
                f"for _ in range({n}): {name} = processors.DecimalResultProcessor({name}.process, {fmt})\n{use}")

    def s_convert(self):
        fn = self.pick(("to_str", "to_float", "int_to_boolean", "str_to_datetime", "str_to_time", "str_to_date"))
        return f"processors.{fn}({self.value()})"

    def s_rebind(self):
        where = self.pick(REBINDABLE)
        if self.chance(6):
            mod, attr = where.split(".")
            return f"del {where}\nbuiltins.{attr} = {self.holder()}"
        if self.chance(8):
            return f"del {where}"
        return f"{where} = {self.holder()}"

    def s_class_attr(self):
        return f"{self.pick(CLASS_ATTRS)} = {self.callable()}"

    def s_hook(self):
        row = self.existing(ROWS) or "r0"
        m = self.existing(MAPS) or "m0"
        body = self.pick((
            "gc.collect()",
            f"{row}.__init__(None, None, None, ())",
            f"{row}.__init__({self.parent()}, None, {self.pick(KEY_MAPS)}, (1,))",
            f'{row}.__setstate__({{"_parent": None, "_data": None}})',
            f"{m}.clear()",
            f"setattr(rowcore, 'operator', {self.holder()})",
            f"setattr(processors, 'datetime_cls', {self.holder()})",
            "hook()",
            f"{self.callable()}({self.value()})",
        ))
        return f"def hook():\n    {body}"

    def s_map_new(self):
        kind = self.pick(MAP_KINDS)
        other = self.existing(MAPS)
        args = self.pick(("", "a=1, b=2") + MAP_OPERANDS + ((other,) if other else ()))
        if kind != "sealedmap.sealedmap" and self.chance(4):
            return f"{self.target(MAPS)} = ReadOnly()"
        return f"{self.target(MAPS)} = {kind}({args})"

    def s_map_op(self):
        m = self.existing(MAPS) or self.pick(MAPS)
        other = self.pick(MAP_OPERANDS + tuple(n for n in MAPS + ROWS if n in self.defined) + ("None",))
        return self.pick((
            f"{m}.union({other})",
            f"{m}.union(a=1)",
            f"{m}.merge_with({other}, {self.pick(MAP_OPERANDS + ('None',))})",
            f"{m} | {other}",
            f"{other} | {m}",
            f"{m} |= {other}",
            f"{m}.{self.pick(('clear', 'popitem', 'update', 'copy'))}()",
            f"{m}.{self.pick(('pop', 'setdefault', 'update', '__delitem__'))}({self.pick(KEYS)})",
            f"{m}[{self.pick(KEYS)}] = {self.value()}",
            f"del {m}[{self.pick(KEYS)}]",
            f"{m}.x = {self.value()}",
            f"del {m}.x",
            f"sealedmap.sealedmap.{self.pick(('clear', 'update', 'union', 'merge_with', 'copy'))}({other})",
            f"repr({m}), hash({m}), {m} == {other}",
            f"pickle.loads(pickle.dumps({m})), copy.deepcopy({m})",
        ))

    def s_map_chain(self):
        name = self.target(MAPS)
        n = self.depth()
        link = self.pick((f"sealedmap.sealedmap(inner={name})", f"sealedmap.sealedmap({{0: {name}}})",
                          f"{name}.union(inner={name})"))
        use = [f"{name} == sealedmap.sealedmap({name})", f"pickle.dumps({name})", f"{name}.merge_with({name})",
               f"{name} | {name}", f"hash({name})"]
        if n < 1000:
            # Nested reprs copy the text of every level into the next one:
            # quadratic, so only for short chains.
            use += [f"repr({name})", f"copy.deepcopy({name})"]
        use = self.pick(use)
        text = f"{name} = sealedmap.sealedmap()\nfor _ in range({n}): {name} = {link}\n{use}"
        if n >= 1000:
            # Later steps may repr it; see above.
            self.defined.discard(name)
            text += f"\ndel {name}"
        return text

    def s_refuse(self):
        fn = self.pick(("sealedmap._immutable_fn", "sealedmap._readonly_fn", "sealedmap.SealedMapBase._immutable",
                        "sealedmap.ReadOnlyContainer._readonly"))
        return f"{fn}({self.value()})"

    def s_getter(self):
        if "t0" in self.defined and not self.chance(3):
            return f"t0({self.data()})"
        n = self.draw(self.st.integers(0, 3))
        idx = ", ".join(self.pick(("0", "1", "2", "-1", "-2", "2**64", "Hostile()", "Raising()", '"a"', "True"))
                        for _ in range(n))
        return f"{self.target(GETTERS)} = rowcore.tuplegetter({idx})"

    def s_collect(self):
        victim = self.existing(ROWS + PROCS + MAPS)
        if victim and not self.chance(3):
            self.defined.discard(victim)
            return f"del {victim}\ngc.collect()"
        return "gc.collect()"


def programs():
    import hypothesis.strategies as st

    @st.composite
    def program(draw):
        gen = Gen(draw)
        n = draw(st.integers(1, 10))
        return [gen.step() for _ in range(n)]

    return program()


# ---------------------------------------------------------------------------
# The child: runs the programs one after the other in this interpreter.

class Finding(Exception):
    """A SystemError escaped a program."""


class Sandbox:
    """Puts back what a program may change outside its own namespace."""

    def __init__(self):
        from velmora.kestrine import processors, rowcore, sealedmap

        # Deleting and re-adding a name moves it to the end of the namespace,
        # so the whole namespace is put back, in order, when it changed.
        self.modules = [(vars(m), list(vars(m).items())) for m in (sealedmap, processors, rowcore)]
        self.classes = [(c, dict(vars(c))) for c in (sealedmap.SealedMapBase, sealedmap.ReadOnlyContainer)]
        self.builtins = set(vars(builtins))

    def restore(self):
        for ns, items in self.modules:
            if list(ns.items()) != items:
                ns.clear()
                ns.update(items)
        for cls, attrs in self.classes:
            now = vars(cls)
            for name in [n for n in now if n not in attrs]:
                delattr(cls, name)
            for name, value in attrs.items():
                if name not in ("__dict__", "__weakref__", "__doc__") and now.get(name) is not value:
                    setattr(cls, name, value)
        for name in [n for n in vars(builtins) if n not in self.builtins]:
            delattr(builtins, name)


def run_child(args):
    import warnings

    from hypothesis import HealthCheck, Phase, given, seed, settings

    warnings.simplefilter("ignore")
    import faulthandler

    faulthandler.enable()
    sandbox = Sandbox()
    unraisable = []

    def note_unraisable(u):
        if isinstance(u.exc_value, SystemError):
            unraisable.append(repr(u.exc_value))

    sys.unraisablehook = note_unraisable
    journal = open(args.journal, "w")
    count = [0]
    started = time.monotonic()

    def run(steps):
        count[0] += 1
        if count[0] <= args.skip:
            return
        text = render(steps)
        journal.seek(0)
        journal.truncate()
        journal.write(json.dumps({"program": count[0], "seconds": time.monotonic() - started, "steps": steps}))
        journal.flush()
        ns = {"__name__": "__hunt__"}
        begun = time.monotonic()
        try:
            exec(compile(text, "<program>", "exec"), ns)
        except SystemError as e:
            raise Finding(f"{type(e).__name__}: {e}\n\n{text}") from e
        finally:
            ns.clear()
            sandbox.restore()
            gc.collect()
            took = time.monotonic() - begun
            if args.slow and took > args.slow:
                print(f"slow program #{count[0]} ({took:.1f} s):\n" + "\n".join(steps), file=sys.stderr, flush=True)
        if unraisable:
            found = unraisable[:]
            del unraisable[:]
            raise Finding(f"SystemError in an unraisable context: {found}\n\n{text}")

    @seed(args.seed)
    @settings(max_examples=args.examples, database=None, deadline=None, derandomize=False,
              suppress_health_check=list(HealthCheck), phases=(Phase.generate, Phase.shrink),
              report_multiple_bugs=False, print_blob=False)
    @given(programs())
    def hunt(steps):
        run(steps)

    try:
        hunt()
    except Finding as f:
        print(f"SYSTEM ERROR FOUND after {count[0]} programs\n{f}", flush=True)
        return FOUND_SYSTEM_ERROR
    print(f"hunt: {count[0]} programs, {time.monotonic() - started:.1f} s, no crash", flush=True)
    return 0


# ---------------------------------------------------------------------------
# The parent: runs the child, turns a dead child into a report.

def dies(text, timeout, env):
    """Whether a fresh interpreter running `text` dies (signal, abort or hang)."""
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write(text)
    try:
        p = subprocess.run([sys.executable, f.name], capture_output=True, timeout=timeout, env=env)
        return p.returncode < 0 or p.returncode == 134
    except subprocess.TimeoutExpired:
        return True
    finally:
        os.unlink(f.name)


def shrink(steps, seconds, env, timeout=60):
    """Drops steps (and halves loop depths) while the program still kills a
    fresh interpreter. Returns (steps, reproduced alone)."""
    deadline = time.monotonic() + seconds
    if not dies(render(steps), timeout, env):
        return steps, False
    changed = True
    while changed and time.monotonic() < deadline:
        changed = False
        for i in range(len(steps)):
            if i >= len(steps) or time.monotonic() > deadline:
                break
            trial = steps[:i] + steps[i + 1:]
            if dies(render(trial), timeout, env):
                steps = trial
                changed = True
    return steps, True


def hunt(examples, seed, skip=0, timeout=1800, shrink_seconds=60, env=None):
    """Runs one child. Returns a dict: status ('ok', 'crash', 'hang',
    'system-error', 'error'), programs, seconds, and for a crash the program,
    its shrunk form and the child's stderr tail."""
    env = dict(os.environ if env is None else env)
    with tempfile.TemporaryDirectory(prefix="crash-hunt-") as tmp:
        env.setdefault("HYPOTHESIS_STORAGE_DIRECTORY", os.path.join(tmp, "hypothesis"))
        journal = os.path.join(tmp, "journal.json")
        cmd = [sys.executable, os.path.abspath(__file__), "--child", "--journal", journal,
               "--examples", str(examples), "--seed", str(seed), "--skip", str(skip)]
        started = time.monotonic()
        try:
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env, cwd=tmp)
            rc, out, err = p.returncode, p.stdout, p.stderr
        except subprocess.TimeoutExpired as e:
            rc, out, err = None, e.stdout or "", e.stderr or ""
            out = out.decode(errors="replace") if isinstance(out, bytes) else out
            err = err.decode(errors="replace") if isinstance(err, bytes) else err
        seconds = time.monotonic() - started
        try:
            with open(journal) as f:
                last = json.load(f)
        except (OSError, ValueError):
            last = None
    lines = err.splitlines()
    # The head has the fatal error and the Python stack, the tail the end of
    # a sanitizer report; the middle is mostly repeated native frames.
    tail = lines if len(lines) <= 60 else lines[:30] + ["[...]"] + lines[-30:]
    result = {"rc": rc, "seconds": seconds, "stdout": out, "stderr_tail": "\n".join(tail)}
    if rc == 0:
        result["status"] = "ok"
        return result
    if rc == FOUND_SYSTEM_ERROR:
        result["status"] = "system-error"
        return result
    if last is not None:
        result["programs"] = last["program"]
    if last is None or (rc is not None and rc > 0 and rc != 134):
        result["status"] = "error"
        return result
    result["status"] = "hang" if rc is None else "crash"
    result["at"] = last["seconds"]
    result["steps"] = last["steps"]
    small, alone = shrink(last["steps"], shrink_seconds, env) if shrink_seconds > 0 else (last["steps"], None)
    result["shrunk"] = small
    result["alone"] = alone
    return result


def classify(steps):
    """A rough label for a shrunk crash, for summaries."""
    text = "\n".join(steps)
    deep = any(f"range({n})" in text for n in (30_000, 60_000, 200_000))
    if "_immutable_fn =" in text or "_readonly_fn =" in text or "builtins._" in text:
        return "cycle through a rebound refusal name"
    if "_cls =" in text or "builtins.datetime_cls" in text or "builtins.time_cls" in text \
            or "builtins.date_cls" in text:
        return "cycle through a rebound parser class name"
    if "operator =" in text:
        return "cycle through a rebound operator name"
    if deep and "DecimalResultProcessor(" in text:
        return "deep processor chain" + (" as a row converter" if "BaseRow(None, [" in text
                                         or "BaseRow(None, (" in text else "")
    if deep and "BaseRow(" in text:
        return "deep row chain"
    if deep:
        return "deep chain (other)"
    if "BaseRow" in text or "rowproxy_reconstructor" in text:
        return "row parent cycle"
    return "other"


def describe(result):
    lines = [f"status {result['status']} (exit {result['rc']}) after {result['seconds']:.1f} s"]
    if result["status"] in ("crash", "hang"):
        lines.append(f"program #{result['programs']}, started {result['at']:.1f} s into the run")
        lines.append("--- the program:\n" + render(result["steps"]))
        if result["alone"] is False:
            lines.append("--- (it did not kill a fresh interpreter on its own)")
        elif result["alone"]:
            lines.append("--- shrunk (still kills a fresh interpreter); its steps:\n" +
                         "".join("\nwith guard:\n" + textwrap.indent(s, "    ") + "\n" for s in result["shrunk"]))
        lines.append("--- child's stderr (tail):\n" + result["stderr_tail"])
    elif result["status"] != "ok":
        lines.append(result["stdout"][-20000:])
        lines.append("--- child's stderr (tail):\n" + result["stderr_tail"])
    else:
        lines.append(result["stdout"].strip())
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--examples", type=int, default=2000, help="programs to generate (default 2000)")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--keep-going", action="store_true",
                    help="after a crash, go on with the programs after it (same seed) until the budget is spent")
    ap.add_argument("--max-findings", type=int, default=20, help="with --keep-going, stop after this many")
    ap.add_argument("--shrink-seconds", type=float, default=60, help="time to spend shrinking a crash")
    ap.add_argument("--timeout", type=float, default=3600, help="seconds before a child counts as hung")
    ap.add_argument("--slow", type=float, default=0, help="(with --child) report programs slower than this")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--journal", help=argparse.SUPPRESS)
    ap.add_argument("--skip", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        return run_child(args)
    skip, found, started = 0, [], time.monotonic()
    while True:
        result = hunt(args.examples, args.seed, skip=skip, timeout=args.timeout, shrink_seconds=args.shrink_seconds)
        print(describe(result), flush=True)
        if result["status"] != "ok":
            found.append((result, time.monotonic() - started))
        if not (args.keep_going and result["status"] in ("crash", "hang") and result["programs"] < args.examples
                and len(found) < args.max_findings):
            break
        skip = result["programs"]
        print(f"=== going on after program #{skip} ({time.monotonic() - started:.1f} s so far)", flush=True)
    print(f"=== seed {args.seed}: {len(found)} finding(s) in {time.monotonic() - started:.1f} s")
    for result, when in found:
        where = f"program #{result['programs']}" if "programs" in result else ""
        label = classify(result["shrunk"]) if result.get("shrunk") else ""
        print(f"--- {result['status']} {where}, {when:.1f} s into the hunt: {label}")
        for step in result.get("shrunk") or []:
            print(textwrap.indent(step, "    "))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
