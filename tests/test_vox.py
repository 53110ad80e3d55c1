"""Quick-call proxy: Vox and Vox_Code."""
import copy
import functools
import gc
import weakref

import pytest
from tkinter import TclError

from velmor.tcl.interpreter import Interpreter
from velmor.tcl.nestmap import NestMap
from velmor.tcl.vox import Vox, Vox_Code


def newest(history):
    return history.__history__[-1].api


def test_module_face():
    import velmor.tcl.vox as vox

    assert [n for n in vars(vox) if not n.startswith("__")] == [
        "weakref", "TclError", "listify", "Vox", "Vox_Code"]
    assert Vox.__bases__ == (object,) and Vox_Code.__bases__ == (object,)


def test_calls_and_casts(interp):
    assert interp.vox.set("v", 5) == 5
    assert interp.tk.eval("set v") == "5"
    assert interp.vox.set("v", 5, cast_=False) == "5"
    assert interp.vox.string("length", "abc") == 3
    assert interp.vox.llength([1, 2, 3]) == 3
    assert interp.vox.set("f", "1.5") == 1.5
    assert interp.vox.set("s", "hello world") == "hello world"
    assert interp.vox.list("a b", 1) == ("a b", "1")
    # cast_=False gives Tcl text, also for results that tkinter hands back as tuples
    assert interp.vox.list("a b", 1, cast_=False) == "{a b} 1"
    assert interp.vox.set("e", "", cast_=0) == ""
    kl = interp.vox.set("k", NestMap(a="1"))
    assert type(kl) is NestMap and kl["a"] == "1"


def test_name_chain_and_options(interp):
    interp.tk.eval("namespace eval ::ns_a::ns_b {proc procname {args} {return $args}}")
    code = interp.vox.ns_a.ns_b.procname
    assert code.cmd == ["ns_a", "ns_b", "procname"]
    text = "<tcl.Vox magic, referring Tcl code ::ns_a::ns_b::procname>"
    assert str(code) == text and repr(code) == text
    assert code("x", mode="fast", cast_=False) == "x -mode fast"
    interp.tk.eval("proc myproc {args} {return $args}")
    assert interp.vox.myproc(1, 2, b=3, a=4, cast_=False) == "1 2 -b 3 -a 4"
    assert newest(interp.history) == "myproc 1 2 -b 3 -a 4"
    # the chain names string::length, not the ensemble's subcommand
    with pytest.raises(TclError, match='invalid command name "string::length"'):
        interp.vox.string.length("abc")


def test_history_gets_word_list(interp):
    seen = []
    interp.history.append = seen.append
    interp.vox.list("w", [1, 2], None, True)
    assert seen == [["list", "w", "1 2", "", "true"]]
    assert type(seen[0]) is list


def test_vox_code_is_mutable(interp):
    c = interp.vox.a
    assert c.x is c
    c.y
    assert c.cmd == ["a", "x", "y"]
    assert c.tcl is interp.vox.tcl


def test_error_is_errorinfo(interp):
    interp.tk.eval("proc failing {} {error boom}")
    with pytest.raises(TclError) as err:
        interp.vox.failing()
    exc = err.value
    assert str(exc).startswith("boom\n    while executing")
    assert str(exc) == interp.get_errorInfo()
    assert exc.__cause__ is None and exc.__context__ is None and exc.__suppress_context__
    assert newest(interp.history) == "failing"


def test_calling_vox_itself(interp):
    n = len(interp.history.__history__)
    with pytest.raises(TclError) as err:
        interp.vox(1, 2, key=3)
    assert str(err.value) == 'invalid command name ""'
    assert len(interp.history.__history__) == n


def test_dunder_probes_do_not_extend(interp):
    code = interp.vox.abc
    assert not hasattr(code, "__array__")
    assert not hasattr(interp.vox, "__array__")
    assert code.cmd == ["abc"]
    clone = copy.copy(code)
    assert clone.cmd == ["abc"] and clone is not code


