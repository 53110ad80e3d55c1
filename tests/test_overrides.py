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
from velmor.tcl import vox as vox_mod
from velmor.tcl.history import Entry, History
from velmor.tcl.interpreter import Interpreter
from velmor.tcl.listify import listify
from velmor.tcl.namespace import TclArrayVariable, TclCommand, TclVariable
from velmor.tcl.nestmap import NestMap
from velmor.tcl.vox import Vox_Code

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


def recording(seen, fn):
    def wrapper(*args, **kwargs):
        seen.append(args[1:])
        return fn(*args, **kwargs)

    return wrapper


# ---------------------------------------------------------------------------
# TclArrayVariable[key] through get


@case("array-getitem", "instance-attribute")
def _(interp, monkeypatch, seen):
    interp.eval("array set arr {k v}")
    arr = TclArrayVariable("arr", tcl=interp)
    arr.get = lambda array_index=None: seen.append(array_index) or "mine"
    assert arr["k"] == "mine"


@case("array-getitem", "class-attribute")
def _(interp, monkeypatch, seen):
    interp.eval("array set arr {k v}")
    monkeypatch.setattr(TclArrayVariable, "get", recording(seen, TclArrayVariable.get))
    assert TclArrayVariable("arr", tcl=interp)["k"] == "v"


@case("array-getitem", "subclass")
def _(interp, monkeypatch, seen):
    interp.eval("array set arr {k v}")

    class Mine(TclArrayVariable):
        def get(self, array_index=None, cast=None):
            seen.append(array_index)
            return "mine"

    assert Mine("arr", tcl=interp)["k"] == "mine"


@case("array-getitem", "getattribute")
def _(interp, monkeypatch, seen):
    interp.eval("array set arr {k v}")

    class Mine(TclArrayVariable):
        def __getattribute__(self, name):
            if name == "get":
                seen.append(name)
            return super().__getattribute__(name)

    assert Mine("arr", tcl=interp)["k"] == "v"


# ---------------------------------------------------------------------------
# The views: vars[key], vars[key] = value, objs[key], cmds[key]


@case("vars-getitem", "instance-attribute")
def _(interp, monkeypatch, seen):
    interp.eval("set x 1")
    interp.vars.get = lambda name: seen.append(name) or "mine"
    try:
        assert interp.vars["x"] == "mine"
    finally:
        del interp.vars.get


@case("vars-getitem", "class-attribute")
def _(interp, monkeypatch, seen):
    interp.eval("set x 1")
    view = type(interp.global_ns.vars)
    monkeypatch.setattr(view, "get", recording(seen, view.get))
    assert interp.global_ns.vars["x"] == "1"


@case("vars-getitem", "variable-class-attribute")
def _(interp, monkeypatch, seen):
    interp.eval("set x 1")
    monkeypatch.setattr(TclVariable, "get_str", recording(seen, TclVariable.get_str))
    assert interp.global_ns.vars["x"] == "1"


@case("vars-getitem", "variable-init")
def _(interp, monkeypatch, seen):
    interp.eval("set x 1")
    monkeypatch.setattr(TclVariable, "__init__", recording(seen, TclVariable.__init__))
    assert interp.global_ns.vars["x"] == "1"


@case("vars-getitem", "variable-new")
def _(interp, monkeypatch, seen):
    in_subprocess(
        "from velmor.tcl.interpreter import Interpreter\n"
        "from velmor.tcl.namespace import TclVariable\n"
        "seen = []\n"
        "def new(cls, *args, **kwargs):\n"
        "    seen.append(args)\n"
        "    return object.__new__(cls)\n"
        "TclVariable.__new__ = new\n"
        "it = Interpreter()\n"
        "it.eval('set x 1')\n"
        "assert it.global_ns.vars['x'] == '1' and seen, seen\n"
    )
    seen.append(True)


@case("vars-setitem", "instance-attribute")
def _(interp, monkeypatch, seen):
    interp.global_ns.vars.set = lambda name, value: seen.append((name, value))
    try:
        interp.global_ns.vars["x"] = 5
    finally:
        del interp.global_ns.vars.set
    assert interp.eval("info exists x") == "0"


@case("vars-setitem", "getattribute")
def _(interp, monkeypatch, seen):
    view = type(interp.global_ns.vars)

    class Mine(view):
        def __getattribute__(self, name):
            if name == "set":
                seen.append(name)
            return super().__getattribute__(name)

    Mine(interp.global_ns)["x"] = 5
    assert interp.eval("set x") == "5"


@case("objs-getitem", "instance-attribute")
def _(interp, monkeypatch, seen):
    interp.eval("set x 1")
    objs = interp.global_ns.objs
    objs.get = lambda name: seen.append(name) or "mine"
    try:
        assert objs["x"] == "mine"
    finally:
        del objs.get


@case("cmds-getitem", "instance-attribute")
def _(interp, monkeypatch, seen):
    cmds = interp.global_ns.cmds
    cmds.byref = lambda name: seen.append(name) or "mine"
    try:
        assert cmds["set"] == "mine"
    finally:
        del cmds.byref


