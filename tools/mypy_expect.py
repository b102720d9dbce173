"""Compare mypy's report on a file with the "# E: <code>" marks in it.

Usage: mypy_expect.py FILE < mypy-output. Exits 1 when a marked line draws
no error of its code, or an unmarked line draws any error.
"""

import re
import sys

path = sys.argv[1]
expected = {}
with open(path, encoding="utf-8") as f:
    for number, line in enumerate(f, 1):
        mark = re.search(r"#\s*E:\s*([\w-]+)\s*$", line)
        if mark:
            expected[number] = mark.group(1)

seen = {}
for line in sys.stdin:
    hit = re.match(r"(.+?):(\d+): error: .*\[([\w-]+)\]\s*$", line)
    if hit and hit.group(1).endswith(path.split("/")[-1]):
        seen.setdefault(int(hit.group(2)), set()).add(hit.group(3))
    elif ": error:" in line:
        print("unexpected report:", line.rstrip())
        seen.setdefault(0, set()).add("?")

bad = 0
for number, code in sorted(expected.items()):
    if code not in seen.get(number, set()):
        print(f"{path}:{number}: expected a [{code}] error, got {sorted(seen.get(number, [])) or 'none'}")
        bad += 1
for number, codes in sorted(seen.items()):
    if number not in expected:
        print(f"{path}:{number}: unexpected error(s) {sorted(codes)}")
        bad += 1
print(f"{path}: {len(expected)} expected errors, {bad} mismatches")
sys.exit(1 if bad else 0)
