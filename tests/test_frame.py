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
