"""Interpreter.close(), context management, and what happens to everything bound
to an interpreter once it is closed or gone."""

import gc
import sys
import threading
import weakref

import pytest
import tkinter

from velmor.tcl.interpreter import Interpreter
from velmor.tcl.namespace import (
    TclArrayVariable,
    TclCommand,
    TclNamespace,
    TclVariable,
    TempTclCommand,
)

CLOSED = "the Interpreter is closed"
GONE = "the Interpreter this object belongs to no longer exists; keep a reference to it"


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


# ---------------------------------------------------------------------------
# close()


def test_close_deletes_commands_callbacks_and_registry():
    it = Interpreter()

    def check(*args):
        return "x"

    ref = weakref.ref(check)
    it.create_callback(check)
    it.global_ns.cmds.createcommand("other", lambda: 1)
    assert it.eval("check") == "x"
    app = it.tk
    it.close()
    assert it.__callbacks__ == {}
    del check
    gc.collect()
    assert ref() is None
    # tkinter's own object is left with a deleted interpreter: Tcl's error.
    with pytest.raises(tkinter.TclError, match="deleted interpreter"):
        app.call("set", "x", "1")


def test_close_twice_is_harmless():
    it = Interpreter()
    it.close()
    it.close()
    assert repr(it.tk) == "<closed Tcl interpreter>"


def test_close_closes_channels(tmp_path):
    path = tmp_path / "out.txt"
    it = Interpreter()
    it.eval(f"set f [open {{{path}}} w]; fconfigure $f -buffering full; puts -nonewline $f data")
    assert path.read_text() == ""  # still in the channel's buffer
    it.close()
    assert path.read_text() == "data"


def test_close_while_another_holder_keeps_the_application_object():
    it = Interpreter()
    app = it.tk
    it.eval("set x 1")
    it.close()
    with pytest.raises(tkinter.TclError):
        app.eval("set x")
    del it
    gc.collect()
    with pytest.raises(tkinter.TclError):
        app.call("info", "commands")
    del app  # tkinter's deallocation of a closed application object
    gc.collect()


USES = {
    "eval": lambda it, keep: it.eval("set x"),
    "eval-typecast": lambda it, keep: it.eval("expr 1", typecast=True),
    "proxy": lambda it, keep: it.vox.set("x", 1),
    "kept-proxy-code": lambda it, keep: keep["code"](),
    "vars-get": lambda it, keep: it.vars["x"],
    "vars-set": lambda it, keep: it.vars.__setitem__("x", 1),
    "objs-get": lambda it, keep: it.objs["x"],
    "get_var": lambda it, keep: it.get_var("x"),
    "set_var": lambda it, keep: it.set_var("x", 1),
    "get_int": lambda it, keep: it.get_int("x"),
    "cast_boolean": lambda it, keep: it.cast_boolean("yes"),
    "cast_any": lambda it, keep: it.cast_any("12"),
    "create_callback": lambda it, keep: it.create_callback(lambda: 1, "cb2"),
    "delegated-call": lambda it, keep: it.call("set", "x"),
    "variable": lambda it, keep: keep["var"].get(),
    "array": lambda it, keep: keep["arr"].array_get(),
    "namespace": lambda it, keep: keep["ns"].exists(),
    "command": lambda it, keep: keep["cmd"](),
    "commands-view": lambda it, keep: it.global_ns.cmds["set"].exists(),
}


@pytest.mark.parametrize("use", list(USES), ids=list(USES))
def test_every_use_after_close_says_it_is_closed(use):
    it = Interpreter()
    it.eval("set x 1; array set a {k v}; namespace eval ::n {}")
    keep = {
        "var": TclVariable("x", tcl=it),
        "arr": TclArrayVariable("a", tcl=it),
        "ns": TclNamespace("::n", tcl=it),
        "cmd": TclCommand("::set", "x", tcl=it),
        "code": it.vox.info,
    }
    it.close()
    with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
        USES[use](it, keep)


