import gc
import tkinter

import pytest


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