# ---------------------------------------------------------------------------
# TclCommand(...) and Vox_Code(...) built directly


@case("command-new", "class-attribute")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(TclCommand, "__init__", recording(seen, TclCommand.__init__))
    assert str(TclCommand("::set", tcl=interp)) == "::set"
    assert str(interp.global_ns.cmds["set"]) == "::set"


@case("command-new", "new")
def _(interp, monkeypatch, seen):
    in_subprocess(
        "from velmor.tcl.interpreter import Interpreter\n"
        "from velmor.tcl.namespace import TclCommand\n"
        "seen = []\n"
        "def new(cls, *args, **kwargs):\n"
        "    seen.append(args)\n"
        "    return object.__new__(cls)\n"
        "TclCommand.__new__ = new\n"
        "it = Interpreter()\n"
        "assert str(TclCommand('::set', tcl=it)) == '::set' and seen, seen\n"
    )
    seen.append(True)


@case("vox-code", "class-attribute")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(Vox_Code, "__init__", recording(seen, Vox_Code.__init__))
    assert interp.vox.set("v", 5) == 5


@case("vox-code", "new")
def _(interp, monkeypatch, seen):
    in_subprocess(
        "from velmor.tcl.interpreter import Interpreter\n"
        "from velmor.tcl.vox import Vox_Code\n"
        "seen = []\n"
        "def new(cls, *args, **kwargs):\n"
        "    seen.append(args)\n"
        "    return object.__new__(cls)\n"
        "Vox_Code.__new__ = new\n"
        "it = Interpreter()\n"
        "assert it.vox.set('v', 5) == 5 and seen, seen\n"
    )
    seen.append(True)


@case("vox-code", "subclass")
def _(interp, monkeypatch, seen):
    class Mine(Vox_Code):
        def __init__(self, *cmd, tcl):
            seen.append(cmd)
            super().__init__(*cmd, tcl=tcl)

    monkeypatch.setattr(vox_mod, "Vox_Code", Mine)
    assert interp.vox.set("v", 5) == 5


@case("vox-call", "class-attribute")
def _(interp, monkeypatch, seen):
    # Assigning __call__ puts Python's own call slot back for good: a process
    # of its own keeps the rest of the run on the stock slot.
    in_subprocess(
        "from velmor.tcl.interpreter import Interpreter\n"
        "from velmor.tcl.vox import Vox_Code\n"
        "seen = []\n"
        "stock = Vox_Code.__call__\n"
        "def call(self, *args, **kwargs):\n"
        "    seen.append(args)\n"
        "    return stock(self, *args, **kwargs)\n"
        "Vox_Code.__call__ = call\n"
        "it = Interpreter()\n"
        "assert it.vox.set('v', 5) == 5 and seen == [('v', 5)], seen\n"
    )
    seen.append(True)


@case("vox-call", "subclass")
def _(interp, monkeypatch, seen):
    class Mine(Vox_Code):
        def __call__(self, *args, **kwargs):
            seen.append(args)
            return super().__call__(*args, **kwargs)

    assert Mine("set", tcl=interp)("v", 6) == 6
    assert seen == [("v", 6)]


# ---------------------------------------------------------------------------
# Methods of an Interpreter called from C without a bound method (its class
# has a __getattr__ hook): a proxy call casting its result


@case("interp-method", "instance-attribute")
def _(interp, monkeypatch, seen):
    interp.cast_any = lambda value: seen.append(value) or "mine"
    assert interp.vox.set("v", 5) == "mine"


@case("interp-method", "class-attribute")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(Interpreter, "cast_any", lambda self, value: seen.append(value) or "mine")
    assert interp.vox.set("v", 5) == "mine"


@case("interp-method", "subclass")
def _(interp, monkeypatch, seen):
    class Mine(Interpreter):
        def cast_any(self, value):
            seen.append(value)
            return "mine"

    assert Mine().vox.set("v", 5) == "mine"


@case("interp-method", "getattribute")
def _(interp, monkeypatch, seen):
    class Mine(Interpreter):
        def __getattribute__(self, name):
            if name == "cast_any":
                seen.append(name)
                return lambda value: "mine"
            return super().__getattribute__(name)

    assert Mine().vox.set("v", 5) == "mine"


@case("interp-method", "getattr-fallback")
def _(interp, monkeypatch, seen):
    # The class attribute raises AttributeError: the lookup falls through to
    # __getattr__.
    class Mine(Interpreter):
        @property
        def cast_any(self):
            raise AttributeError("cast_any")

        def __getattr__(self, name):
            if name == "cast_any":
                seen.append(name)
                return lambda value: "mine"
            return super().__getattr__(name)

    assert Mine().vox.set("v", 5) == "mine"


# ---------------------------------------------------------------------------
# NestMap's dict-level shortcuts


@case("nestmap-update", "class-attribute")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(NestMap, "__setitem__", recording(seen, NestMap.__setitem__))
    nm = NestMap()
    nm.update({"a.b": 1})
    assert nm["a"]["b"] == 1


