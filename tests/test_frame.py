"""The calling frame shared by the modules: start-up (create/exec), function
objects, argument binding and its messages, traceback entries. The function
objects are tested once, as one table over every function of the three
modules; the module files test only what each function does."""
import copy
import ctypes
import functools
import gc
import importlib
import inspect
import pickle
import re
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest

import velmora.kestrine.processors as p
from functions import Boom, KeyText, call_raw, function_objects, instances
from velmora.kestrine import rowcore, sealedmap

MODULES = ["velmora.kestrine.sealedmap", "velmora.kestrine.processors", "velmora.kestrine.rowcore"]


def run_fresh(code):
    """Run `code` in a new interpreter (start-up state is per process)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def entry_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


# --- start-up ---------------------------------------------------------------

@pytest.mark.parametrize("name", MODULES)
def test_reimport_gives_the_same_module_without_rerunning_the_body(name):
    module = importlib.import_module(name)
    marker = module.__test__
    del sys.modules[name]
    again = importlib.import_module(name)
    assert again is module
    assert again.__test__ is marker
    assert module.__doc__ is None and module.__test__ == {}
    assert module.__builtins__ is __import__("builtins")


@pytest.mark.parametrize("name", MODULES)
def test_module_attributes_come_from_the_spec(name):
    out = run_fresh(f"""
        import importlib.util, sys
        real = importlib.util.find_spec({name!r})

        class Spec:
            # origin is read once by the loader machinery, then vanishes,
            # so the module's own create step sees no origin at all.
            name = real.name
            loader = None
            parent = "velmora.kestrine"
            submodule_search_locations = None
            def __init__(self):
                self.reads = 0
            def __getattr__(self, attr):
                if attr == "origin":
                    self.reads += 1
                    if self.reads == 1:
                        return real.origin
                raise AttributeError(attr)

        import _imp
        m = _imp.create_dynamic(Spec())
        print(hasattr(m, "__file__"), hasattr(m, "__path__"), m.__loader__, m.__package__)
    """)
    assert out.split() == ["False", "False", "None", "velmora.kestrine"]


@pytest.mark.parametrize("package", ["p" * 3000, "paquet.\u00e9t\u00e9.\U0001f600"])
def test_names_of_any_length_and_script_reach_functions_and_entries(package):
    # The module loaded from its own file under another package's name: the
    # functions' __module__ and the traceback entries carry that name whole.
    out = run_fresh(f"""
        import importlib.util, traceback
        origin = importlib.util.find_spec("velmora.kestrine.processors").origin
        name = {package!r} + ".processors"
        spec = importlib.util.spec_from_file_location(name, origin)
        m = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(m)
        try:
            m.to_float("not a number")
        except ValueError as e:
            entry = traceback.extract_tb(e.__traceback__)[-1].name
        print(ascii([m.to_float.__module__ == name, entry == name + ".to_float", m.__name__ == name]))
    """)
    assert out.strip() == "[True, True, True]"


@pytest.mark.parametrize("name", MODULES)
def test_second_module_object_cannot_be_executed(name):
    short = name.rsplit(".", 1)[1]
    out = run_fresh(f"""
        import importlib.util
        spec = importlib.util.find_spec({name!r})
        a = spec.loader.create_module(spec)
        b = spec.loader.create_module(spec)
        assert a is not b
        spec.loader.exec_module(a)
        spec.loader.exec_module(a)          # running exec again changes nothing
        assert spec.loader.create_module(spec) is a
        try:
            spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e)
    """)
    assert out.strip() == (f"Module '{short}' has already been imported. "
                           "Re-initialisation is not supported.")


def test_second_interpreter_is_refused():
    out = run_fresh(f"""
        import _interpreters, importlib
        names = {MODULES!r}
        for name in names:
            importlib.import_module(name)
        iid = _interpreters.create(_interpreters.new_config("legacy"))
        for name in names:
            err = _interpreters.exec(iid, "import " + name)
            print(err.type.__name__, err.msg, sep=": ")
        _interpreters.destroy(iid)
    """)
    message = ("ImportError: Interpreter change detected - this module can only be loaded "
               "into one interpreter per process.")
    assert out.splitlines() == [message] * len(MODULES)


# --- function objects -------------------------------------------------------------

FUNCTION, METHOD = "function", "method"

# Every function object of the modules, by module and qualified name: its
# parameters; how it takes its first argument (a FUNCTION counts every
# parameter and takes any object; a METHOD of a module type checks that its
# first argument is an instance, or the class for a class method, and leaves
# it out of its counts); and the arguments after that instance of a call that
# gets past binding, with an outcome that depends on them.
FUNCTIONS = {
    "sealedmap.sealedmap.__class_getitem__": ("(cls, key)", METHOD, (int,)),
    "sealedmap.sealedmap.union": ("(self, *args, **kw)", METHOD, ({"b": 2},)),
    "sealedmap.sealedmap.merge_with": ("(self, *other)", METHOD, ({"b": 2},)),
    "sealedmap.sealedmap.copy": ("(self)", METHOD, ()),
    "sealedmap.sealedmap.__reduce__": ("(self)", METHOD, ()),
    "sealedmap.sealedmap.clear": ("(self, *args, **kw)", METHOD, ()),
    "sealedmap.sealedmap.pop": ("(self, *args, **kw)", METHOD, ("a",)),
    "sealedmap.sealedmap.popitem": ("(self, *args, **kw)", METHOD, ()),
    "sealedmap.sealedmap.setdefault": ("(self, *args, **kw)", METHOD, ("a", 1)),
    "sealedmap.sealedmap.update": ("(self, *args, **kw)", METHOD, ({},)),
    "sealedmap._readonly_fn": ("(obj)", FUNCTION, (5,)),
    "sealedmap._immutable_fn": ("(obj)", FUNCTION, (5,)),
    "sealedmap.ReadOnlyContainer._readonly": ("(self, *a, **kw)", FUNCTION, (sealedmap.ReadOnlyContainer(), 1)),
    "sealedmap.SealedMapBase._immutable": ("(self, *a, **kw)", FUNCTION, (sealedmap.SealedMapBase(a=1), 1)),
    "sealedmap.SealedMapBase.__class_getitem__": ("(cls, key)", FUNCTION, (sealedmap.SealedMapBase, int)),
    "processors.DecimalResultProcessor.process": ("(self, value)", METHOD, (1,)),
    "processors.int_to_boolean": ("(value)", FUNCTION, (5,)),
    "processors.to_str": ("(value)", FUNCTION, (3,)),
    "processors.to_float": ("(value)", FUNCTION, ("2",)),
    "processors.str_to_datetime": ("(value)", FUNCTION, ("2024-02-29T13:45",)),
    "processors.str_to_time": ("(value)", FUNCTION, ("13:45",)),
    "processors.str_to_date": ("(value)", FUNCTION, ("2024-02-29",)),
    "rowcore.BaseRow.__reduce__": ("(self)", METHOD, ()),
    "rowcore.BaseRow.__getstate__": ("(self)", METHOD, ()),
    "rowcore.BaseRow.__setstate__": ("(self, state)", METHOD, (1,)),
    "rowcore.BaseRow._values_impl": ("(self)", METHOD, ()),
    "rowcore.BaseRow._get_by_key_impl_mapping": ("(self, key)", METHOD, ("a",)),
    "rowcore.BaseRow._to_tuple_instance": ("(self)", METHOD, ()),
    "rowcore.rowproxy_reconstructor": ("(cls, state)", FUNCTION, (rowcore.BaseRow, {})),
    "rowcore.tuplegetter": ("(*indexes)", FUNCTION, (1, 2)),
}
FOUND = function_objects()
NAMES = list(FUNCTIONS)


class Function:
    """A row of the table with what a call needs: `call` is the function as a
    call through an instance reaches it (bound to that instance, or to the
    class for a class method), `params` the parameters that call can name."""

    def __init__(self, name):
        self.name = name
        self.signature, self.kind, self.sample = FUNCTIONS[name]
        self.func, self.owner = FOUND[name]
        self.short = self.func.__name__
        parameters = list(inspect.signature(self.func).parameters.values())
        self.params = [q.name for q in parameters if q.kind is q.POSITIONAL_OR_KEYWORD]
        self.star = any(q.kind is q.VAR_POSITIONAL for q in parameters)
        self.starstar = any(q.kind is q.VAR_KEYWORD for q in parameters)
        self.classmethod = self.owner is not None and isinstance(vars(self.owner)[self.short], classmethod)
        self.instance = None
        self.call = self.func
        if self.kind is METHOD:
            self.instance = self.owner if self.classmethod else instances()[self.owner]
            self.call = getattr(self.instance, self.short)
            self.params = self.params[1:]

    def entries(self):
        """A binding error adds the function's entry, unless it has no
        parameter besides its instance."""
        return [] if self.kind is METHOD and self.signature == "(self)" else ["velmora.kestrine." + self.name]


def module_entries(exc):
    return [name for name in entry_names(exc) if name.startswith("velmora.kestrine.")]


def test_the_table_names_every_function_object():
    assert sorted(FOUND) == sorted(FUNCTIONS)


@pytest.mark.parametrize("name", NAMES)
def test_function_object_attributes(name):
    f = Function(name)
    module = importlib.import_module(f.func.__module__)
    assert module.__name__ == "velmora.kestrine." + name.split(".")[0]
    assert f.func.__qualname__ == name.split(".", 1)[1]
    assert f.func.__name__ == name.rsplit(".", 1)[1]
    assert f.func.__globals__ is vars(module)
    assert f.func.__doc__ is None
    assert f.func.__defaults__ is None and f.func.__kwdefaults__ is None
    assert str(inspect.signature(f.func)) == f.signature
    code = f.func.__code__
    assert [*code.co_varnames[:code.co_argcount]] == [q for q in f.signature[1:-1].split(", ") if q and q[0] != "*"]
    f.func.__dict__["note"] = name
    assert f.func.note == name
    del f.func.__dict__["note"]
    assert not hasattr(f.func, "note")
    assert weakref.ref(f.func)() is f.func


@pytest.mark.parametrize("name", NAMES)
def test_function_object_binds_like_a_python_function(name):
    f = Function(name)
    if f.owner is None:
        assert getattr(sys.modules[f.func.__module__], f.short) is f.func
    elif f.classmethod:
        through_class = getattr(f.owner, f.short)
        assert through_class.__self__ is f.owner and through_class.__func__ is f.func
    else:
        assert getattr(f.owner, f.short) is f.func
    assert f.func.__get__(None, object) is f.func
    target = f.instance if f.kind is METHOD and not f.classmethod else object()
    method = f.func.__get__(target, type(target))
    assert inspect.ismethod(method) and method.__self__ is target and method.__func__ is f.func


@pytest.mark.parametrize("name", NAMES)
def test_function_objects_pickle_by_qualified_name(name):
    f = Function(name)
    if f.classmethod:
        # Under its qualified name stands the bound class method: as for a
        # Python class method, the function itself is refused.
        with pytest.raises(pickle.PicklingError, match="not the same object"):
            pickle.dumps(f.func)
        return
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f.func, protocol)) is f.func
    assert copy.copy(f.func) is f.func and copy.deepcopy(f.func) is f.func


class Holder:
    convert = p.to_str

    def __str__(self):
        return "holder"


def test_a_function_object_in_a_class_becomes_a_method_of_its_instances():
    assert Holder.convert is p.to_str
    assert Holder().convert() == "holder"
    assert inspect.ismethod(Holder().convert)
    holder = Holder()
    method = weakref.WeakMethod(holder.convert)
    assert method()() == "holder"
    del holder
    assert method() is None


# --- argument binding -----------------------------------------------------------

def takes(name, count, given, least=False):
    plural = "" if count == 1 else "s"
    return f"{name}() takes {'at least' if least else 'exactly'} {count} positional argument{plural} ({given} given)"


def binding_cases(name):
    """(case, args, kwargs, message) for the wrong calls of a function as a
    call through an instance reaches it, from its parameters."""
    f = Function(name)
    n, sample = len(f.params), f.sample
    twice = f"{f.short}() got multiple values for keyword argument '{f.params[0]}'" if n else None
    cases = []
    if not f.star:
        if n:
            cases += [("too-few", sample[:n - 1], {}, takes(f.short, n, n - 1)),
                      ("twice", sample, {f.params[0]: sample[0]}, twice)]
        if n > 1:
            cases.append(("first-by-keyword-alone", (), {f.params[0]: sample[0]}, takes(f.short, n, 1)))
        cases.append(("too-many", (*sample, None), {}, takes(f.short, n, n + 1)))
    elif n:
        cases += [("none", (), {}, takes(f.short, n, 0, least=True)),
                  ("keywords-alone", (), {"x": 1}, takes(f.short, n, 0, least=True)),
                  ("twice", sample, {f.params[0]: sample[0]}, twice)]
    if not f.starstar:
        unexpected = f"{f.short}() got an unexpected keyword argument " + "'{}'"
        cases += [("unknown", sample, {"zz": 1, "yy": 2}, unexpected.format("zz")),
                  ("long-unknown", sample, {"x" * 1000: 1}, unexpected.format("x" * 1000))]
        if n and not f.star:
            known = dict(zip(f.params, sample))
            cases += [("unknown-before-known", (), {"zz": 1, **known}, unexpected.format("zz")),
                      ("known-before-unknown", (), {**known, "zz": 1}, unexpected.format("zz"))]
        if f.instance is not None:
            own = next(iter(inspect.signature(f.func).parameters))
            cases.append(("instance-by-keyword", sample, {own: f.instance}, unexpected.format(own)))
    return cases


def ways(name, args):
    """How a case is called: a method through an instance and through its
    class given the instance; a function directly and, if a class holds it,
    bound through its first argument."""
    f = Function(name)
    if f.kind is METHOD:
        return ["instance", "class"]
    if f.owner is not None and args and args[0] is f.sample[0]:
        return ["direct", "bound"]
    return ["direct"]


BINDING = [(name, way, *case) for name in NAMES for case in binding_cases(name) for way in ways(name, case[1])]


@pytest.mark.parametrize("name, way, case, args, kwargs, message", BINDING,
                         ids=[f"{b[0]}-{b[2]}-{b[1]}" for b in BINDING])
def test_binding_messages_and_their_traceback_entry(name, way, case, args, kwargs, message):
    f = Function(name)
    call = f.call
    if way == "class":
        call = functools.partial(f.func, f.instance)
    elif way == "bound":
        call, args = getattr(args[0], f.short), args[1:]
    with pytest.raises(TypeError) as info:
        call(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == f.entries()


METHODS = [name for name in NAMES if FUNCTIONS[name][1] is METHOD]


@pytest.mark.parametrize("name", METHODS)
def test_a_method_through_its_class_needs_an_argument(name):
    f = Function(name)
    for kwargs in ({}, {"x": 1}):
        with pytest.raises(TypeError) as info:
            f.func(**kwargs)
        assert str(info.value) == f"{f.short}() needs an argument"
        assert module_entries(info.value) == f.entries()


class Unrelated:
    pass


def type_name(t):
    """The name a message gives a type: a module type's in full."""
    return f"{t.__module__}.{t.__qualname__}" if t.__module__.startswith("velmora.kestrine.") else t.__name__


