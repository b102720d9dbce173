"""Reference-leak hunting for the test suite on a debug interpreter.

    python3.14d tools/refleak.py [-R WARMUPS:RUNS] [pytest args...]   (default -R 2:3)
    python3.14d tools/refleak.py --self-test

Runs the collected tests once as usual (reporting failures normally), then
reruns the passing tests of every test module 1 + WARMUPS + RUNS times in the
same process, comparing sys.gettotalrefcount(), sys.getallocatedblocks() and
the number of open file descriptors after each repetition, the way CPython's
regression runner does with -R. A module whose every measured repetition grows
one of them leaks; its tests are then hunted one by one to name the culprits,
and the run fails. Caches that the interpreter, the standard library and
pytest fill on their own are warmed or restored between repetitions so that
only real leaks remain.

--self-test checks the hunter itself: a test that leaks one reference per
call through the C API must be caught and named, a clean one must not.
"""

import argparse
import collections.abc
import copyreg
import gc
import inspect
import linecache
import os
import subprocess
import sys
import tempfile
import textwrap
import warnings

import pytest
from _pytest.runner import runtestprotocol


def _abc_dump():
    from _abc import _get_dump

    saved = {}
    for abc in (getattr(collections.abc, a) for a in collections.abc.__all__):
        if inspect.isabstract(abc):
            for cls in abc.__subclasses__() + [abc]:
                saved[cls] = _get_dump(cls)[0]
    return saved


class Baseline:
    """Interpreter-wide registries as they were before the hunt; restored
    after every repetition so that what a test registers there (warning
    filters, importer caches, ABC registrations) does not count as a leak."""

    def __init__(self):
        self.filters = warnings.filters[:]
        self.dispatch = copyreg.dispatch_table.copy()
        self.importers = sys.path_importer_cache.copy()
        self.lines = linecache.cache.copy()
        self.abcs = _abc_dump()

    def restore(self):
        # pytest keeps the last failure's exception in sys.last_exc & co.
        for name in ("last_exc", "last_type", "last_value", "last_traceback"):
            if hasattr(sys, name):
                setattr(sys, name, None)
        warnings.filters[:] = self.filters
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.dispatch)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.importers)
        linecache.cache.clear()
        linecache.cache.update(self.lines)
        for abc in (getattr(collections.abc, a) for a in collections.abc.__all__):
            if not inspect.isabstract(abc):
                continue
            for cls in abc.__subclasses__() + [abc]:
                refs = self.abcs.get(cls)
                if refs is not None:
                    cls._abc_registry_clear()
                    for ref in refs:
                        sub = ref()
                        if sub is not None:
                            cls.register(sub)
                cls._abc_caches_clear()
        clear_caches()
        sys._clear_internal_caches()


def clear_caches():
    """Empties the caches the standard library fills as tests run."""
    for mod in list(sys.modules.values()):
        if hasattr(mod, "__warningregistry__"):
            del mod.__warningregistry__
    for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
        if stream is not None:
            stream.flush()
    mods = sys.modules
    if "re" in mods:
        mods["re"].purge()
    if "_strptime" in mods:
        mods["_strptime"]._regex_cache.clear()
    if "struct" in mods:
        mods["struct"]._clearcache()
    if "ctypes" in mods:
        mods["ctypes"]._reset_cache()
    if "fractions" in mods:
        mods["fractions"]._hash_algorithm.cache_clear()
    if "typing" in mods:
        typing = mods["typing"]
        for f in typing._cleanups:
            f()
        for abc in filter(inspect.isabstract, list(typing.__dict__.values())):
            for cls in abc.__subclasses__() + [abc]:
                cls._abc_caches_clear()
    inspect._shadowed_dict_from_weakref_mro_tuple.cache_clear()
    inspect._filesbymodname.clear()
    inspect.modulesbyfile.clear()


def warm_caches():
    # One-character bytes and strings and the small ints live in caches that
    # are filled on first use.
    s = bytes(range(256))
    for i in range(256):
        s[i:i + 1]
    [chr(i) for i in range(256)]
    list(range(-5, 257))


def fd_count():
    return len(os.listdir("/proc/self/fd"))


def collect():
    for _ in range(3):
        gc.collect()


def interned_immortal():
    try:
        return sys.getunicodeinternedsize(_only_immortal=True)
    except TypeError:
        return 0


