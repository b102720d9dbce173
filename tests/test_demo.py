"""Smoke runs of the demo (python -m demo) as a subprocess, with a few hundred rows."""
import json
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent

STAGE_LABELS = (
    "fetch raw tuples",
    "build rows, with converters",
    "build rows, no converters",
    "read by attribute",
    "read by key (row._mapping[key])",
    "read by position",
    "project (tuplegetter)",
    "pickle round trip (sample)",
    "whole road",
    "common road",
)


def run_demo(*args):
    return subprocess.run(
        [sys.executable, "-m", "demo", *args],
        cwd=REPO, capture_output=True, text=True, timeout=120,
    )


def test_prints_the_summary_table_and_no_progress_off_a_terminal():
    proc = run_demo("--rows", "300", "--batch-size", "64")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "300 rows in sqlite3 :memory:, fetched in batches of 64; all checks passed" in out
    header = next(line for line in out.splitlines() if line.startswith("stage"))
    assert header.split("  ")[0] == "stage" and "kestrine rows/s" in header and "sqlite3.Row rows/s" in header
    for label in STAGE_LABELS:
        row = next((line for line in out.splitlines() if line.startswith(label)), None)
        assert row is not None, f"no line for {label!r}"
        assert row.split()[-1].endswith("x") or "n/a" in row
    assert proc.stderr == ""


def test_json_on_stdout_with_a_forced_progress_bar():
    proc = run_demo("-n", "250", "--batch-size", "100", "--json", "--progress")
    assert proc.returncode == 0, proc.stderr
    summary = json.loads(proc.stdout)
    assert (summary["rows"], summary["batch_size"], summary["checks"]) == (250, 100, "passed")
    stages = {item["stage"]: item for item in summary["stages"]}
    assert list(stages) == [
        "fetch", "build", "build_plain", "attribute", "key", "position", "project", "pickle",
        "whole", "common",
    ]
    for key, item in stages.items():
        rates = item["rows_per_second"]
        assert rates["kestrine"] > 0 and rates["interpreted"] > 0
        assert item["speedup"]["interpreted"] == pytest.approx(rates["kestrine"] / rates["interpreted"])
        # sqlite3.Row has no converters, attributes or pickling.
        if key in ("build", "attribute", "pickle", "whole"):
            assert rates["sqlite3.Row"] is None and item["speedup"]["sqlite3.Row"] is None
        else:
            assert rates["sqlite3.Row"] > 0
    # The sample is every row here, round-tripped pickle_rounds times.
    assert summary["pickle_sample"] == 250 and summary["pickle_rounds"] > 1
    assert stages["pickle"]["rows"] == 250 * summary["pickle_rounds"] and stages["fetch"]["rows"] == 250
    assert "250/250 rows" in proc.stderr


def test_database_file_and_json_file(tmp_path):
    db, report = tmp_path / "demo.db", tmp_path / "summary.json"
    with sqlite3.connect(db) as conn:
        conn.execute("CREATE TABLE keep_me (x)")
        conn.execute("INSERT INTO keep_me VALUES (1)")
    conn.close()
    for rows in ("180", "120"):  # a second run replaces the demo's own table
        proc = run_demo("-n", rows, "--database", str(db), "--json", str(report))
        assert proc.returncode == 0, proc.stderr
    assert "all checks passed" in proc.stdout
    assert json.loads(report.read_text())["rows"] == 120
    conn = sqlite3.connect(db)
    try:
        assert conn.execute("SELECT count(*) FROM kestrine_demo_items").fetchone() == (120,)
        assert conn.execute("SELECT x FROM keep_me").fetchall() == [(1,)]
    finally:
        conn.close()


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (["--rows", "-5"], 2, "argument -n/--rows: '-5' must be at least 1"),
        (["--rows", "lots"], 2, "argument -n/--rows: 'lots' is not a whole number"),
        (["--batch-size", "0"], 2, "argument --batch-size: '0' must be at least 1"),
        (["--database", "/nonexistent/dir/demo.db"], 2, "cannot open database '/nonexistent/dir/demo.db'"),
        (["--database", "NOT_A_DB"], 2, "file is not a database"),
        (["-n", "50", "--json", "/nonexistent/dir/out.json"], 1, "cannot write '/nonexistent/dir/out.json'"),
    ],
)
def test_bad_input_gives_a_message_and_an_exit_code(tmp_path, args, code, message):
    if "NOT_A_DB" in args:
        junk = tmp_path / "junk.db"
        junk.write_bytes(b"this is not sqlite, only text " * 100)
        args = [str(junk) if a == "NOT_A_DB" else a for a in args]
    proc = run_demo(*args)
    assert proc.returncode == code
    assert message in proc.stderr
    assert "Traceback" not in proc.stderr
