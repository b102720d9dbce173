"""Command line of the benchmarks: run the cases and print the ratio table."""
import argparse
import json
import platform
import sys

from bench import cases, harness
from demo.cli import positive


def parser():
    p = argparse.ArgumentParser(
        prog="python -m bench",
        description="Time each velmora.kestrine operation against its closest peer in the "
        "same process and print the ratios with their targets. Only ratios from one run "
        "are meaningful: the absolute figures depend on the machine and its load.",
    )
    p.add_argument("--repeat", type=positive, default=25, metavar="N",
                   help="timed repeats per micro case, ours and the peer in turns (default 25)")
    p.add_argument("--bulk-rows", type=positive, default=100_000, metavar="N",
                   help="rows fetched by the bulk cases (default 100,000)")
    p.add_argument("--bulk-repeat", type=positive, default=5, metavar="N",
                   help="timed repeats per bulk case (default 5)")
    p.add_argument("-k", dest="select", metavar="TEXT",
                   help="run only the cases whose operation or peer contains TEXT")
    p.add_argument("--json", action="store_true", help="print the results as JSON instead")
    p.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    return p


def _fmt(outcome):
    case = outcome.case
    micro = case.kind == "micro"
    target = f"<= {case.target:.2f}" if micro else f">= {case.target:.2f}"
    if outcome.skipped:
        return (case.name, case.peer, "", "", "", "", target, f"skipped: {outcome.skipped}")
    unit, number_format = ("ns/op", ",.1f") if micro else ("rows/s", ",.0f")
    ours, peer = format(outcome.ours, number_format), format(outcome.peer, number_format)
    return (case.name, case.peer, unit, ours, peer, f"{outcome.ratio:.3f}", target,
            "pass" if outcome.passed else "MISS")


def table(outcomes):
    cols = ("operation", "closest peer", "unit", "ours", "peer", "ratio", "target", "result")
    body = [_fmt(o) for o in outcomes]
    widths = [max(len(r[i]) for r in (cols, *body)) for i in range(len(cols) - 1)]
    right = {3, 4, 5}

    def fmt(row):
        cells = [c.rjust(widths[i]) if i in right else c.ljust(widths[i]) for i, c in enumerate(row[:-1])]
        return "  ".join(cells + [row[-1]])

    lines = [fmt(cols), "  ".join("-" * w for w in widths) + "  ------"]
    lines += [fmt(r) for r in body]
    return "\n".join(lines)


def main(argv):
    args = parser().parse_args(argv)
    selected = [
        c for c in cases.all_cases(args.bulk_rows)
        if not args.select or args.select in c.name or args.select in c.peer
    ]
    if not selected:
        print(f"python -m bench: error: no case matches {args.select!r}", file=sys.stderr)
        return 2
    outcomes = []
    for case in selected:
        if sys.stderr.isatty():
            print(f"\r\x1b[Krunning: {case.name} / {case.peer}", end="", file=sys.stderr, flush=True)
        outcomes.append(harness.run(case, args.repeat, args.bulk_repeat))
    if sys.stderr.isatty():
        print("\r\x1b[K", end="", file=sys.stderr, flush=True)

    if args.json:
        print(json.dumps({
            "python": platform.python_version(),
            "cases": [{
                "operation": o.case.name, "peer": o.case.peer, "kind": o.case.kind,
                "unit": "ns/op" if o.case.kind == "micro" else "rows/s",
                "ours": o.ours, "peer_value": o.peer, "ratio": o.ratio,
                "target": o.case.target, "target_is": "max" if o.case.kind == "micro" else "min",
                "passed": o.passed, "skipped": o.skipped,
            } for o in outcomes],
        }, indent=2))
    else:
        print(f"velmora.kestrine benchmarks, Python {platform.python_version()}: "
              f"{args.repeat} runs per micro case, {args.bulk_repeat} per bulk case, ours and "
              "the peer in turns; ours and peer are medians, ratio is the median of the "
              "per-run ratios.")
        print("micro: ratio = our time / peer time (lower is better); "
              "bulk: ratio = our rows/s / peer rows/s (higher is better).\n")
        print(table(outcomes))
        missed = sum(o.passed is False for o in outcomes)
        skipped = sum(o.skipped is not None for o in outcomes)
        print(f"\n{len(outcomes) - missed - skipped} passed, {missed} missed, {skipped} skipped")
    if args.strict and any(o.passed is False for o in outcomes):
        return 1
    return 0
