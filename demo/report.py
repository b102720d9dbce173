"""The summary: rows per second per stage and the speed-up over each reference."""
import json

from demo.pipeline import IMPLEMENTATIONS, STAGES, TOTALS


def _rate(rows, ns):
    return rows * 1e9 / ns if ns > 0 else None


def summarise(outcome):
    """Rows per second for every stage and total, with the two speed-ups."""
    rows, sample = outcome["rows"], outcome["pickle_sample"] * outcome["pickle_rounds"]
    times, unsupported = outcome["times"], outcome["unsupported"]

    def line(key, label, ns_of, count):
        rates = {}
        for impl in IMPLEMENTATIONS:
            ns = ns_of(impl)
            rates[impl] = None if ns is None else _rate(count, ns)
        ours = rates["kestrine"]
        return {
            "stage": key,
            "label": label,
            "rows": count,
            "rows_per_second": rates,
            "speedup": {
                ref: (ours / rates[ref] if ours and rates[ref] else None)
                for ref in IMPLEMENTATIONS[1:]
            },
        }

    def stage_ns(key):
        return lambda impl: None if key in unsupported.get(impl, ()) else times[impl][key]

    def total_ns(keys):
        def ns(impl):
            if any(key in unsupported.get(impl, ()) for key in keys):
                return None
            return sum(times[impl][key] for key in keys)
        return ns

    lines = [line(key, label, stage_ns(key), sample if key == "pickle" else rows) for key, label in STAGES]
    lines += [line(key, label, total_ns(keys), rows) for key, label, keys in TOTALS]
    return lines


def _fmt_rate(rate):
    return "n/a" if rate is None else f"{rate:,.0f}"


def _fmt_ratio(ratio):
    return "" if ratio is None else f"{ratio:.2f}x"


def text_table(lines, header):
    cols = ("stage", "kestrine rows/s", "interpreted rows/s", "speed-up", "sqlite3.Row rows/s", "speed-up")
    body = []
    for item in lines:
        rate, up = item["rows_per_second"], item["speedup"]
        body.append((
            item["label"],
            _fmt_rate(rate["kestrine"]),
            _fmt_rate(rate["interpreted"]),
            _fmt_ratio(up["interpreted"]),
            _fmt_rate(rate["sqlite3.Row"]),
            _fmt_ratio(up["sqlite3.Row"]),
        ))
    widths = [max(len(row[i]) for row in (cols, *body)) for i in range(len(cols))]

    def fmt(row):
        return "  ".join(
            cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i]) for i, cell in enumerate(row)
        ).rstrip()

    rule = "  ".join("-" * w for w in widths)
    out = [header, "", fmt(cols), rule]
    for i, row in enumerate(body):
        if i == len(STAGES):
            out.append(rule)
        out.append(fmt(row))
    out += [
        "",
        "speed-up: kestrine rows/s divided by the reference's. n/a: sqlite3.Row has no",
        "converters, no attribute access and no pickling. whole road: fetch, build with",
        "converters, the three reads and the projection; common road: fetch, build without",
        "converters, key and position reads and the projection.",
    ]
    return "\n".join(out)


def json_text(lines, meta):
    return json.dumps({**meta, "stages": lines}, indent=2)
