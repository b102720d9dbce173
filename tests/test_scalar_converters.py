"""int_to_boolean, to_str and to_float: values, identity fast paths, and
to_float agreeing with float() on every input, errors included."""
import decimal
import math
import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

import velmora.kestrine.processors as p


def outcome(fn, value):
    """What a float conversion gives: the exact bits, or the error's type and text."""
    try:
        result = fn(value)
    except Exception as exc:  # the comparison is the point
        return ("raises", type(exc), str(exc))
    assert type(result) is float
    return ("value", struct.pack("<d", result))


class Truthy:
    def __bool__(self):
        raise ZeroDivisionError("no truth here")


@pytest.mark.parametrize(
    "value, expected",
    [(None, None), (True, True), (False, False), (0, False), (5, True), (-1, True),
     ("", False), ("x", True), ([], False), (0.0, False)],
)
def test_int_to_boolean(value, expected):
    assert p.int_to_boolean(value) is expected


def test_int_to_boolean_propagates_truth_errors():
    with pytest.raises(ZeroDivisionError, match="no truth here"):
        p.int_to_boolean(Truthy())


def test_to_str():
    s = "already text"
    assert p.to_str(None) is None
    assert p.to_str(s) is s
    assert p.to_str(3) == "3"

    class Odd:
        def __str__(self):
            raise KeyError("str failed")

    with pytest.raises(KeyError):
        p.to_str(Odd())


def test_to_float_identity_and_none():
    x = 1.5
    assert p.to_float(None) is None
    assert p.to_float(x) is x


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class HasFloat:
    def __float__(self):
        return 4.25


class HasIndex:
    def __index__(self):
        return 9


FLOAT_INPUTS = [
    0, 1, -1, 2**29, -(2**30), 2**30, 2**53 + 1, -(2**63), 2**1023, 2**1100, -(2**1100), True,
    FloatSub(2.5), IntSub(7), StrSub(" 3.5 "), HasFloat(), HasIndex(), [], {}, None.__class__, object(),
    memoryview(b"1.25"), decimal.Decimal("1.1"), decimal.Decimal("nan"), complex(1, 0),
    # text: the shapes float() accepts ...
    "1.5", "-123.456e-7", " 1_000.5 ", "1e500", "-1e500", "1e-400", "-1e-400", "-0", "+0.0", ".5", "5.", "1E5",
    "1e+05", "1_0e1_0", "00012", "4.9e-324", "2.4703282292062327e-324", "1.7976931348623157e308",
    "1.7976931348623159e308", "0.1", "123456789012345678901234567890", "1" * 300, "9" * 400 + ".5e-380",
    "inf", "-inf", "+Infinity", "INFINITY", "iNfInItY", "nan", "-nan", "+NaN", "nAn", "-NaN",
    "\t\n\v\f\r 7 \r\n", "\u2003 8.5\u3000", "\u3000-1.5\u3000", "\u00a01.5",
    "１２.５", "٣", "\u0661\u0662", "_".join("1" * 100), "1_" * 200 + "1", "0." + "0" * 300 + "1",
    "0." + "0" * 400 + "1", "1e" + "9" * 30,
    # ... and the ones it refuses; U+001C to U+001F are whitespace to
    # str.isspace() but float() never strips them
    "", " ", "1__0", "1_", "_1", "1_.5", "1._5", "1e_5", "1e", "1e+", "e5", ".", "." * 300, ".e1", "+", "-", "-.",
    "+-1", "1.5.2", "infin", "infinit", "infinityy", "nan(1)", "nan(123)", "0x10", "\x00", "1\x00", "1.5\x00",
    "1 2", "1 5", "in f", "\u00e9", "1\u00e9", "--1", "1\ud800", "\x1c9\x1f", "\x1c1.5\xa0", "1.5\x1f\u3000",
    "\u20281\x1e", "\x1d\u0663",
    b"2.5", b" -1_0 ", b"\xff", b"", b"inf", b"1\x85", b"\x1c1.5", bytearray(b"2.5"), bytearray(b" -3 "),
    bytearray(b"x"),
]


@pytest.mark.parametrize("value", FLOAT_INPUTS, ids=repr)
def test_to_float_matches_float(value):
    assert outcome(p.to_float, value) == outcome(float, value)


