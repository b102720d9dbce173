"""The README's examples run as doctests, so they cannot drift from what the
modules do. Every ```python block of the README is one part of a single
session (later blocks use names from earlier ones)."""
import doctest
import re
import sys
import types
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    # An installed copy tested from outside the checkout has no README beside it.
    if not README.is_file():
        pytest.skip("no README.md beside the tests")
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)
    assert blocks, "README.md has no python examples"
    # The examples pickle instances of classes they define, and pickle finds a
    # class through its module: the session runs in a module that
    # sys.modules knows.
    name = "kestrine_readme"
    module = types.ModuleType(name)
    sys.modules[name] = module
    try:
        test = doctest.DocTestParser().get_doctest("\n".join(blocks), {}, "README.md", str(README), 0)
        test.globs = module.__dict__
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        failed, attempted = runner.run(test, out=sys.stdout.write)
        assert attempted and not failed, f"{failed} of {attempted} README examples failed (shown above)"
    finally:
        del sys.modules[name]
