"""Traceback entries and function code objects point at the source line that
describes them, in whichever source file of the module holds it: a body moved
to another file takes its file name with it."""

import traceback
from pathlib import Path

import pytest

from helpers import function_objects
from velmora.kestrine import processors, rowcore, sealedmap

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(autouse=True)
def _sources():
    # An installed copy tested from outside the checkout has no sources beside it.
    if not (ROOT / "kestrine").is_dir():
        pytest.skip("no kestrine/ sources beside the tests")


def source_line(filename, lineno):
    path = ROOT / filename
    assert path.is_file(), f"{filename} is not a source file of the checkout"
    lines = path.read_text(encoding="utf-8").splitlines()
    assert 0 < lineno <= len(lines), f"{filename}:{lineno} is past the end"
    return lines[lineno - 1]


class Parent:
    _key_to_index = {"a": 0}

    def _key_not_found(self, key, as_attribute):
        raise KeyError(key)


class View(rowcore.BaseRow):
    __getitem__ = rowcore.BaseRow._get_by_key_impl_mapping


def row(data=(1,), key_map=Parent._key_to_index):
    return rowcore.BaseRow(Parent(), None, key_map, data)


FAILURES = {
    "attribute": lambda: row().missing,
    "mapping view": lambda: View(Parent(), None, Parent._key_to_index, (1,))["missing"],
    "processor": lambda: rowcore.BaseRow(Parent(), [lambda v: 1 / 0], None, (1,)),
    "keyword construction": lambda: rowcore.BaseRow(Parent(), None, None, data=(), extra=1),
    "length": lambda: len(rowcore.BaseRow.__new__(rowcore.BaseRow)),
    "hash": lambda: hash(row(([],))),
    "subscription": lambda: rowcore.BaseRow.__new__(rowcore.BaseRow)[0],
    "unpickling": lambda: rowcore.rowproxy_reconstructor(rowcore.BaseRow, {"_parent": Parent()}),
    "tuplegetter": lambda: rowcore.tuplegetter(1, "x"),
    "decimal": lambda: processors.DecimalResultProcessor(str, 5),
    "to_float": lambda: processors.to_float(object()),
    "union": lambda: sealedmap.sealedmap() | 5,
}


@pytest.mark.parametrize("call", FAILURES.values(), ids=FAILURES.keys())
def test_each_entry_points_at_the_line_that_names_it(call):
    with pytest.raises(Exception) as info:
        call()
    ours = [e for e in traceback.extract_tb(info.value.__traceback__) if e.name.startswith("velmora.kestrine.")]
    assert ours
    for entry in ours:
        qualname = entry.name.split(".", 3)[3]
        assert f'"{qualname}"' in source_line(entry.filename, entry.lineno), (entry.name, entry.filename)


def test_function_code_points_at_its_description():
    for name, (func, _) in function_objects().items():
        code = func.__code__
        assert f'"{func.__qualname__}"' in source_line(code.co_filename, code.co_firstlineno), name