@pytest.mark.parametrize("name", [name for name in METHODS if not Function(name).classmethod])
def test_a_method_given_a_foreign_instance_refuses_it_and_adds_its_entry(name):
    f = Function(name)
    others = [v for v in instances().values() if not isinstance(v, f.owner)]
    # A plain dict is the base of sealedmap; with every argument None too,
    # which some bodies answer before anything else.
    for foreign in [None, 1.5, "%s", object(), {"a": 1}, f.owner, Unrelated(), *others]:
        for args in (f.sample, (None,) * len(f.sample)):
            with pytest.raises(TypeError) as info:
                f.func(foreign, *args)
            assert str(info.value) == (f"descriptor '{f.short}' for '{type_name(f.owner)}' "
                                       f"objects doesn't apply to a '{type_name(type(foreign))}' object")
            assert module_entries(info.value) == ["velmora.kestrine." + name]


def outcome(call):
    try:
        value = call()
    except Exception as exc:  # the comparison is the point
        return ("raises", type(exc), str(exc))
    return ("value", type(value), repr(value))


def key_of(kind, text):
    if kind == "literal":
        return text
    if kind == "built":
        return "".join(list(text))  # equal text, another object
    key = KeyText(text)
    key.mode = kind
    return key


NAMED = [name for name in NAMES if Function(name).params]


