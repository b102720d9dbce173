"""Main job: import the three native modules and show a few conversions."""
import sys

import velmora.kestrine.processors as processors
import velmora.kestrine.rowcore as rowcore
import velmora.kestrine.sealedmap as sealedmap


def main(argv: list[str]) -> int:
    print(f"velmora.kestrine on Python {sys.version.split()[0]}")
    for mod in (sealedmap, processors, rowcore):
        print(f"  loaded {mod.__name__}")
    for text in (" 1_000.5 ", "-inf", b"2.5", 7):
        print(f"  to_float({text!r}) -> {processors.to_float(text)!r}")
    for value in (0, 5, None):
        print(f"  int_to_boolean({value!r}) -> {processors.int_to_boolean(value)!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
