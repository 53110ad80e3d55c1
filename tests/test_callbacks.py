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


# ---------------------------------------------------------------------------
# Failures inside callbacks


class DiskFull(Exception):
    pass


def raise_disk_full(*args):
    raise DiskFull("no space left on " + " ".join(args))


def test_failure_message_and_code_in_tcl(interp):
    interp.create_callback(raise_disk_full)
    got = interp.tk.eval("list [catch {raise_disk_full sda 1} msg opts] $msg [dict get $opts -errorcode]")
    assert interp.cast_list(got) == (
        "1",
        "DiskFull: no space left on sda 1",
        "PYTHON DiskFull {no space left on sda 1}",
    )


@pytest.mark.parametrize(
    "path",
    [
        lambda t: t.eval("raise_disk_full sda"),
        lambda t: t.vox.raise_disk_full("sda"),
        lambda t: TclCommand("raise_disk_full", tcl=t)("sda"),
        lambda t: TclCommand("raise_disk_full", tcl=t).eval("sda"),
    ],
    ids=["eval", "proxy", "command-call", "command-eval"],
)
def test_failure_surfaces_as_cause(interp, path):
    interp.create_callback(raise_disk_full)
    with pytest.raises(TclError) as info:
        path(interp)
    err = info.value
    assert err.result == "DiskFull: no space left on sda"
    assert err.errorcode == ("PYTHON", "DiskFull", "no space left on sda")
    cause = err.__cause__
    assert isinstance(cause, DiskFull)
    frames = []
    tb = cause.__traceback__
    while tb is not None:
        frames.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert frames[-1] == "raise_disk_full"


def test_createcommand_failure(interp):
    TclCommand("::direct", tcl=interp).createcommand(raise_disk_full)
    with pytest.raises(TclError) as info:
        interp.eval("direct x")
    assert isinstance(info.value.__cause__, DiskFull)
    assert info.value.errorcode == ("PYTHON", "DiskFull", "no space left on x")


def test_empty_message(interp):
    def fails():
        raise AssertionError()

    interp.create_callback(fails)
    with pytest.raises(TclError) as info:
        interp.eval("fails")
    assert info.value.result == "AssertionError"
    assert info.value.errorcode == ("PYTHON", "AssertionError", "")
    assert isinstance(info.value.__cause__, AssertionError)


def test_nothing_left_behind(interp):
    interp.create_callback(raise_disk_full)
    assert interp.eval("catch raise_disk_full") == "1"
    with pytest.raises(TclError) as info:
        interp.eval("error unrelated")
    assert info.value.__cause__ is None
    with pytest.raises(TclError) as info:
        interp.eval("raise_disk_full")
    assert isinstance(info.value.__cause__, DiskFull)
    with pytest.raises(TclError) as info:
        interp.eval("error {DiskFull: no space left on } {} {PYTHON DiskFull {no space left on }}")
    assert info.value.__cause__ is None  # same text, but not the callback's error
    interp.tk.mainloop()  # tkinter holds no parked exception


def test_tcl_rethrow_keeps_cause(interp):
    interp.create_callback(raise_disk_full)
    with pytest.raises(TclError) as info:
        interp.eval("catch raise_disk_full msg opts; return -options $opts $msg")
    assert isinstance(info.value.__cause__, DiskFull)


# Tcl -> outer (Python) -> Tcl -> inner (Python, raises), with or without a
# `catch` on the way: (outer's script, what the top-level eval gives).
NESTING = [
    ("no-catch", "inner", "raises"),
    ("catch-in-tcl", "catch inner", "1"),
    ("catch-then-error", "catch inner; error after", "raises-plain"),
]


@pytest.mark.parametrize("script, outcome", [n[1:] for n in NESTING], ids=[n[0] for n in NESTING])
@pytest.mark.parametrize("python_catch", [False, True], ids=["python-passes", "python-catches"])
def test_nested(interp, script, outcome, python_catch):
    def inner():
        raise DiskFull("inner")

    def outer():
        if not python_catch:
            return interp.eval(script)
        try:
            return interp.eval(script)
        except TclError as exc:
            return "caught " + ascii(type(exc.__cause__).__name__)

    interp.create_callback(inner)
    interp.create_callback(outer)
    if python_catch and outcome != "1":
        expected = "caught " + ascii("DiskFull" if outcome == "raises" else "NoneType")
        assert interp.eval("outer") == expected
    elif outcome == "1":
        assert interp.eval("outer") == "1"
    else:
        with pytest.raises(TclError) as info:
            interp.eval("outer")
        err = info.value
        if outcome == "raises":
            # The same Tcl error at every level, and the whole chain of causes.
            assert err.errorcode == ("PYTHON", "DiskFull", "inner")
            assert err.result == "DiskFull: inner"
            assert isinstance(err.__cause__, TclError)
            assert isinstance(err.__cause__.__cause__, DiskFull)
        else:
            assert err.errorcode == ("NONE",)
            assert isinstance(err.__cause__, TclError) and err.__cause__.__cause__ is None
    assert interp.eval("catch {error unrelated}") == "1"
    interp.tk.mainloop()


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("nested", [False, True], ids=["direct", "nested"])
def test_interrupts_propagate(interp, exc_type, nested):
    def stop():
        raise exc_type()

    def outer():
        return interp.eval("stop")

    interp.create_callback(stop)
    interp.create_callback(outer)
    with pytest.raises(exc_type):
        interp.eval("outer" if nested else "stop")
    assert interp.eval("set after 1") == "1"
    interp.tk.mainloop()


def test_return_values_unchanged(interp):
    interp.create_callback(lambda: ("a b", 2), cmd_name="pair")
    assert interp.eval("llength [pair]") == "2"
    interp.create_callback(lambda: None, cmd_name="nothing")
    assert interp.eval("nothing") == "None"