@pytest.mark.parametrize("kind", ["literal", "built", "plain", "collect", "raise"])
@pytest.mark.parametrize("name", NAMED)
def test_keywords_bind_like_positions(name, kind):
    f = Function(name)
    args = f.sample[:len(f.params)]
    positional = outcome(lambda: f.call(*args))
    assert not re.match(r"\w+\(\) (takes|got|needs) ", positional[-1]), positional
    by_keyword = outcome(lambda: f.call(**{key_of(kind, k): v for k, v in zip(f.params, args)}))
    if kind == "raise" and by_keyword[1] is Boom:
        return  # a name is compared with the key's own equality, which may raise
    assert by_keyword == positional
    if f.starstar:
        return
    # A name that differs in case binds nothing, whatever its type.
    wrong = key_of(kind, f.params[0].upper())
    with pytest.raises((TypeError, Boom) if kind == "raise" else TypeError) as info:
        f.call(*args[1:], **{wrong: args[0]})
    if info.type is TypeError:
        assert str(info.value) == f"{f.short}() got an unexpected keyword argument '{wrong}'"


@pytest.mark.parametrize("name", NAMES)
def test_keyword_dicts_through_the_c_call_api(name):
    f = Function(name)
    assert outcome(lambda: call_raw(f.call, tuple(f.sample), {})) == outcome(lambda: f.call(*f.sample))
    for kwargs in ({1: 2}, {(): None}, {**dict(zip(f.params, f.sample)), 1: 2}):
        with pytest.raises(TypeError, match="^keywords must be strings$"):
            call_raw(f.call, (), kwargs)


