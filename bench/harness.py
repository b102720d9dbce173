"""A small timeit-based harness that times an operation and its peer in turns.

The machine is shared and noisy, so nothing here is an absolute figure: each
case times ours and the peer alternately in the same process, takes the
median of the repeats of each, and reports the median of the paired ratios
(one per repeat), which a slow spell that hits both sides of a pair does not
move. Time is the CPU time of the running thread, so the other work of a
shared machine is not counted, only its effect on caches.
"""
import gc
import statistics
import time
import timeit
from dataclasses import dataclass, field

# Statements are repeated in the timed loop so that the loop's own cost is
# small next to the operation (a few ns spread over UNROLL calls).
UNROLL = 20
TARGET_SECONDS = 0.005


class Unavailable(Exception):
    """The case cannot run here (a module or an API is missing)."""


@dataclass
class Micro:
    """Ours and the peer as one statement each over names made by `setup()`."""

    name: str
    peer: str
    ours_stmt: str
    peer_stmt: str
    setup: object  # () -> dict of names the statements use
    target: float  # ours / peer time must be at most this
    kind: str = "micro"


@dataclass
class Bulk:
    """Ours and the peer as functions that process rows and return (rows, seconds)."""

    name: str
    peer: str
    setup: object  # () -> (ours, peer), both callables
    target: float  # ours / peer throughput must be at least this
    kind: str = "bulk"


@dataclass
class Outcome:
    case: object
    ours: float = None  # ns per operation, or rows per second
    peer: float = None
    ratio: float = None
    skipped: str = None
    spread: dict = field(default_factory=dict)

    @property
    def passed(self):
        if self.ratio is None:
            return None
        if self.case.kind == "micro":
            return self.ratio <= self.case.target
        return self.ratio >= self.case.target


def _timer(stmt, names):
    body = "\n".join([stmt] * UNROLL)
    # Names become locals of the timed function: no global lookups are timed.
    setup = "\n".join(f"{name} = _names[{name!r}]" for name in names)
    return timeit.Timer(body, setup=setup, timer=time.thread_time, globals={"_names": names})


def _loops(timer):
    number = 1
    while True:
        if timer.timeit(number) >= TARGET_SECONDS:
            return number
        number *= 2


def run_micro(case, repeat):
    try:
        names = case.setup()
    except Unavailable as exc:
        return Outcome(case, skipped=str(exc))
    ours_t, peer_t = _timer(case.ours_stmt, names), _timer(case.peer_stmt, names)
    number = max(_loops(ours_t), _loops(peer_t))
    per_op = UNROLL * number
    ours, peer = [], []
    for _ in range(repeat):
        ours.append(ours_t.timeit(number) / per_op * 1e9)
        peer.append(peer_t.timeit(number) / per_op * 1e9)
    return _outcome(case, ours, peer)


def _outcome(case, ours, peer):
    ratio = statistics.median(o / p for o, p in zip(ours, peer))
    return Outcome(case, statistics.median(ours), statistics.median(peer), ratio,
                   spread={"ours": ours, "peer": peer})


def run_bulk(case, repeat):
    try:
        ours_fn, peer_fn = case.setup()
    except Unavailable as exc:
        return Outcome(case, skipped=str(exc))
    ours, peer = [], []
    was_enabled = gc.isenabled()
    gc.disable()  # as timeit does for the micro cases
    try:
        ours_fn(), peer_fn()  # warm up: caches, specialisation
        for _ in range(repeat):
            rows, seconds = ours_fn()
            ours.append(rows / seconds)
            rows, seconds = peer_fn()
            peer.append(rows / seconds)
    finally:
        if was_enabled:
            gc.enable()
    return _outcome(case, ours, peer)


def run(case, repeat, bulk_repeat):
    if case.kind == "micro":
        return run_micro(case, repeat)
    return run_bulk(case, bulk_repeat)
