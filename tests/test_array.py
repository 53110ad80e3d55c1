"""velmor.tcl.array.Array: the dict form of `array get` text."""
from tkinter import TclError

import pytest

from velmor.tcl.array import Array


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a 1 b 2", {"a": "1", "b": "2"}),
        ("", {}),
        ("{my key} {my value} x {}", {"my key": "my value", "x": ""}),
        ("a 1 a 2", {"a": "2"}),
        ("k {a 1 b 2}", {"k": "a 1 b 2"}),
        ("\u20ac \U0001F600 n\x00 v", {"\u20ac": "\U0001F600", "n\x00": "v"}),
    ],
    ids=["pairs", "empty", "spaces", "duplicate-last-wins", "nested-stays-text", "unicode"],
)
def test_from_tcl(text, expected):
    arr = Array.from_tcl(text)
    assert type(arr) is Array and isinstance(arr, dict)
    assert arr == expected
    assert list(arr) == list(expected)


def test_from_tcl_reads_array_get(tk):
    tk.eval("array set arr {x 1 {a b} {c d} e {}}")
    for value in (tk.eval("array get arr"), tk.call("array", "get", "arr")):
        assert Array.from_tcl(value) == {"x": "1", "a b": "c d", "e": ""}


def test_from_tcl_is_a_classmethod():
    class Sub(Array):
        pass

    assert type(Sub.from_tcl("a 1")) is Sub
    assert type(Array().from_tcl("a 1")) is Array


@pytest.mark.parametrize(
    "value, cause",
    [("{a 1", TclError), ('a "1', TclError), ("{a}x 1", TclError), (None, TypeError)],
    ids=["open-brace", "open-quote", "junk-after-brace", "not-text"],
)
def test_unreadable_input_raises_value_error_with_cause(value, cause):
    with pytest.raises(ValueError) as info:
        Array.from_tcl(value)
    assert isinstance(info.value.__cause__, cause)
    assert str(info.value) == str(info.value.__cause__)


@pytest.mark.parametrize("text", ["a", "a 1 b", "{a 1}"], ids=["one", "three", "one-braced"])
def test_odd_number_of_elements(text):
    with pytest.raises(ValueError, match="even number of elements"):
        Array.from_tcl(text)


def test_items_are_writable():
    arr = Array.from_tcl("a 1 b 2")
    for key, item in arr.items():
        arr[key] = int(item)
    assert arr == {"a": 1, "b": 2}