def test_to_float_nan_sign_follows_text():
    assert math.copysign(1.0, p.to_float("-nan")) == -1.0
    assert math.copysign(1.0, p.to_float("nan")) == 1.0


def test_to_float_overflowing_int_raises_overflow():
    with pytest.raises(OverflowError):
        p.to_float(2**1100)


# Text is copied into fixed buffers on the way to the parser: the stripped
# text of a str holding a non-ASCII character goes through a 64-byte one, and
# digits with underscores through a 256-byte one. Texts one short of, exactly
# at and just past each size (and a few past it, where a small overrun of the
# size check would still write) must parse like float(), whatever surrounds
# them; the longer ones are the interpreter's to parse.
EDGES = [1, 62, 63, 64, 65, 66, 72, 73, 255, 256, 257, 258]


def underscored(n):
    """Digits joined by single underscores, `n` characters long."""
    text = ("1_" * n)[:n]
    return text[:-1] + "2" if text.endswith("_") else text


SHAPES = {
    "digits": lambda n: "7" * n,
    "point": lambda n: "3." + "1" * (n - 2) if n > 2 else "5" * n,
    "exponent": lambda n: "9" * (n - 4) + "e-12" if n > 4 else "8" * n,
    "underscores": underscored,
    "underscored exponent": lambda n: underscored(n - 3) + "E+7" if n > 4 else "6" * n,
    "refused": lambda n: "1" * (n - 1) + "x",
    "late non-ASCII digit": lambda n: "2" * (n - 1) + "\u0663",
}
WRAPS = {
    "bare": "{}",
    "ASCII spaces": " \t{}\n ",
    "non-ASCII spaces": "\u3000{}\xa0",
    "mixed spaces": "\u2003 \t{}\r\u3000",
}


@pytest.mark.parametrize("n", EDGES)
@pytest.mark.parametrize("wrap", WRAPS.values(), ids=WRAPS.keys())
@pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
def test_to_float_at_the_edges_of_its_buffers(shape, wrap, n):
    core = shape(n)
    assert len(core) == n
    text = wrap.format(core)
    assert outcome(p.to_float, text) == outcome(float, text)
    if text.isascii():
        data = text.encode("ascii")
        assert outcome(p.to_float, data) == outcome(float, data)
        assert outcome(p.to_float, bytearray(data)) == outcome(float, bytearray(data))


# Every character the interpreter calls whitespace, asked of the interpreter
# itself: float() strips only some of them, and which ones depends on whether
# the text holds a non-ASCII character.
WHITESPACE = [c for c in map(chr, range(sys.maxunicode + 1)) if c.isspace()]

# Number text built from the pieces the parser cares about, so that the
# generated inputs land near the edges of the grammar instead of being random
# noise; non-ASCII digits and letters make the text non-ASCII.
PIECES = st.sampled_from(
    list("0123456789") + ["_", ".", "e", "E", "+", "-", "\x00", "inf", "INF", "infinity", "nan", "NaN", "x",
                          "٣", "１", "\U0001d7d9", "\ud800", "é", "__", "e-", "e+3"]
)
NUMBERISH = st.lists(PIECES, max_size=14).map("".join)
PRINTED = st.builds(
    lambda x, fmt: fmt.format(x),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(["{!r}", "{:.17g}", "{:e}", "{:_}"]),
)
SPACE = st.sampled_from(WHITESPACE)


@st.composite
def float_text(draw):
    """Number text with whitespace before, after and sometimes inside it."""
    core = draw(st.one_of(NUMBERISH, PRINTED, st.text(max_size=12)))
    if draw(st.booleans()):
        at = draw(st.integers(0, len(core)))
        core = core[:at] + draw(SPACE) + core[at:]
    before = "".join(draw(st.lists(SPACE, max_size=3)))
    after = "".join(draw(st.lists(SPACE, max_size=3)))
    return before + core + after


@settings(max_examples=1000)
@given(float_text())
def test_to_float_agrees_with_float(text):
    assert outcome(p.to_float, text) == outcome(float, text)
    if text.isascii():
        data = text.encode("ascii")
        assert outcome(p.to_float, data) == outcome(float, data)
        assert outcome(p.to_float, bytearray(data)) == outcome(float, bytearray(data))