def test_with_block_closes_on_exit():
    with Interpreter() as tcl:
        assert tcl.eval("expr 1+1") == "2"
    with pytest.raises(RuntimeError, match=CLOSED):
        tcl.eval("set x")


def test_with_block_closes_and_propagates_an_exception():
    with pytest.raises(KeyError):
        with Interpreter() as tcl:
            raise KeyError("inside")
    with pytest.raises(RuntimeError, match=CLOSED):
        tcl.eval("set x")


def test_temporary_command_collected_after_close_says_nothing(unraisable):
    it = Interpreter()
    cmd = TempTclCommand(lambda: "r", tcl=it)
    it.close()
    del cmd
    gc.collect()
    assert unraisable == []


def test_close_from_inside_a_callback():
    it = Interpreter()
    seen = []

    def closer():
        it.close()
        seen.append("closed")
        return "done"

    it.create_callback(closer)
    assert it.eval("closer") == "done"
    assert seen == ["closed"]
    with pytest.raises(RuntimeError, match=CLOSED):
        it.eval("set x")


# ---------------------------------------------------------------------------
# Objects that outlive their interpreter


OUTLIVING = {
    "variable": lambda it: TclVariable("x", tcl=it).get,
    "array": lambda it: TclArrayVariable("a", tcl=it).array_get,
    "namespace": lambda it: TclNamespace("::", tcl=it).children,
    "command": lambda it: TclCommand("::set", "x", tcl=it),
    "vars-view": lambda it: (lambda view=it.global_ns.vars: view["x"]),
    "commands-view": lambda it: (lambda view=it.global_ns.cmds: view["set"].exists()),
    "proxy-code": lambda it: (lambda code=it.vox.info: code("exists", "x")),
}


@pytest.mark.parametrize("kind", list(OUTLIVING), ids=list(OUTLIVING))
def test_objects_outliving_their_interpreter_raise_reference_error(kind):
    it = Interpreter()
    it.eval("set x 1; array set a {k v}")
    use = OUTLIVING[kind](it)
    del it
    gc.collect()
    with pytest.raises(ReferenceError) as e:
        use()
    assert str(e.value) == GONE


def test_temporary_command_collected_after_its_interpreter_says_nothing(unraisable):
    it = Interpreter()
    cmd = TempTclCommand(lambda: "r", tcl=it)
    del it
    gc.collect()
    del cmd
    gc.collect()
    assert unraisable == []


# ---------------------------------------------------------------------------
# Dropping an interpreter


@pytest.mark.parametrize("refers_back", [False, True], ids=["plain-callback", "callback-refers-to-interp"])
def test_dropped_interpreter_releases_its_callbacks(refers_back):
    it = Interpreter()
    if refers_back:
        def cb(*args, it=it):
            return it.eval("set ::y 2")
    else:
        def cb(*args):
            return "r"
    it.create_callback(cb, "cb")
    it.eval("cb")
    ref = weakref.ref(cb)
    interp_ref = weakref.ref(it)
    del cb, it
    gc.collect()
    assert interp_ref() is None
    assert ref() is None


def test_interpreter_dropped_inside_its_own_callback():
    holder = [Interpreter()]
    app = holder[0].tk

    def drop():
        holder.clear()
        gc.collect()
        return "dropped"

    holder[0].create_callback(drop)
    assert app.call("drop") == "dropped"
    with pytest.raises(tkinter.TclError, match="invalid command name"):
        app.call("drop")
    del app
    gc.collect()


def test_dropped_interpreters_with_callbacks_do_not_grow_memory():
    def batch(n):
        for _ in range(n):
            it = Interpreter()
            it.create_callback(lambda *a, it=it: it.eval("set x 1"), "cb")
            it.eval("cb")
            del it
        gc.collect()

    batch(20)
    before = rss_mb()
    batch(200)
    # Each interpreter kept alive costs close to 1 MB.
    assert rss_mb() - before < 30


