"""The calling frame shared by the modules: start-up (create/exec), function
objects, argument binding and its messages, traceback entries. Exercised
through `processors`, whose converters are plain one-parameter functions."""
import copy
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback

import pytest

import velmora.kestrine.processors as p

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


# --- function objects ---------------------------------------------------------

def test_function_object_attributes():
    f = p.to_float
    assert f.__name__ == "to_float"
    assert f.__qualname__ == "to_float"
    assert f.__module__ == "velmora.kestrine.processors"
    assert f.__doc__ is None
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__globals__ is vars(p)
    assert str(inspect.signature(f)) == "(value)"
    f.__dict__["note"] = 1
    assert f.note == 1
    del f.__dict__["note"]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_function_objects_pickle_by_name(protocol):
    assert pickle.loads(pickle.dumps(p.to_float, protocol)) is p.to_float
    assert copy.copy(p.to_str) is p.to_str and copy.deepcopy(p.to_str) is p.to_str


def test_function_object_binds_like_a_python_function():
    class Holder:
        convert = p.to_str

        def __str__(self):
            return "holder"

    assert Holder.convert is p.to_str
    assert Holder().convert() == "holder"
    assert inspect.ismethod(Holder().convert)


# --- argument binding -----------------------------------------------------------

class KeyText(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "to_float() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, "to_float() takes exactly 1 positional argument (2 given)"),
        ((1,), {"value": 2}, "to_float() got multiple values for keyword argument 'value'"),
        ((), {"v": 1}, "to_float() got an unexpected keyword argument 'v'"),
        ((), {"v": 1, "value": 2}, "to_float() got an unexpected keyword argument 'v'"),
        ((1,), {"w": 1}, "to_float() got an unexpected keyword argument 'w'"),
    ],
)
def test_binding_messages_and_their_traceback_entry(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        p.to_float(*args, **kwargs)
    assert str(info.value) == message
    assert entry_names(info.value)[-1] == "velmora.kestrine.processors.to_float"


def test_keyword_binds_by_text_as_well_as_identity():
    runtime_name = "".join(["val", "ue"])
    assert runtime_name is not "value"  # noqa: F632 - the point is a distinct object
    assert p.to_float(value="2") == 2.0
    assert p.to_float(**{runtime_name: "3"}) == 3.0
    assert p.to_float(**{KeyText("value"): "4"}) == 4.0
    with pytest.raises(TypeError, match="unexpected keyword argument 'valuE'"):
        p.to_float(**{KeyText("valuE"): "4"})


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
    import ctypes

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


def test_a_method_given_a_foreign_instance_adds_its_entry():
    from velmora.kestrine import rowcore, sealedmap

    for call, name in [
        (lambda: p.DecimalResultProcessor.process(5, 1.0), "processors.DecimalResultProcessor.process"),
        (lambda: rowcore.BaseRow._values_impl(5), "rowcore.BaseRow._values_impl"),
        (lambda: sealedmap.sealedmap.copy({}), "sealedmap.sealedmap.copy"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert entry_names(info.value)[-1] == "velmora.kestrine." + name


def test_function_objects_take_weak_references():
    import weakref

    assert weakref.ref(p.to_float)() is p.to_float

    class Holder:
        convert = p.to_str

        def __str__(self):
            return "holder"

    holder = Holder()
    method = weakref.WeakMethod(holder.convert)
    assert method()() == "holder"
    del holder
    assert method() is None


def test_class_getitem_names_its_first_parameter_cls():
    from velmora.kestrine import sealedmap

    for cls in (sealedmap.sealedmap, sealedmap.SealedMapBase):
        code = vars(cls)["__class_getitem__"].__func__.__code__
        assert code.co_varnames[:2] == ("cls", "key")
