"""Comments in the sources and tools name the tests that show why code is the
way it is: every test file and test they name must exist, so a renamed or
merged test cannot leave a reference pointing at nothing."""

import ast
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = sorted(p for d in ("kestrine", "tools") for p in (ROOT / d).rglob("*")
                 if p.is_file() and p.suffix in (".cpp", ".hpp", ".h", ".py", ".sh"))

# tests/test_x.py, optionally followed by ::test_name or by ", test_name"
# (a comment may break the line after the comma).
CITATION = re.compile(r"tests/(test_\w+\.py)(?:::(test_\w+)|,\s*(?:(?://|#)\s*)?(test_\w+))?")
TEST_NAME = re.compile(r"\btest_\w+\b(?!\.py)")


def defined_tests(path):
    """The names of the test functions in one test file, methods included."""
    tree = ast.parse(path.read_text())
    return {n.name for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))
            and n.name.startswith("test_")}


TEST_FILES = {p.name: defined_tests(p) for p in (ROOT / "tests").glob("test_*.py")}
ALL_TESTS = set().union(*TEST_FILES.values())


def citations():
    found = []
    for path in SOURCES:
        text = path.read_text()
        rel = path.relative_to(ROOT)
        cited = set()
        for m in CITATION.finditer(text):
            line = text.count("\n", 0, m.start()) + 1
            name = m.group(2) or m.group(3)
            found.append(pytest.param(m.group(1), name, id=f"{rel}:{line}:{m.group(0).split()[-1]}"))
            if name:
                cited.add(name)
        # A test named on its own must exist in some test file, unless the
        # file itself defines it (a tool's self-test writes its own tests).
        own = set(re.findall(r"def (test_\w+)", text))
        for m in TEST_NAME.finditer(text):
            name = m.group(0)
            if name not in cited and name not in own:
                line = text.count("\n", 0, m.start()) + 1
                found.append(pytest.param(None, name, id=f"{rel}:{line}:{name}"))
    return found


CITATIONS = citations()


def test_sources_cite_tests():
    # The scan found the citations that are known to be there: a pattern that
    # matches nothing would pass every reference unchecked.
    assert any(file and name for file, name in (c.values for c in CITATIONS))
    assert any(file and not name for file, name in (c.values for c in CITATIONS))


@pytest.mark.parametrize("file, name", CITATIONS)
def test_cited_test_exists(file, name):
    if file is not None:
        assert file in TEST_FILES, f"no file tests/{file}"
        if name is not None:
            assert name in TEST_FILES[file], f"no test {name} in tests/{file}"
    else:
        assert name in ALL_TESTS, f"no test named {name} in tests/"
