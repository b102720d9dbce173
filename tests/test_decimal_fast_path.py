"""DecimalResultProcessor.process on its short road: a format that is exactly
"%.<digits>f" applied to an exact float is rendered without the interpreter's
general formatting. Whatever the road, the text handed to the type must be the
interpreter's own `fmt % value`, so that is the oracle throughout."""
import decimal
import math
import random
import subprocess
import sys
import textwrap
import traceback

import pytest
from hypothesis import given, strategies as st

from velmora.kestrine.processors import DecimalResultProcessor
from helpers import assert_steady, debug_only

PROCESS = "velmora.kestrine.processors.DecimalResultProcessor.process"

FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 1.5, 2.5, -2.5, 0.125, 0.005, 2.675, 1.005, 1234.5678, -1234.5678,
    0.1, 1 / 3, 2 / 3, 9.995, 99.995, 0.045, 1e-7, -1e-7, 4.35, 1e15, 1e16 + 2, 2.0**53, 2.0**53 + 1,
    123456789.987654321, 1e22, 1e23, 1.7976931348623157e308, -1.7976931348623157e308, 2.2250738585072014e-308,
    5e-324, -5e-324, math.pi, -math.e, math.inf, -math.inf, math.nan, -math.nan,
]
FAST_FORMATS = ["%.0f", "%.1f", "%.2f", "%.3f", "%.6f", "%.9f", "%.10f", "%.17f", "%.20f", "%.99f", "%.07f", "%.00f"]


def texts(fmt):
    """A processor that hands back the text it made, and its type's calls."""
    seen = []

    def type_(text):
        seen.append(text)
        return text

    return DecimalResultProcessor(type_, fmt), seen


@pytest.mark.parametrize("fmt", FAST_FORMATS)
def test_fixed_point_text_is_the_operators(fmt):
    p, seen = texts(fmt)
    for value in FLOATS:
        got = p.process(value)
        assert type(got) is str and got == fmt % value, (fmt, value)
    assert seen == [fmt % value for value in FLOATS]  # one call of the type per value


@given(value=st.floats(allow_nan=True, allow_infinity=True), digits=st.integers(0, 99))
def test_fixed_point_text_property(value, digits):
    fmt = f"%.{digits}f"
    assert texts(fmt)[0].process(value) == fmt % value


def near_ties(count, seed):
    """Values at and beside the halfway points of a few decimals, where a
    rounding that is not exactly the operator's shows first."""
    rng = random.Random(seed)
    for _ in range(count):
        x = (rng.randint(-10**12, 10**12) + 0.5) / 10 ** rng.randint(0, 17)
        yield from (x, math.nextafter(x, math.inf), math.nextafter(x, -math.inf))


# Every binary exponent from the smallest subnormal up to past 2**64, with the
# shortest and the longest mantissas, both signs; then the 64-bit edges.
EXPONENTS = [s * math.ldexp(m, e) for e in range(-1075, 70) for m in (1, 2**52 + 1, 2**53 - 1) for s in (1, -1)]
EDGES = [2.0**63, 2.0**63 - 1024, 2.0**64, 2.0**64 - 2048, 1e19, 1.8e19, 9.2e18, 9.3e18]


@pytest.mark.parametrize("digits", [0, 1, 2, 3, 5, 10, 16, 17, 18])
def test_fixed_point_text_at_ties_and_edges(digits):
    fmt = f"%.{digits}f"
    p = texts(fmt)[0]
    values = [*near_ties(2000, seed=digits), *EXPONENTS, *EDGES, *(-v for v in EDGES)]
    assert [v for v in values if p.process(v) != fmt % v] == []


@pytest.mark.parametrize("fmt", [
    # Close to the short road's formats but not on it.
    "%.f", "%.100f", "%.120f", "%.001f", "%5.2f", "%05.2f", "%-8.2f", "%+.2f", "% .2f", "%#.0f", "%#.2f",
    "%.2F", "%.2e", "%.2g", "%.2d", "%.2s", "%.2r", "%.2f%%", "%%.2f", "x%.2f", "%.2fx", "%.2f ", " %.2f",
    "%.2f%.2f", "%.\u0662f", "%.2f\u20ac", "%.\uff12f", "%.1\U0001f600f", "%(a).2f", "%.*f", "%1f", "%.2lf",
])
@pytest.mark.parametrize("value", [0.0, -0.0, 2.675, -1234.5678, 1e300, math.inf, math.nan])
def test_neighbouring_formats_render_as_the_operator_does(fmt, value):
    assert_processes_as_the_operator(fmt, value)


