"""velmor.tcl.internal: list splitting and Tcl_ResetResult through Tcl's stubs table."""
import gc
import os
import subprocess
import sys
import threading
import tkinter
from tkinter import TclError
from types import SimpleNamespace

import _tkinter
import pytest
from hypothesis import given, settings, strategies as st

from velmor.tcl.internal import GetListFromAny, TclDLL
from velmor.tcl.listify import listify


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1 2 3", ("1", "2", "3")),
        ("a {b c} d", ("a", "b c", "d")),
        ("", ()),
        (" \t\n ", ()),
        ('"a b" c', ("a b", "c")),
        ("a\\ b {x\\y}", ("a b", "x\\y")),
        ("{} {{}}", ("", "{}")),
        ("\\u20ac \\x41", ("\u20ac", "A")),
    ],
    ids=["words", "braces", "empty", "white-space", "quotes", "backslashes", "empty-elements", "escapes"],
)
def test_str_splits_into_str_elements(tk, text, expected):
    assert GetListFromAny(text) == expected
    assert GetListFromAny(text) == tk.splitlist(text)


def test_tuple_and_list_pass_through():
    value = ("a b", 1, None)
    assert GetListFromAny(value) is value
    assert GetListFromAny(["a b", 1]) == ("a b", 1)
    assert GetListFromAny(b"a {b c}") == ("a", "b c")


def test_numbers_are_one_element_lists(tk):
    assert GetListFromAny(5) == ("5",)
    assert GetListFromAny(2.5) == ("2.5",)
    tk.eval("set n [expr {6 * 7}]")
    assert GetListFromAny(tk.getvar("n")) == ("42",)


@pytest.mark.parametrize("value", [None, object(), {"a": 1}], ids=["None", "object", "dict"])
def test_other_types_raise_type_error(value):
    with pytest.raises(TypeError, match="GetListFromAny"):
        GetListFromAny(value)


def test_tcl_obj_gives_its_elements(tk):
    obj = tk.call("dict", "create", "k", "v w", "n", "1")
    assert isinstance(obj, _tkinter.Tcl_Obj)
    assert GetListFromAny(obj) == ("k", "v w", "n", "1")
    tk.eval("keylset kl a 1 b.c {x y}")
    keyed = tk.getvar("kl")
    assert isinstance(keyed, _tkinter.Tcl_Obj)
    assert GetListFromAny(keyed) == ("a 1", "b {{c {x y}}}")


@pytest.mark.parametrize(
    "text, message",
    [
        ("{a", "unmatched open brace in list"),
        ('"a', "unmatched open quote in list"),
        ("{a}b", 'list element in braces followed by "b" instead of space'),
        ('"a"b', 'list element in quotes followed by "b" instead of space'),
    ],
    ids=["open-brace", "open-quote", "after-braces", "after-quotes"],
)
def test_malformed_list_raises_tcl_error(tk, text, message):
    with pytest.raises(TclError) as info:
        GetListFromAny(text)
    assert str(info.value) == message
    with pytest.raises(TclError) as tk_info:
        tk.splitlist(text)
    assert str(info.value) == str(tk_info.value)
    # The message interpreter is reset: the next split is unaffected.
    assert GetListFromAny("a b") == ("a", "b")


def test_malformed_tcl_obj_raises_tcl_error(tk):
    # A command name object whose text is no list.
    tk.eval('set c "\\{a"; proc $c {} {}; $c')
    obj = tk.getvar("c")
    assert isinstance(obj, _tkinter.Tcl_Obj) and obj.typename == "cmdName"
    with pytest.raises(TclError, match="^unmatched open brace in list$"):
        GetListFromAny(obj)


def test_error_message_from_another_thread():
    # No interpreter is involved: the message is the same on every thread.
    seen = []

    def work():
        try:
            GetListFromAny("{a")
        except TclError as exc:
            seen.append(str(exc))
        seen.append(GetListFromAny("x {y z}"))

    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    assert seen == ["unmatched open brace in list", ("x", "y z")]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a\x00b c", ("a\x00b", "c")),
        ("{\x00 \x00}", ("\x00 \x00",)),
        ("\\0 \\x00", ("\x00", "\x00")),
        ("\U0001F600 {x \U0001F4A9}", ("\U0001F600", "x \U0001F4A9")),
        ("\\ud83d\\ude00", ("\U0001F600",)),
        ("\u00e9\u20ac\U00010000\U0010FFFF", ("\u00e9\u20ac\U00010000\U0010FFFF",)),
    ],
    ids=["nul", "braced-nul", "escaped-nul", "non-bmp", "escaped-pair", "every-width"],
)
def test_nul_and_non_bmp_characters_survive(text, expected):
    assert GetListFromAny(text) == expected