def measure(run, baseline, warmups, runs):
    """Calls run() warmups + runs times; returns the per-repetition deltas of
    references, memory blocks and file descriptors for the measured ones."""
    # Preallocated and filled with small ints, so that the bookkeeping itself
    # allocates nothing inside the loop.
    pool = {v: v for v in range(-1000, 1000)}
    total = warmups + runs
    rc = [0] * total
    blocks = [0] * total
    fds = [0] * total
    rc_before = blocks_before = fd_before = 0
    baseline.restore()
    for i in range(total):
        collect()
        run()
        baseline.restore()
        collect()
        blocks_after = sys.getallocatedblocks() - interned_immortal()
        rc_after = sys.gettotalrefcount()
        fd_after = fd_count()
        rc[i] = pool.setdefault(rc_after - rc_before, rc_after - rc_before)
        blocks[i] = pool.setdefault(blocks_after - blocks_before, blocks_after - blocks_before)
        fds[i] = pool.setdefault(fd_after - fd_before, fd_after - fd_before)
        rc_before, blocks_before, fd_before = rc_after, blocks_after, fd_after
    return rc[warmups:], blocks[warmups:], fds[warmups:]


def leaking(deltas):
    # Steady growth only: every measured repetition grew. One-off growth
    # ([3, 0, 0]) and noise ([8, -8, 1]) are caches settling, not leaks.
    return all(d >= 1 for d in deltas)


# Tests whose growth is the interpreter's, not ours: every re-import of an
# extension module (the standard library's array and _json included) keeps a
# block or two in the interpreter's import machinery.
NOT_HUNTED = {
    "tests/test_frame.py::test_reimport_gives_the_same_module_without_rerunning_the_body":
        "re-importing any extension module grows the interpreter's import state",
}


def not_hunted(nodeid):
    return NOT_HUNTED.get(nodeid.split("[", 1)[0])


class RefleakPlugin:
    def __init__(self, warmups, runs):
        self.warmups = warmups
        self.runs = runs
        self.passed = set()
        self.failed_in_hunt = []
        self.skipped = []
        self.leaks = []
        self.summary = []
        self.repetitions = 0

    @pytest.hookimpl
    def pytest_runtest_logreport(self, report):
        if report.when == "call" and report.passed:
            self.passed.add(report.nodeid)

    def _run_items(self, items):
        def run():
            for item in items:
                item._report_sections = []
                reports = runtestprotocol(item, log=False, nextitem=None)
                for rep in reports:
                    if rep.failed:
                        self.failed_in_hunt.append(item.nodeid)
                        break
                item._report_sections = []
                del reports
        return run

    def _bisect(self, items, baseline):
        """Names the tests of a leaking module that leak on their own, by
        halving: each measurement pays for garbage collections of the whole
        heap, so a few leaking tests among many are found in a logarithmic
        number of them. A group that leaks while neither half does is named
        as a group."""
        culprits = []

        def hunt(group, known_leaking):
            if not known_leaking:
                rc, blocks, fds = measure(self._run_items(group), baseline, self.warmups, self.runs)
                if not (leaking(rc) or leaking(blocks) or leaking(fds)):
                    return False
                if len(group) == 1:
                    culprits.append(f"{group[0].nodeid}: refs {rc} blocks {blocks} fds {fds}")
                    return True
            half = len(group) // 2
            found = hunt(group[:half], False)
            found = hunt(group[half:], False) or found
            if not found:
                culprits.append(f"{len(group)} tests from {group[0].nodeid} on leak only together")
            return True

        if len(items) == 1:
            rc, blocks, fds = measure(self._run_items(items), baseline, self.warmups, self.runs)
            culprits.append(f"{items[0].nodeid}: refs {rc} blocks {blocks} fds {fds}")
        else:
            hunt(items, True)
        return culprits

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtestloop(self, session):
        if session.testsfailed and session.config.option.continue_on_collection_errors is False:
            return None
        if session.config.option.collectonly:
            return None
        items = session.items
        # The ordinary run first: failures are reported as usual and only
        # passing tests take part in the hunt.
        for i, item in enumerate(items):
            nextitem = items[i + 1] if i + 1 < len(items) else None
            item.config.hook.pytest_runtest_protocol(item=item, nextitem=nextitem)
            if session.shouldfail or session.shouldstop:
                return True
        modules = {}
        for item in items:
            reason = not_hunted(item.nodeid)
            if reason:
                self.skipped.append(f"{item.nodeid}: {reason}")
            elif item.nodeid in self.passed:
                modules.setdefault(item.path, []).append(item)
        warm_caches()
        baseline = Baseline()
        tw = session.config.get_terminal_writer()
        tw.line()
        tw.sep("=", f"reference-leak hunt: 1 probe + {self.warmups} warm-up + {self.runs} measured repetitions")
        for path, mod_items in modules.items():
            name = os.path.relpath(str(path))
            # A test that cannot run twice (it consumes a generator, or
            # checks an order that its module's other tests disturb) cannot be
            # measured; one probe repetition finds and names them.
            self._run_items(mod_items)()
            probe_failed = set(self.failed_in_hunt)
            self.failed_in_hunt.clear()
            for item in mod_items:
                if item.nodeid in probe_failed:
                    self.skipped.append(f"{item.nodeid}: fails when run again, so it cannot be measured")
            mod_items = [item for item in mod_items if item.nodeid not in probe_failed]
            rc, blocks, fds = measure(self._run_items(mod_items), baseline, self.warmups, self.runs)
            self.repetitions += (1 + self.warmups + self.runs) * len(mod_items)
            line = f"{name}: {len(mod_items)} tests, deltas refs {rc} blocks {blocks} fds {fds}"
            self.summary.append(line)
            tw.line(line)
            if not (leaking(rc) or leaking(blocks) or leaking(fds)):
                continue
            culprits = self._bisect(mod_items, baseline)
            self.leaks.append((name, rc, blocks, fds, culprits))
            session.testsfailed += 1
        if self.failed_in_hunt:
            session.testsfailed += 1
        return True

    @pytest.hookimpl
    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        if not self.summary:
            return
        tr.section("reference leaks")
        tr.write_line(f"test runs in the hunt: {self.repetitions} "
                      f"(1 probe + {self.warmups} warm-up + {self.runs} measured per test)")
        for name, rc, blocks, fds, culprits in self.leaks:
            tr.write_line(f"LEAK in {name}: refs {rc} blocks {blocks} fds {fds}", red=True, bold=True)
            for c in culprits:
                tr.write_line(f"    {c}", red=True)
        for nodeid in dict.fromkeys(self.failed_in_hunt):
            tr.write_line(f"FAILED when repeated: {nodeid}", red=True, bold=True)
        for line in self.skipped:
            tr.write_line(f"not hunted: {line}", yellow=True)
        if not self.leaks and not self.failed_in_hunt:
            tr.write_line("no reference, memory block or file descriptor leaks", green=True)


