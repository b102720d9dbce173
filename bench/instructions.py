"""Instruction counts per operation under callgrind, for the micro cases.

Wall or CPU time on a shared machine moves with the neighbours' load;
instruction counts do not, so they settle a ratio near its target (they
leave out cache and branch effects, so they complement the timings rather
than replace them). Each side of a case runs under valgrind doing N
operations, ten per loop turn, and so does an empty loop with the same
set-up; the difference divided by N is the operation's own count.

    python -m bench.instructions [-k TEXT] [-n N]
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

from bench import cases

_CHILD = """
import sys
from bench import cases
case = [c for c in cases.all_cases(1) if c.kind == "micro"][int(sys.argv[1])]
names = case.setup()
stmt = {"ours": case.ours_stmt, "peer": case.peer_stmt, "empty": "pass"}[sys.argv[2]]
body = "; ".join([stmt] * 10)
src = "def run(" + ", ".join(names) + "):\\n    for _ in range(" + sys.argv[3] + "):\\n        " + body + "\\n"
ns = {}
exec(src, ns)
ns["run"](**names)
"""


def count(index, side, n):
    env = dict(os.environ, PYTHONHASHSEED="0")
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         sys.executable, "-c", _CHILD, str(index), side, str(n)],
        capture_output=True, text=True, env=env, check=True,
    )
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def main(argv):
    p = argparse.ArgumentParser(prog="python -m bench.instructions")
    p.add_argument("-k", dest="select", metavar="TEXT")
    p.add_argument("-n", type=int, default=20000, help="operations per measured run (default 20000)")
    args = p.parse_args(argv)
    if not shutil.which("valgrind"):
        print("python -m bench.instructions: error: valgrind is not installed", file=sys.stderr)
        return 2
    micro = [c for c in cases.all_cases(1) if c.kind == "micro"]
    print(f"{'operation':46s} {'closest peer':42s} {'ours':>7s} {'peer':>7s} {'ratio':>6s}  target")
    for i, case in enumerate(micro):
        if args.select and args.select not in case.name and args.select not in case.peer:
            continue
        try:
            case.setup()
        except cases.Unavailable as exc:
            print(f"{case.name:46s} {case.peer:42s} skipped: {exc}")
            continue
        loops = args.n // 10
        empty = count(i, "empty", loops)
        per = {side: (count(i, side, loops) - empty) / (loops * 10) for side in ("ours", "peer")}
        ratio = per["ours"] / per["peer"]
        print(f"{case.name:46s} {case.peer:42s} {per['ours']:7.0f} {per['peer']:7.0f} {ratio:6.2f}  <= {case.target:.2f}")
    print("\ninstructions per operation, the empty loop's own count taken off")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
