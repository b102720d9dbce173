"""Command line of the demo: options, set-up, the run and the summary."""
import argparse
import platform
import sys
import time

DEFAULT_ROWS = 200_000
DEFAULT_BATCH = 1000


def positive(text):
    """A whole number of at least 1, for argparse; underscores allowed."""
    try:
        value = int(text.replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} must be at least 1")
    return value


def parser():
    p = argparse.ArgumentParser(
        prog="python -m demo",
        description="Fill an embedded sqlite3 table, then fetch, convert, build, read, "
        "project and pickle its rows with velmora.kestrine, and time every stage "
        "against an interpreted row class and against sqlite3.Row.",
    )
    p.add_argument("-n", "--rows", type=positive, default=DEFAULT_ROWS, metavar="N",
                   help=f"rows to create and fetch (default {DEFAULT_ROWS:,})")
    p.add_argument("--database", default=":memory:", metavar="PATH",
                   help="sqlite3 database file to use instead of memory; the demo "
                   "replaces its own table there (kestrine_demo_items) and nothing else")
    p.add_argument("--batch-size", type=positive, default=DEFAULT_BATCH, metavar="N",
                   help=f"rows per fetch (default {DEFAULT_BATCH:,})")
    p.add_argument("--progress", action="store_true",
                   help="show the progress bar even when standard error is not a terminal")
    p.add_argument("--json", nargs="?", const="-", metavar="PATH",
                   help="also write the summary as JSON to PATH; without PATH the JSON "
                   "replaces the table on standard output")
    return p


def _fail(message, code):
    print(f"python -m demo: error: {message}", file=sys.stderr)
    return code


def main(argv):
    args = parser().parse_args(argv)
    try:
        from velmora.kestrine import processors, rowcore, sealedmap  # noqa: F401

        from demo import database, pipeline, report
        from demo.progress import Progress
        from demo.result import DEFAULT_OPTIONS
    except ImportError as exc:
        return _fail(f"the native modules cannot be imported ({exc}); build them first "
                     "(./dev demo does) or put their build on PYTHONPATH", 1)

    options = DEFAULT_OPTIONS.merge_with(
        {"database": args.database, "batch_size": args.batch_size}
    )
    progress = Progress(args.rows, sys.stderr, args.progress or sys.stderr.isatty())

    try:
        conn = database.connect(options["database"])
        try:
            started = time.perf_counter()
            if progress.enabled:
                sys.stderr.write(f"creating {args.rows:,} rows...")
                sys.stderr.flush()
            database.create_and_fill(conn, args.rows)
            if progress.enabled:
                sys.stderr.write("\r\x1b[K")
            fill_seconds = time.perf_counter() - started
            outcome = pipeline.run(conn, args.rows, options, progress)
        finally:
            conn.close()
    except database.DatabaseError as exc:
        progress.finish()
        return _fail(str(exc), 2)
    except pipeline.CheckFailed as exc:
        progress.finish()
        return _fail(f"check failed: {exc}", 1)
    except KeyboardInterrupt:
        progress.finish()
        return _fail("interrupted", 130)

    lines = report.summarise(outcome)
    meta = {
        "python": platform.python_version(),
        "database": options["database"],
        "rows": outcome["rows"],
        "batch_size": options["batch_size"],
        "pickle_sample": outcome["pickle_sample"],
        "pickle_rounds": outcome["pickle_rounds"],
        "fill_seconds": round(fill_seconds, 3),
        "checks": "passed",
    }
    header = (
        f"velmora.kestrine demo, Python {meta['python']}: {meta['rows']:,} row"
        f"{'' if meta['rows'] == 1 else 's'} in sqlite3 "
        f"{meta['database']}, fetched in batches of {meta['batch_size']:,}; "
        f"all checks passed"
    )
    if args.json == "-":
        print(report.json_text(lines, meta))
        return 0
    print(report.text_table(lines, header))
    if args.json:
        try:
            with open(args.json, "w", encoding="utf-8") as out:
                out.write(report.json_text(lines, meta) + "\n")
        except OSError as exc:
            return _fail(f"cannot write {args.json!r}: {exc.strerror or exc}", 1)
    return 0
