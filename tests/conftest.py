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