def assert_processes_as_the_operator(fmt, value):
    """process(value) gives fmt % value, or fails as it does, with its own entry."""
    p = texts(fmt)[0]
    try:
        expected = fmt % value
    except Exception as exc:
        with pytest.raises(type(exc)) as caught:
            p.process(value)
        assert str(caught.value) == str(exc)
        assert PROCESS in [entry.name for entry in traceback.extract_tb(caught.tb)]
    else:
        assert p.process(value) == expected


class FloatSub(float):
    def __format__(self, spec):
        raise AssertionError("not asked")

    def __repr__(self):
        return "FloatSub()"


@pytest.mark.parametrize("fmt", ["%.2f", "%.0f", "%.99f"])
@pytest.mark.parametrize("value", [
    # Values that are not exact floats take the general road on any format.
    2, -3, True, 10**30, FloatSub(2.675), FloatSub(-0.0), decimal.Decimal("2.675"), decimal.Decimal("NaN"),
    "2.5", b"1", (1.5,), (1.5, 2.5), (), [1.5], {"a": 1.5}, 1 + 2j, object(), 2**1100,
])
def test_values_that_are_not_exact_floats(fmt, value):
    assert_processes_as_the_operator(fmt, value)


def test_precision_beyond_the_operators_limit():
    # The operator refuses a precision it cannot hold; the processor says
    # the same, from the general road.
    for fmt in ["%.2147483647f", "%.99999999999999999999f"]:
        with pytest.raises(ValueError) as expected:
            fmt % 1.5
        with pytest.raises(ValueError) as caught:
            texts(fmt)[0].process(1.5)
        assert str(caught.value) == str(expected.value)


def test_decimal_from_the_short_road():
    p = DecimalResultProcessor(decimal.Decimal, "%.2f")
    for value in FLOATS:
        got = p.process(value)
        assert type(got) is decimal.Decimal and str(got) == str(decimal.Decimal("%.2f" % value))
    assert str(p.process(-0.0)) == "-0.00"
    assert p.process(math.inf) == decimal.Decimal("Infinity")
    assert p.process(-math.nan).is_nan() and not p.process(-math.nan).is_signed()


@pytest.mark.parametrize("call", [
    lambda p, v: p.process(v),
    lambda p, v: p.process(value=v),
    lambda p, v: DecimalResultProcessor.process(p, v),
    lambda p, v: DecimalResultProcessor.process(p, value=v),
    lambda p, v: DecimalResultProcessor.process(*(p, v)),
    lambda p, v: list(map(p.process, [v]))[0],
])
def test_every_way_of_calling_gives_the_same(call):
    class Sub(DecimalResultProcessor):
        pass

    for cls in (DecimalResultProcessor, Sub):
        assert call(cls(str, "%.3f"), 2.0005) == "%.3f" % 2.0005
        assert call(cls(str, "%s"), 2.0005) == "2.0005"
        assert call(cls(str, "%.3f"), None) is None


def test_instance_check_on_the_short_road():
    # The instance arrives with the value and no keyword: still checked.
    with pytest.raises(TypeError):
        DecimalResultProcessor.process(object(), 1.5)
    with pytest.raises(TypeError):
        DecimalResultProcessor.process(decimal.Decimal("1"), 1.5)


def test_type_failing_on_the_short_road():
    def type_(text):
        raise LookupError(text)

    p = DecimalResultProcessor(type_, "%.2f")
    with pytest.raises(LookupError) as caught:
        p.process(1.005)
    assert caught.value.args == ("%.2f" % 1.005,)
    names = [entry.name for entry in traceback.extract_tb(caught.tb)]
    assert names.count(PROCESS) == 1 and names[-1] == "type_"


def test_native_chain_from_the_short_road_ends_in_recursion_error():
    # The first processor renders a float on the short road and hands the
    # text to the next one's bound process, and so on, all native: the guard
    # around the call of the type must end it. In a child, so that a missing
    # guard is a failed test rather than a dead run.
    program = textwrap.dedent("""
        from velmora.kestrine.processors import DecimalResultProcessor
        d = DecimalResultProcessor(str, "%s")
        for _ in range(200_000):
            d = DecimalResultProcessor(d.process, "%s")
        d = DecimalResultProcessor(d.process, "%.2f")
        try:
            d.process(1.5)
        except RecursionError:
            print("survived")
    """)
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0 and proc.stdout.strip() == "survived", proc.stderr[-3000:]


@debug_only
def test_short_road_keeps_references_steady():
    p = DecimalResultProcessor(decimal.Decimal, "%.2f")
    failing = DecimalResultProcessor(int, "%.2f")

    def work():
        p.process(1234.5678)
        p.process(-0.0)
        p.process(math.nan)
        p.process(value=1e300)
        try:
            failing.process(1.5)
        except ValueError:
            pass

    assert_steady(work)