@case("nestmap-update", "subclass")
def _(interp, monkeypatch, seen):
    class Mine(NestMap):
        def __setitem__(self, key, value):
            seen.append(key)
            super().__setitem__(key, value)

    Mine().update({"a": 1})


@case("nestmap-init", "class-attribute")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(NestMap, "__setitem__", recording(seen, NestMap.__setitem__))
    assert NestMap({"a": 1})["a"] == 1


@case("nestmap-get", "class-attribute")
def _(interp, monkeypatch, seen):
    monkeypatch.setattr(NestMap, "__getitem__", recording(seen, NestMap.__getitem__))
    nm = NestMap({"a": {"b": 1}})
    nm.update(a=NestMap({"c": 2}))  # merges through self["a"]
    assert nm["a"]["c"] == 2


# ---------------------------------------------------------------------------
# listify() of a class it has seen fall through to str()


class Plain:
    def __str__(self):
        return "plain"


@case("listify-plain", "class-attribute")
def _(interp, monkeypatch, seen):
    assert listify(Plain()) == "plain"
    monkeypatch.setattr(Plain, "__listify__", lambda self: seen.append(1) or "mine", raising=False)
    assert listify(Plain()) == "mine"


@case("listify-plain", "instance-attribute")
def _(interp, monkeypatch, seen):
    assert listify(Plain()) == "plain"
    obj = Plain()
    obj.__listify__ = lambda: seen.append(1) or "mine"
    assert listify(obj) == "mine"


@case("listify-plain", "getattr")
def _(interp, monkeypatch, seen):
    assert listify(Plain()) == "plain"

    def getattr_hook(self, name):
        if name == "__listify__":
            seen.append(name)
            return lambda: "mine"
        raise AttributeError(name)

    monkeypatch.setattr(Plain, "__getattr__", getattr_hook, raising=False)
    assert listify(Plain()) == "mine"


# ---------------------------------------------------------------------------
# `name in procs` / `name in cmds` without building the TclCommand


@case("view-contains", "subclass-exists")
def _(interp, monkeypatch, seen):
    from velmor.tcl.namespace import TclNamespace

    class Mine(TclNamespace.ProcsView):
        def exists(self, cmd_name):
            seen.append(cmd_name)
            return True

    assert "nosuch" in Mine(interp.global_ns)


@case("view-contains", "class-attribute-byref")
def _(interp, monkeypatch, seen):
    from velmor.tcl.namespace import TclNamespace

    stock = TclNamespace.CommandsView.byref
    monkeypatch.setattr(TclNamespace.CommandsView, "byref",
                        lambda self, name: seen.append(name) or stock(self, "set"))
    assert "nosuch" in interp.global_ns.cmds


@case("view-contains", "instance-attribute")
def _(interp, monkeypatch, seen):
    procs = interp.global_ns.procs
    procs.exists = lambda name: seen.append(name) or True
    assert "nosuch" in procs


@case("view-contains", "command-class")
def _(interp, monkeypatch, seen):
    from velmor.tcl.namespace import TclCommand

    monkeypatch.setattr(TclCommand, "is_proc", lambda self: seen.append(self) or True)
    assert "nosuch" in interp.global_ns.procs


# ---------------------------------------------------------------------------
# Temporary objects reaching the next class as super() would


class _NextContext:
    seen = None

    def __enter__(self):
        self.seen.append("enter")
        return "next"

    def __exit__(self, *exc_info):
        self.seen.append("exit")
        return False


@case("temp-super", "next-class-context")
def _(interp, monkeypatch, seen):
    from velmor.tcl.namespace import TempTclVariable

    class Mine(TempTclVariable, _NextContext):
        pass

    monkeypatch.setattr(_NextContext, "seen", seen)
    with Mine(tcl=interp) as value:
        assert value == "next"
    assert seen == ["enter", "exit"]


@case("temp-super", "class-attribute")
def _(interp, monkeypatch, seen):
    from velmor.tcl.namespace import TempTclVariable

    stock = TclVariable.__init__

    def init(self, *args, **kwargs):
        seen.append(args)
        stock(self, *args, **kwargs)

    monkeypatch.setattr(TclVariable, "__init__", init)
    assert TempTclVariable(tcl=interp).var_name == seen[0][0]


@case("temp-name", "subclass-name")
def _(interp, monkeypatch, seen):
    from velmor.tcl.namespace import TempTclVariable

    class Named(str):
        def __format__(self, fmt):
            seen.append(fmt)
            return "formatted"

    class Mine(TempTclVariable):
        pass

    Mine.__name__ = Named("Mine")
    assert Mine(tcl=interp).var_name.startswith("::__velmor__formatted_")


@pytest.mark.parametrize("name", sorted(CASES), ids=sorted(CASES))
def test_override_runs(name, interp, monkeypatch):
    seen = []
    CASES[name](interp, monkeypatch, seen)
    assert seen, f"{name}: the override did not run"
