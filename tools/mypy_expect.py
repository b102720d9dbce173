"""Compare mypy's report on a file with the "# E: <code>" marks in it.

Usage: mypy_expect.py [--pyright] FILE < checker-output. Exits 1 when a marked
line draws no error of its code, or an unmarked line draws any error. With
--pyright the output is pyright's, whose rule names differ from mypy's codes:
a marked line then only has to draw some error. A mark "# E mypy: <code>"
(or "# E pyright: ...") holds for that checker alone.
"""

import re
import sys

pyright = sys.argv[1] == "--pyright"
path = sys.argv[-1]
checker = "pyright" if pyright else "mypy"
expected = {}
with open(path, encoding="utf-8") as f:
    for number, line in enumerate(f, 1):
        # "# E mypy: code" marks what only that checker reports; the other one
        # must then report nothing on the line.
        mark = re.search(r"#\s*E(?:\s+(mypy|pyright))?:\s*([\w-]+)\s*$", line)
        if mark and mark.group(1) in (None, checker):
            expected[number] = mark.group(2)

seen = {}
for line in sys.stdin:
    if pyright:
        hit = re.match(r"\s*(.+?):(\d+):\d+ - error: ", line)
        if hit and hit.group(1).endswith(path.split("/")[-1]):
            seen.setdefault(int(hit.group(2)), set()).add("*")
        elif " - error: " in line:
            print("unexpected report:", line.rstrip())
            seen.setdefault(0, set()).add("?")
        continue
    hit = re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]\s*$", line)
    if hit and hit.group(1).endswith(path.split("/")[-1]):
        seen.setdefault(int(hit.group(2)), set()).add(hit.group(3))
    elif ": error:" in line:
        print("unexpected report:", line.rstrip())
        seen.setdefault(0, set()).add("?")

bad = 0
for number, code in sorted(expected.items()):
    if code not in seen.get(number, set()) and not (pyright and seen.get(number)):
        print(f"{path}:{number}: expected a [{code}] error, got {sorted(seen.get(number, [])) or 'none'}")
        bad += 1
for number, codes in sorted(seen.items()):
    if number not in expected:
        print(f"{path}:{number}: unexpected error(s) {sorted(codes)}")
        bad += 1
print(f"{path}: {len(expected)} expected errors, {bad} mismatches")
sys.exit(1 if bad else 0)