def test_interpreter_churn_does_not_grow_memory():
    def churn(n):
        for i in range(n):
            it = Interpreter()
            it.eval(f"set x {i}")
            it.vox.set("y", i)
            del it
        gc.collect()

    churn(50)
    before = rss_mb()
    churn(1000)
    assert rss_mb() - before < 30


def collect_on_another_thread():
    gc.disable()  # the collection must happen on the other thread
    try:
        worker = threading.Thread(target=gc.collect)
        worker.start()
        worker.join()
    finally:
        gc.enable()


@pytest.mark.parametrize("callbacks", [0, 1, 3], ids=["no-callback", "one-callback", "three-callbacks"])
def test_cycle_collected_on_another_thread_is_closed_by_its_owner(unraisable, callbacks):
    it = Interpreter()
    it.me = it  # only the collector frees it
    names = [f"cb{i}" for i in range(callbacks)]
    for name in names:
        it.create_callback(lambda *a, it=it: it.eval("set x 1"), name)
    # Held here only where its commands hold it anyway: tkinter's own
    # deallocation must not happen on the other thread.
    app = it.tk if names else None
    ref = weakref.ref(it)
    del it
    collect_on_another_thread()
    assert ref() is None
    # Its commands are deleted by this thread, on its next call into Tcl.
    with Interpreter() as other:
        other.eval("set y 1")
    if names:
        assert app.call("info", "commands", "cb*") == ""
    assert unraisable == []


def test_interpreter_collected_on_another_thread_says_nothing(unraisable):
    box = [Interpreter()]
    box[0].create_callback(lambda: 1, "cb")

    def drop():
        box.clear()
        gc.collect()

    worker = threading.Thread(target=drop)
    worker.start()
    worker.join()
    gc.collect()
    assert unraisable == []


def held(it):
    """Whether this thread keeps `it`'s application (ids: holding one here would count)."""
    from velmor.tcl import internal

    return (it if isinstance(it, int) else id(it.tk)) in internal._held_apps()


def test_application_nothing_else_holds_goes_with_its_interpreter():
    it = Interpreter()
    it.eval("set x 1")
    plain = id(it.tk)
    del it
    it = Interpreter()
    it.create_callback(lambda: it, "cb")  # a cycle
    in_cycle = id(it.tk)
    del it
    gc.collect()
    assert not held(plain) and not held(in_cycle)


@pytest.mark.parametrize("interpreter_in_cycle", [False, True], ids=["dropped", "collected-elsewhere"])
def test_application_kept_in_a_cycle_is_freed_by_its_owner(unraisable, interpreter_in_cycle):
    it = Interpreter()
    if interpreter_in_cycle:
        it.me = it
    cycle = [it.tk]
    cycle.append(cycle)
    app = id(it.tk)
    del it
    if interpreter_in_cycle:
        collect_on_another_thread()
        Interpreter().eval("set y 1")  # the owner takes back what was parked
    assert held(app)
    del cycle
    # Freeing the application here would delete its Tcl interpreter on the
    # wrong thread, which Tcl answers with a panic.
    collect_on_another_thread()
    assert held(app)
    Interpreter().eval("set y 1")
    assert not held(app)
    assert unraisable == []


def test_application_kept_after_its_thread_ended_is_never_freed_elsewhere(unraisable):
    cycle = []

    def work():
        it = Interpreter()
        it.eval("set x 1")
        cycle.append(it.tk)

    worker = threading.Thread(target=work)
    worker.start()
    worker.join()
    cycle.append(cycle)
    del cycle
    gc.collect()
    assert unraisable == []


def test_closed_from_its_own_callback_and_dropped_last_on_another_thread(unraisable):
    it = Interpreter()
    box = [it.tk]
    app = id(it.tk)
    it.create_callback(lambda: it.close(), "cb")
    it.eval("cb")  # running, so its Tcl interpreter cannot be deleted yet
    assert held(app)
    # The other thread's reference is not the last one: no deletion there.
    worker = threading.Thread(target=box.clear)
    worker.start()
    worker.join()
    Interpreter().eval("set y 1")
    assert not held(app)
    assert unraisable == []