def test_nul_and_non_bmp_through_tcl_obj(tk):
    # tkinter stores NUL in ASCII text as a raw 0 byte, and non-BMP
    # characters as surrogate pairs: both must come back as written.
    values = ("a\x00b", "\U0001F600 x", "\x00\u20ac\U0001F4A9")
    obj = tk.call("dict", "create", "k", values[0], "m", values[1], "n", values[2])
    assert isinstance(obj, _tkinter.Tcl_Obj)
    assert GetListFromAny(obj) == ("k", values[0], "m", values[1], "n", values[2])
    # Tcl sees the non-BMP character as one surrogate pair (8.6 counts two).
    assert tk.call("string", "length", values[1]) == 4


# Text tkinter can pass to Tcl (no NUL: its splitlist rejects it; no lone surrogates).
tcl_text = st.text(
    alphabet=st.one_of(
        st.sampled_from(list(' {}"\\\t\n;$[]abc')),
        st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"),
    ),
    max_size=30,
)


@pytest.fixture(scope="module")
def raw_tk():
    import tkinter

    return tkinter.Tcl().tk


@settings(deadline=None)
@given(text=tcl_text)
def test_splits_exactly_like_tcl(raw_tk, text):
    tk = raw_tk
    try:
        expected = tk.splitlist(text)
    except TclError as exc:
        with pytest.raises(TclError) as info:
            GetListFromAny(text)
        assert str(info.value) == str(exc)
    else:
        assert GetListFromAny(text) == expected


@settings(deadline=None)
@given(st.lists(st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=8), max_size=6))
def test_listify_round_trip(items):
    assert GetListFromAny(listify(items)) == tuple(items)


def test_reset_result_accepts_interpreters(tk):
    import tkinter

    root = tkinter.Tcl()
    assert TclDLL.Tcl_ResetResult(root) is None
    assert TclDLL.Tcl_ResetResult(root.tk) is None
    assert TclDLL.Tcl_ResetResult(tk) is None
    assert root.eval("expr 1+1") == "2"
    with pytest.raises(TypeError):
        TclDLL.Tcl_ResetResult(object())


class FakeTk(tkinter.Tk):
    def __init__(self, tk):
        self.tk = tk


@pytest.mark.parametrize(
    "make",
    [
        lambda: SimpleNamespace(interpaddr=lambda: 16),
        lambda: SimpleNamespace(tk=SimpleNamespace(interpaddr=lambda: 16)),
        lambda: FakeTk(SimpleNamespace(interpaddr=lambda: 16)),
        lambda: None,
        lambda: 16,
    ],
    ids=["interpaddr", "tk-interpaddr", "Tk-with-fake-tk", "None", "int"],
)
def test_reset_result_refuses_look_alikes(make):
    # Only a real application object is trusted with an address.
    with pytest.raises(TypeError, match="Tcl_ResetResult"):
        TclDLL.Tcl_ResetResult(make())


def test_reset_result_refuses_other_threads(interp):
    interp.tk.eval("catch {error boom}")
    seen = []

    def work():
        try:
            TclDLL.Tcl_ResetResult(interp)
        except RuntimeError as exc:
            seen.append(str(exc))

    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    assert seen == ["Calling Tcl from different apartment"]
    # The owner's interpreter was left alone.
    assert interp.tk.eval("set errorInfo").startswith("boom")


def test_split_survives_a_finalizer_that_converts_the_object(tk):
    # Building the result runs the collector; a finalizer there makes Tcl
    # read the very list object as a dict, which frees its element array.
    obj = tk.call("dict", "create", "a", "1", "b", "2", "c", "3", "d", "4")
    tk.call("set", "v", obj)
    tk.eval("llength $v")  # the same object, a list now
    assert obj.typename == "list"

    class Shimmer:
        def __init__(self):
            self.me = self  # a cycle: only the collector frees it

        def __del__(self):
            tk.eval("dict size $v; dict set v e 5")
            for _ in range(50):
                tk.eval("list x y z w")

    old = gc.get_threshold()
    gc.collect()
    try:
        Shimmer()
        gc.set_threshold(1)
        result = GetListFromAny(obj)
    finally:
        gc.set_threshold(*old)
    assert result == ("a", "1", "b", "2", "c", "3", "d", "4")


