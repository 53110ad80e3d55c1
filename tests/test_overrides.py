"""Every shortcut the package takes stands aside for a user's override.

Each row is one fast path and one kind of override (a subclass overriding the
method, the class attribute patched, an instance attribute, a subclass
__getattribute__, a patched __new__); the override must run, and the result
must be what the override makes it."""

import os
import subprocess
import sys

import pytest

from velmor.tcl import history as history_mod
from velmor.tcl.history import Entry, History

CASES = {}


def in_subprocess(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.returncode == 0, out.stderr[-2000:]


def case(path, kind):
    def register(fn):
        CASES[f"{path}-{kind}"] = fn
        return fn

    return register


# ---------------------------------------------------------------------------
# History.append building its Entry


@case("history-entry", "subclass")
def _(interp, monkeypatch, seen):
    class Mine(Entry):
        def __init__(self, api):
            seen.append(api)
            super().__init__(api)

    monkeypatch.setattr(history_mod, "Entry", Mine)
    h = History()
    h.append("x")
    assert type(h.filter()[0]) is Mine


@case("history-entry", "class-attribute")
def _(interp, monkeypatch, seen):
    stock = Entry.__init__

    def init(self, api):
        seen.append(api)
        stock(self, api)

    monkeypatch.setattr(Entry, "__init__", init)
    History().append("x")


@case("history-entry", "new")
def _(interp, monkeypatch, seen):
    # CPython keeps a patched __new__'s slot after the patch is undone, which
    # would break Entry for later tests: run it in a process of its own.
    in_subprocess(
        "from velmor.tcl.history import Entry, History\n"
        "seen = []\n"
        "def new(cls, *args):\n"
        "    seen.append(args)\n"
        "    return object.__new__(cls)\n"
        "Entry.__new__ = new\n"
        "h = History()\n"
        "h.append('x')\n"
        "assert seen and h.filter()[0].api == 'x', seen\n"
    )
    seen.append(True)


@case("history-entry", "slot-replaced")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(Entry, "api", property(lambda self: "fixed", lambda self, v: seen.append(v)))
    h = History()
    h.append("x")
    assert h.filter()[0].api == "fixed"


@case("history-append", "getattribute")
def _(interp, monkeypatch, seen):
    class Mine(History):
        def __getattribute__(self, name):
            if name == "enabled":
                seen.append(name)
            return super().__getattribute__(name)

    Mine().append("x")


@case("history-append", "class-attribute")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(History, "enabled", property(lambda self: seen.append(1) or False,
                                                      lambda self, v: None), raising=False)
    h = History()
    h.append("x")
    assert h.filter() == []


# ---------------------------------------------------------------------------
# cast_any deciding from the text which attempt can succeed


@case("cast_any-scalar", "subclass")
def _(interp, monkeypatch, seen):
    from velmor.tcl.interpreter import Interpreter

    class Mine(Interpreter):
        def cast_double(self, value):
            seen.append(value)
            return "mine"

    assert Mine().cast_any("2.5") == "mine"


@case("cast_any-scalar", "class-attribute")
def _(interp, monkeypatch, seen):
    from velmor.tcl.interpreter import Interpreter

    monkeypatch.setattr(Interpreter, "getint", lambda self, value: seen.append(value) or 99)
    assert interp.cast_any("abc") == 99


@case("cast_any-scalar", "instance-attribute")
def _(interp, monkeypatch, seen):
    interp.cast_boolean = lambda value: seen.append(value) or "mine"
    assert interp.cast_any("hello") == "mine"


@case("cast_any-scalar", "getattribute")
def _(interp, monkeypatch, seen):
    from velmor.tcl.interpreter import Interpreter

    class Mine(Interpreter):
        def __getattribute__(self, name):
            if name == "cast_int":
                seen.append(name)
            return super().__getattribute__(name)

    assert Mine().cast_any("7") == 7


@case("cast_any-keyed", "class-attribute")
def _(interp, monkeypatch, seen):
    from velmor.tcl.nestmap import NestMap

    monkeypatch.setattr(NestMap, "from_tcl", staticmethod(lambda value: seen.append(value) or "kl"))
    assert interp.cast_any("hello") == "kl"


@pytest.mark.parametrize("name", sorted(CASES), ids=sorted(CASES))
def test_override_runs(name, interp, monkeypatch):
    seen = []
    CASES[name](interp, monkeypatch, seen)
    assert seen, f"{name}: the override did not run"
