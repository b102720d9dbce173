"""Shared test hygiene: tests rebind and delete module-level names of the
three modules (the modules read them at call time). Deleting and restoring a
name moves it to the end of the namespace, so each module's namespace is put
back exactly, order included, after every test; tests then stay independent
and can be repeated (the leak hunt reruns them)."""
import importlib

import pytest
from hypothesis import settings

MODULES = [importlib.import_module("velmora.kestrine." + name) for name in ("sealedmap", "processors", "rowcore")]


@pytest.fixture(autouse=True)
def restore_module_namespaces():
    saved = [(vars(m), list(vars(m).items())) for m in MODULES]
    yield
    for ns, items in saved:
        if list(ns.items()) != items:
            ns.clear()
            ns.update(items)


# Generated inputs are the same on every run: a CI failure can be replayed and
# a pass means the same thing twice. Longer exploration raises max_examples
# or picks another profile by hand.
settings.register_profile("kestrine", derandomize=True, database=None, deadline=None, print_blob=True)
settings.load_profile("kestrine")