def test_construction():
    with pytest.raises(TypeError):
        Vox()
    with pytest.raises(TypeError):
        Vox_Code("a")
    c = Vox_Code("a", "b", tcl=None)
    assert c.cmd == ["a", "b"] and c.tcl is None


def test_weak_proxy():
    it = Interpreter()
    vox = it.vox
    assert type(vox.tcl) is weakref.ProxyType
    code = vox.set
    del it
    gc.collect()
    with pytest.raises(ReferenceError):
        vox.tcl.tk
    with pytest.raises(ReferenceError):
        code("x", 1)
    with pytest.raises(ReferenceError):
        vox.set("x", 1)


def test_vox_code_class_looked_up_at_call_time(interp, monkeypatch):
    import velmor.tcl.vox as voxmod

    class Mine(Vox_Code):
        def __init__(self, *cmd, tcl):
            super().__init__("mine", *cmd, tcl=tcl)

    monkeypatch.setattr(voxmod, "Vox_Code", Mine)
    code = interp.vox.abc
    assert type(code) is Mine and code.cmd == ["mine", "abc"]


from hypothesis import given, settings, strategies as st  # noqa: E402

word = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=12)


@settings(deadline=None)
@given(words=st.lists(st.one_of(word, st.lists(word, max_size=3)), max_size=6))
def test_words_reach_tcl_unchanged(words):
    from velmor.tcl.interpreter import _global_interpreter as interp
    from velmor.tcl.listify import listify

    text = interp.vox.list(*words, cast_=False)
    assert text == listify(words)
    assert interp.cast_list(text) == tuple(listify(w) for w in words)


def test_byte_array_results_are_text(interp):
    # Tcl's byte arrays reach Python as bytes; the proxy gives Tcl's text of them
    assert interp.vox.binary("encode", "base64", "hello") == "aGVsbG8="
    assert interp.vox.binary("encode", "base64", "hello", cast_=False) == "aGVsbG8="
    assert interp.vox.binary("format", "a*", "x y", cast_=False) == "x y"
    assert interp.vox.binary("format", "c", 200, cast_=False) == "\u00c8"
    long = interp.vox.binary("encode", "base64", "x" * 200)
    assert isinstance(long, str) and long == interp.tk.eval("binary encode base64 [string repeat x 200]")
    # a list holding a byte array comes back as a tuple with bytes in it
    script = 'list [binary format a* "a b"] c'
    assert interp.tk.call("eval", script) == (b"a b", "c")
    assert interp.vox.eval(script, cast_=False) == "{a b} c"
    assert interp.vox.eval(script) == ("a b", "c")


# The call slot against the stock __call__ called as a plain function.
CALLS = [
    (("set", "vc", "a b"), {}),
    (("set", "vc", 7), {}),
    (("set", "vc", 7), {"cast_": False}),
    (("set", "vc", "{k 1} {j 2}"), {"cast_": True}),
    (("lsort",), {"decreasing": ("b", "a", "c")}),
    (("string", "repeat", "ab", 3), {}),
    (("set",), {}),
    (("nosuchcommand", 1), {}),
    (("set", "vc"), {"cast_": 0}),
]


def outcome(fn, *args, **kwargs):
    try:
        return "ok", fn(*args, **kwargs)
    except Exception as exc:  # the same exception either way
        return type(exc).__name__, str(exc)


@pytest.mark.parametrize("words, kwargs", CALLS, ids=ascii)
def test_call_slot_matches_the_stock_function(interp, words, kwargs):
    stock = Vox_Code.__call__
    head, *args = words
    kw = dict(kwargs)
    fast = outcome(Vox_Code(head, tcl=interp), *args, **kw)
    assert kw == kwargs  # the caller's keywords are left alone
    written = outcome(stock, Vox_Code(head, tcl=interp), *args, **kwargs)
    assert fast == written
    assert fast[0] == "ok" or fast[0] == "TclError"
    # A call through a partial hands its keyword dict over as it is.
    part = functools.partial(Vox_Code(head, tcl=interp), *args, **kwargs)
    assert outcome(part) == written and part.keywords == kwargs