def test_item_cast_that_changes_the_list():
    # A cast_list result that is a list, changed by item_cast under the loop.
    from velmor.tcl import interpreter as mod
    from velmor.tcl.interpreter import Interpreter

    items = ["a", "b", "c", "d"]

    def cast(item):
        items.clear()
        return item.upper()

    original = mod.GetListFromAny
    mod.GetListFromAny = lambda value: items
    try:
        assert Interpreter.cast_list("ignored", item_cast=cast) == ("A", "B", "C", "D")
    finally:
        mod.GetListFromAny = original


def test_reset_result_inside_a_callback(tk):
    # Resetting the result mid-evaluation leaves Tcl consistent.
    def cb():
        TclDLL.Tcl_ResetResult(tk)
        return "ok"

    tk.createcommand("py_cb", cb)
    assert tk.eval("catch {error boom}; py_cb") == "ok"
    assert tk.eval("set r [py_cb]; string length $r") == "2"


def test_one_tcl_library_in_a_fresh_process():
    # First use without any tkinter app of the caller's; the process maps
    # only the libtcl that _tkinter loaded.
    code = (
        "from velmor.tcl.internal import GetListFromAny\n"
        "assert GetListFromAny('a {b c}') == ('a', 'b c')\n"
        "import re\n"
        "libs = {l.split()[-1] for l in open('/proc/self/maps') if re.search(r'/libtcl[0-9.]*so', l)}\n"
        "print(len(libs))\n"
    )
    # The child finds velmor where this process did (working tree or install).
    path = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env=dict(os.environ, PYTHONPATH=path))
    assert out.stdout.strip() == "1"


@pytest.mark.parametrize(
    "raw, expected",
    [
        (b"a\xc0\x80b c", ("a\x00b", "c")),
        (b"\xc3\xa9 x", ("\u00e9", "x")),
        (b"\xed\xa0\xbd\xed\xb8\x80", ("\U0001F600",)),
        (b"\xff \x80z", ("\u00ff", "\x80z")),
        (b"a\x00b", ("a\x00b",)),
    ],
    ids=["modified-utf8-nul", "utf8", "surrogate-pair", "stray-bytes-stand-for-themselves", "raw-nul"],
)
def test_bytes_are_read_in_tcls_own_encoding(raw, expected):
    assert GetListFromAny(raw) == expected


hostile_text = st.lists(
    st.one_of(
        st.sampled_from(list(' {}"\\\t\n\x00') + ["\ud800", "\udfff", "\U0001F600", "\\u", "\\U"]),
        st.characters(),
    ),
    max_size=40,
).map("".join)


@settings(deadline=None)
@given(text=hostile_text)
def test_hostile_text_splits_or_raises_tcl_error(raw_tk, text):
    try:
        result = GetListFromAny(text)
    except TclError as exc:
        assert str(exc)
        return
    assert type(result) is tuple and all(type(e) is str for e in result)
    if "\x00" not in text:
        try:
            expected = raw_tk.splitlist(text)
        except (UnicodeEncodeError, TclError):
            return
        assert result == expected


@pytest.mark.parametrize("before", range(14, 22), ids=lambda k: "%d-bytes-before" % k)
@pytest.mark.parametrize("char", ["\U0001F600", "\u20ac", "\xe9"], ids=["non-BMP", "3-byte", "2-byte"])
def test_malformed_message_cuts_like_tkinter(raw_tk, before, char):
    # Tcl shows at most 20 bytes after the bad element; a character that
    # straddles the cut reads as tkinter reads it.
    text = "{a}" + "x" * before + char + "yy"
    with pytest.raises(TclError) as ours:
        GetListFromAny(text)
    with pytest.raises(TclError) as theirs:
        raw_tk.splitlist(text)
    assert str(ours.value) == str(theirs.value)
    quoted = '"a"' + "x" * before + char
    with pytest.raises(TclError) as ours:
        GetListFromAny(quoted)
    with pytest.raises(TclError) as theirs:
        raw_tk.splitlist(quoted)
    assert str(ours.value) == str(theirs.value)