SELF_TEST = '''
import ctypes
import sys

kept = []

def test_clean():
    kept.append(object())
    kept.pop()

def test_leaks_one_reference_per_call():
    o = object()
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(o))
'''


def self_test():
    """The hunter must name a test that leaks one reference per call, and
    must pass the same module without it."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "test_leaky.py")
        with open(path, "w") as f:
            f.write(textwrap.dedent(SELF_TEST))
        cmd = [sys.executable, os.path.abspath(__file__), "-q", "-p", "no:cacheprovider",
               "--rootdir", d, path]
        leaky = subprocess.run(cmd, capture_output=True, text=True, cwd=d)
        clean = subprocess.run(cmd + ["-k", "clean"], capture_output=True, text=True, cwd=d)
    ok = (leaky.returncode != 0 and "test_leaks_one_reference_per_call" in leaky.stdout
          and "LEAK in" in leaky.stdout and "test_clean:" not in leaky.stdout
          and clean.returncode == 0 and "LEAK" not in clean.stdout)
    if not ok:
        print("refleak self-test FAILED", file=sys.stderr)
        print(leaky.stdout, leaky.stderr, clean.stdout, clean.stderr, sep="\n", file=sys.stderr)
        return 1
    print("refleak self-test: the leaking test is named and the clean one passes")
    for line in leaky.stdout.splitlines():
        if "LEAK" in line or "refs [" in line:
            print("   ", line.strip())
    return 0


def main(argv):
    parser = argparse.ArgumentParser(add_help=False)
    # The probe repetition of each module (below) is a warm-up too.
    parser.add_argument("-R", default="2:3")
    parser.add_argument("--self-test", action="store_true")
    opts, rest = parser.parse_known_args(argv)
    if not hasattr(sys, "gettotalrefcount"):
        print("refleak: needs a debug interpreter (python3.14d)", file=sys.stderr)
        return 2
    if opts.self_test:
        return self_test()
    warmups, runs = (int(x) for x in opts.R.split(":"))
    try:
        # Repetitions must see the same examples, and nothing is written to
        # an example database.
        from hypothesis import settings
        settings.register_profile("refleak", derandomize=True, database=None, deadline=None)
        settings.load_profile("refleak")
    except ImportError:
        pass
    return pytest.main(rest, plugins=[RefleakPlugin(warmups, runs)])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