def test_failure_inside_a_function_gets_its_entry():
    with pytest.raises(ValueError) as info:
        p.to_float("not a number")
    assert entry_names(info.value)[-1] == "velmora.kestrine.processors.to_float"
    formatted = "".join(traceback.format_exception(info.value))
    assert "velmora.kestrine.processors.to_float" in formatted


def test_failed_start_up_unwinds_and_a_later_import_starts_over():
    out = run_fresh("""
        import sys, traceback, types
        fake = types.ModuleType("datetime")
        fake.datetime = object          # no `time`, no `date`
        real = sys.modules.pop("datetime", None)
        sys.modules["datetime"] = fake
        try:
            import velmora.kestrine.processors
        except ImportError as e:
            print(e)
            print(traceback.extract_tb(e.__traceback__)[-1].name)
        del sys.modules["datetime"]
        if real is not None:
            sys.modules["datetime"] = real
        sys.modules.pop("velmora.kestrine.processors", None)
        import velmora.kestrine.processors as p
        print(p.time_cls is sys.modules["datetime"].time, p.to_float("2"))
    """)
    assert out.splitlines() == ["cannot import name 'time'", "init velmora.kestrine.processors", "True 2.0"]


# --- binding edges that only a C caller or a str subclass reaches ----------------

def test_a_keyword_named_twice_through_vectorcall_is_refused():
    # The call syntax cannot name a keyword twice; the C call API can.
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 2)("1", "2")
    with pytest.raises(TypeError) as info:
        vectorcall(p.to_float, args, 0, ("value", "value"))
    assert str(info.value) == "to_float() got multiple values for keyword argument 'value'"
    assert entry_names(info.value)[-1] == "velmora.kestrine.processors.to_float"


class OtherHash(str):
    """Equal to its text, with a hash of its own: a dict lookup by the plain
    name misses it, the interpreter's equality does not."""
    __hash__ = lambda self: 0  # noqa: E731
    __eq__ = str.__eq__


def test_mapping_keywords_of_a_str_subclass_bind_by_equality():
    import decimal

    d = p.DecimalResultProcessor(**{OtherHash("type_"): decimal.Decimal, "format_": "%.2f"})
    assert d.process(1) == decimal.Decimal("1.00")
    with pytest.raises(TypeError) as info:
        p.DecimalResultProcessor(**{"type_": decimal.Decimal, "format_": "%.2f", OtherHash("format_"): 5})
    assert str(info.value) == "__cinit__() got multiple values for keyword argument 'format_'"
    assert entry_names(info.value)[-1] == "velmora.kestrine.processors.DecimalResultProcessor.__cinit__"
    with pytest.raises(TypeError, match=r"^__cinit__\(\) got multiple values for keyword argument 'type_'$"):
        p.DecimalResultProcessor(decimal.Decimal, **{OtherHash("type_"): 1, "format_": "%s"})
