"""Reference-count check for the debug interpreter: repeating an operation
must not make the interpreter's total reference count grow."""
import gc
import sys

import pytest

debug_only = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")


def assert_steady(work, warmup=20, runs=200, slack=50):
    """Run `work` `warmup` times to fill caches, then `runs` times more; a
    leak of even one reference per run exceeds `slack`."""
    for _ in range(warmup):
        work()
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(runs):
        work()
    gc.collect()
    growth = sys.gettotalrefcount() - before
    assert growth < slack, f"{growth} references gained over {runs} runs"
