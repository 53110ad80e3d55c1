import gc
import os
import tkinter

import pytest
from hypothesis import HealthCheck, settings

# Hypothesis budgets: a modest one for everyday runs and a large one for CI
# (scripts/test.sh sets VELMOR_HYPOTHESIS_PROFILE=ci). Tests leave
# max_examples to the profile. No deadline: on a shared or sanitized
# machine a slow example says nothing about the code.
settings.register_profile("dev", max_examples=200, deadline=None)
settings.register_profile(
    "ci", max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("VELMOR_HYPOTHESIS_PROFILE", "dev"))


@pytest.fixture
def tk():
    """A plain tkinter Tcl application object with TclX, for comparing against Tcl itself."""
    app = tkinter.Tcl()
    app.eval("package require Tclx")
    return app.tk


@pytest.fixture
def interp():
    """A fresh Interpreter, dropped after the test."""
    from velmor.tcl.interpreter import Interpreter

    it = Interpreter()
    yield it
    del it
    gc.collect()


@pytest.fixture(autouse=True)
def _collect_on_the_main_thread():
    """What a test leaves in reference cycles is collected here, on its own thread.

    Tcl lets only the thread that made an interpreter delete it (it panics
    otherwise), and tkinter deletes one when its application object goes. An
    application object left in a cycle (a test's frame in a kept traceback,
    say) would go whenever the collector next runs, on whichever thread
    allocates then: a later test's thread pool, or pytest-xdist's I/O thread.
    The package keeps an Interpreter's own application until its thread can
    let go of it; the plain tkinter.Tcl() ones tests compare against are
    tkinter's alone."""
    yield
    gc.collect()


@pytest.fixture(scope="session")
def deeper_than_recursion_limit():
    """A nesting depth well past what the interpreter lets C code recurse.

    CPython 3.12 and later count C recursion apart from Python recursion, with
    a limit of their own that sys.getrecursionlimit() does not give, so the
    interpreter is asked: the depth at which repr() of nested lists (one C
    recursion per level) raises RecursionError, with a wide margin.
    """
    depth = 256
    while depth <= 1 << 24:
        nested = []
        for _ in range(depth):
            nested = [nested]
        try:
            repr(nested)
        except RecursionError:
            return depth * 4
        depth *= 2
    pytest.fail("repr() of deeply nested lists never raised RecursionError")


def _utf8_safe(text):
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item, call):
    """Failure reports that hold lone surrogates, escaped.

    Such text cannot be encoded, so an xdist worker could not send its
    report back and the whole run would stop; the escaped form says the same.
    """
    report = yield
    if report.longrepr is not None:
        text = str(report.longrepr)
        safe = _utf8_safe(text)
        if safe is not text:
            report.longrepr = safe
    report.sections = [(title, _utf8_safe(body)) for title, body in report.sections]
    return report
