"""TclError fields: result, errorinfo and errorcode of the failing Tcl call, on every path."""
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from tkinter import TclError

from velmor.tcl.namespace import TclCommand, TclNamespace

FAIL = "error {disk full} {while writing block 7} {POSIX ENOSPC {no space left}}"
CODE = ("POSIX", "ENOSPC", "no space left")


def tcl_error(exc):
    """The TclError behind what a path raised: itself, or its cause/context."""
    while exc is not None and not isinstance(exc, TclError):
        exc = exc.__cause__ or exc.__context__
    assert exc is not None, "no TclError in the chain"
    return exc


@pytest.fixture
def failing(interp):
    interp.eval(f"proc fail {{args}} {{{FAIL}}}")
    interp.eval("trace add variable traced {read write} fail")
    return interp


# (path id, how to fail, the exception type the path raises, Tcl's message)
PATHS = [
    ("eval", lambda t: t.eval(FAIL), TclError, "disk full"),
    ("eval-proc", lambda t: t.eval("fail"), TclError, "disk full"),
    ("proxy", lambda t: t.vox.fail(), TclError, "disk full"),
    ("proxy-error", lambda t: t.vox.error("disk full", "while writing block 7", CODE), TclError, "disk full"),
    ("command-call", lambda t: TclCommand("fail", tcl=t)(), TclError, "disk full"),
    ("command-eval", lambda t: TclCommand("fail", tcl=t).eval("x"), TclError, "disk full"),
    ("namespace-eval", lambda t: TclNamespace("::", tcl=t).eval(FAIL), TclError, "disk full"),
    ("namespace-call", lambda t: TclNamespace("::", tcl=t).call("fail"), TclError, "disk full"),
    ("vars-view", lambda t: t.vars["traced"], KeyError, "can't read \"traced\": disk full"),
    ("objs-view", lambda t: t.objs["traced"], KeyError, "can't read \"traced\": disk full"),
    ("get_var", lambda t: t.get_var("traced"), KeyError, "can't read \"traced\": disk full"),
    ("get_int", lambda t: t.get_int("traced"), KeyError, "can't read \"traced\": disk full"),
    ("set_var", lambda t: t.set_var("traced", 1), TclError, "can't set \"traced\": disk full"),
]


@pytest.mark.parametrize("attr", ["type", "result", "errorinfo", "errorcode"])
@pytest.mark.parametrize("how, raised, message", [p[1:] for p in PATHS], ids=[p[0] for p in PATHS])
def test_fields(failing, how, raised, message, attr):
    with pytest.raises(raised) as info:
        how(failing)
    err = tcl_error(info.value)
    trace = failing.tk.globalgetvar("errorInfo")
    if attr == "type":
        assert type(err) is TclError
    elif attr == "result":
        assert err.result == message
    elif attr == "errorinfo":
        assert err.errorinfo == trace
        assert err.errorinfo.startswith("while writing block 7")
    else:
        expected = CODE if message == "disk full" else ("TCL", "READ" if "read" in message else "WRITE", "VARNAME")
        assert err.errorcode == expected
        assert all(type(word) is str for word in err.errorcode)


def test_messages_stay(failing):
    with pytest.raises(TclError) as info:
        failing.eval(FAIL)
    assert str(info.value) == info.value.errorinfo  # eval's message is still the whole trace
    assert info.value.__cause__ is None and info.value.__suppress_context__
    with pytest.raises(TclError) as info:
        TclCommand("fail", tcl=failing)()
    assert str(info.value) == "disk full"  # tkinter's own message


def test_plain_error_has_code_none(interp):
    with pytest.raises(TclError) as info:
        interp.eval("error boom")
    assert info.value.result == "boom"
    assert info.value.errorcode == ("NONE",)
    assert info.value.errorinfo == 'boom\n    while executing\n"error boom"'


def test_unknown_command(interp):
    with pytest.raises(TclError) as info:
        interp.vox.no_such_command()
    assert info.value.result == 'invalid command name "no_such_command"'
    assert info.value.errorcode == ("TCL", "LOOKUP", "COMMAND", "no_such_command")


@pytest.mark.parametrize(
    "method, text, code",
    [
        ("cast_int", "abc", ("TCL", "VALUE", "NUMBER")),
        ("cast_double", "abc", ("TCL", "VALUE", "NUMBER")),
        ("cast_boolean", "abc", ("TCL", "VALUE", "BOOLEAN")),
    ],
)
def test_casts_that_ask_tcl(interp, method, text, code):
    interp.eval("catch {error earlier}")  # an older trace must not leak in
    with pytest.raises(ValueError) as info:
        getattr(interp, method)(text)
    err = tcl_error(info.value)
    assert err.errorcode == code
    assert err.result == err.errorinfo
    assert text in err.result


def test_text_survives(interp):
    with pytest.raises(TclError) as info:
        interp.vox.error("nul\x00 \U0001F600 é", "", ["X", "\x00y"])
    assert info.value.result == "nul\x00 \U0001F600 é"
    assert info.value.errorcode == ("X", "\x00y")



def test_calling_the_proxy_itself(interp):
    with pytest.raises(TclError) as info:
        interp.vox()
    assert (info.value.result, info.value.errorinfo) == ('invalid command name ""',) * 2
    assert info.value.errorcode == ("TCL", "LOOKUP", "COMMAND", "")


text = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(message=text, code=st.lists(text, min_size=1, max_size=4))
def test_fields_round_trip(interp, message, code):
    with pytest.raises(TclError) as info:
        interp.vox.error(message, "", code)
    assert info.value.result == message
    assert info.value.errorcode == tuple(code)
    if all(ord(c) < 0x10000 for c in message + "".join(code)):
        # Beyond the BMP, tkinter's own reading of the trace differs from Tcl's text.
        assert info.value.errorinfo == interp.tk.globalgetvar("errorInfo")
