"""Python callbacks registered as Tcl commands."""
import pytest
from tkinter import TclError

from velmor.tcl.interpreter import Interpreter
from velmor.tcl.namespace import TclCommand


def check(*args):
    return "-".join(args)


class Holder:
    def method(self, a):
        return a.upper()


class CallableThing:
    def __call__(self, *args):
        return len(args)


def test_generate_name():
    gen = Interpreter.generate_callback_cmd_name
    assert gen(check) == "check"
    assert gen(check, mangle_cmd_name=True) == f"{id(check)}_check"
    h = Holder()
    assert gen(h.method) == "method"
    thing = CallableThing()
    assert gen(thing) == f"{id(thing)}_"
    assert gen(lambda: 0) == "<lambda>"


def test_create_call_remove(interp):
    calls = []

    def f(*args):
        calls.append(args)
        return 42

    f.__name__ = "check"
    cmd = interp.create_callback(f)
    assert str(cmd) == "::check"
    assert list(interp.__callbacks__) == [str(cmd)] and interp.__callbacks__[str(cmd)] is f
    assert interp.tk.eval("check a {b c}") == "42"
    assert calls == [("a", "b c")]
    assert interp.remove_callback(f) is None
    assert interp.__callbacks__ == {}
    assert interp.tk.eval("info commands ::check") == ""


@pytest.mark.parametrize("how", ["command", "function", "name", "qualified-name"])
def test_remove_by(interp, how):
    cmd = interp.create_callback(check)
    arg = {"command": cmd, "function": check, "name": "check", "qualified-name": "::check"}[how]
    assert interp.remove_callback(arg) is None
    assert interp.tk.eval("info commands ::check") == ""
    with pytest.raises(ValueError) as err:
        interp.remove_callback(arg)
    assert str(err.value) == "No callback in this interpreter named '::check'"


def test_explicit_name_not_removable_by_function(interp):
    interp.create_callback(check, cmd_name="other")
    with pytest.raises(ValueError, match="named '::check'"):
        interp.remove_callback(check)
    assert interp.tk.eval("other 1 2") == "1-2"
    interp.remove_callback("other")


def test_force_over_puts(interp):
    with pytest.raises(ValueError) as err:
        interp.create_callback(check, cmd_name="puts")
    assert str(err.value) == "Cannot create command '::puts': command already exists"
    assert interp.__callbacks__ == {}
    lines = []
    interp.create_callback(lines.append, cmd_name="puts", force=True)
    assert interp.tk.eval("info commands ::hobnail::_cbBkup::puts") == "::hobnail::_cbBkup::puts"
    interp.tk.eval("puts hello")
    assert lines == ["hello"]
    restored = interp.remove_callback("puts")
    assert isinstance(restored, TclCommand)
    assert str(restored) == "::puts"  # the restored command, under its own name again
    assert restored.exists()
    assert interp.tk.eval("info commands ::hobnail::_cbBkup::puts") == ""
    assert interp.tk.eval("info commands ::puts") == "::puts"
    interp.tk.eval("puts -nonewline {}")  # the real puts is back


def test_force_over_callback(interp):
    interp.create_callback(lambda *a: "first", cmd_name="twice")
    interp.create_callback(lambda *a: "second", cmd_name="twice", force=True)
    assert interp.tk.eval("twice") == "second"
    restored = interp.remove_callback("twice")
    assert restored is not None
    assert interp.tk.eval("twice") == "first"


def test_name_with_space(interp):
    cmd = interp.create_callback(check, cmd_name="my check")
    assert list(interp.__callbacks__) == ["::my check"]
    assert interp.tk.call("my check", "a", "b") == "a-b"
    interp.tk.eval("proc {other one} {} {return orig}")
    interp.create_callback(check, cmd_name="other one", force=True)
    assert interp.tk.call("other one", "x") == "x"
    assert interp.remove_callback("other one") is not None
    assert interp.tk.call("other one") == "orig"
    assert interp.remove_callback(cmd) is None
    assert interp.tk.eval("info commands {::my check}") == ""


def test_callback_calls_back_into_interpreter(interp):
    def outer(n):
        # Tcl -> Python -> Tcl -> Python
        return interp.eval(f"inner {int(n) + 1}") + "!"

    def inner(n):
        return str(interp.vox.expr(f"{n} * 10"))

    interp.create_callback(outer)
    interp.create_callback(inner)
    assert interp.eval("outer 1") == "20!"
    assert interp.eval("set r [outer 4]; set r") == "50!"


def test_callback_error_reaches_tcl(interp):
    def bad(*args):
        raise RuntimeError("bad callback")

    interp.create_callback(bad)
    with pytest.raises(TclError):
        interp.eval("bad")
    assert interp.eval("catch bad") == "1"
