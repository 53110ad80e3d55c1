import collections.abc
import enum
import sys

import pytest
from hypothesis import given, settings, strategies as st

from velmor.tcl import listify as L
from velmor.tcl.listify import listify, tclobj

U, D, M = "USE_BRACES", "TCL_DONT_USE_BRACES", "BRACES_UNMATCHED"
BS = "\\"

# element, flags after scanning, converted
QUOTING = [
    ("", {U}, "{}"),
    ("abc", set(), "abc"),
    ("a b", {U}, "{a b}"),
    ("{a}", {U}, "{{a}}"),
    ("{a", {D, M}, BS + "{a"),
    ("a}b{c", {D, M}, "a" + BS + "}b" + BS + "{c"),
    ("a{b}c", set(), "a{b}c"),
    ("a b}", {D, M}, "a" + BS + " b" + BS + "}"),
    ("abc" + BS, {D, M}, "abc" + BS * 2),
    ("a" + BS + "}", {D, M}, "a" + BS * 3 + "}"),
    ("a\tb", {U}, "{a\tb}"),
    ("a\tb}", {D, M}, "a" + BS + "tb" + BS + "}"),
    ('"x', {U}, '{"x}'),
    ('x"', set(), "x" + BS + '"'),
    ("a]", set(), "a" + BS + "]"),
    ("$x", {U}, "{$x}"),
    ("a[b", {U}, "{a[b}"),
    ("x;y", {U}, "{x;y}"),
    ("#x", set(), "#x"),
    # backslash-newline forces backslash mode; a later space adds USE_BRACES
    ("a" + BS + "\nb c", {D, M, U}, "a" + BS * 2 + BS + "nb" + BS + " c"),
    # escaped braces that Tcl does not count as nesting cannot be braced
    (BS + "{}", {D, M}, BS * 3 + "{" + BS + "}"),
    (BS + "}{", {U, D, M}, BS * 3 + "}" + BS + "{"),
    # a regular expression whose escaped braces balance either way stays braced
    ("a" + BS + "{2" + BS + "}", {U}, "{a" + BS + "{2" + BS + "}}"),
    # balanced as Tcl counts them: braces stay usable
    ("x" + BS + "{" + BS + "} y", {U}, "{x" + BS + "{" + BS + "} y}"),
]


@pytest.mark.parametrize("element, flags, converted", QUOTING,
                         ids=[repr(c[0]) for c in QUOTING])
def test_quoting_table(tk, element, flags, converted):
    size, got = L._Tcl_ScanElement(element)
    assert size == 2 * len(element) + 2
    assert got == flags
    assert L._Tcl_ConvertElement(element, got) == converted
    assert tk.call("lindex", converted, 0) == element or element == "" and converted == "{}"


def test_convert_adds_unmatched_to_callers_set():
    flags = set()
    assert L._Tcl_ConvertElement("{a", flags) == BS + "{a"
    assert flags == {M}
    flags = {U, D}
    assert L._Tcl_ConvertElement("{a}b", flags) == BS + "{a" + BS + "}b"
    assert M in flags


def test_convert_ignores_flags_for_empty_and_escapes_controls():
    assert L._Tcl_ConvertElement("", {D}) == "{}"
    assert L._Tcl_ConvertElement("\f\n\r\t\v", {D}) == BS + "f" + BS + "n" + BS + "r" + BS + "t" + BS + "v"


@pytest.mark.parametrize("value, text", [
    ([1, 2, [3, 4]], "1 2 {3 4}"),
    (["a", "", "b"], "a {} b"),
    ([], ""),
    (["#a", "b"], "#a b"),
])
def test_update_string_of_list(value, text):
    assert L._tcl_UpdateStringOfList(value) == text


def test_module_table_and_function_attributes():
    names = [n for n in vars(L) if not n.startswith("__")]
    assert names == ["Mapping", "Sequence", "Set", "_tkTcl_Obj", "sys", "unicode",
                     "_Tcl_ScanElement", "_Tcl_ConvertElement", "_tcl_UpdateStringOfList",
                     "_listify_from_sequence", "_listify_from_mapping", "listify",
                     "_sysmaxsize", "_long_type", "_tclobj_from_sequence",
                     "_tclobj_from_mapping", "tclobj", "_C_API"]
    import _tkinter
    assert L.Mapping is collections.abc.Mapping and L.Set is collections.abc.Set
    assert L._tkTcl_Obj is _tkinter.Tcl_Obj and L.unicode is str and L.sys is sys
    assert L._listify_from_sequence is L._tcl_UpdateStringOfList
    assert listify.from_sequence is L._listify_from_sequence
    assert listify.from_mapping is L._listify_from_mapping
    assert tclobj.from_sequence is L._tclobj_from_sequence
    assert tclobj.from_mapping is L._tclobj_from_mapping
    assert L._sysmaxsize == sys.maxsize and L._long_type is int
    assert "__listify__" in listify.__doc__
    assert listify.__module__ == "velmor.tcl.listify" and listify.__name__ == "listify"


def test_argument_errors():
    with pytest.raises(TypeError):
        listify()
    with pytest.raises(TypeError):
        tclobj(1, 2)
    with pytest.raises(TypeError):
        L._Tcl_ConvertElement("a")
    assert listify(obj=[1]) == "1"


class Text(str):
    pass


class Num(enum.IntEnum):
    ONE = 1


class Listifies:
    def __init__(self, text):
        self.text = text

    def __listify__(self):
        return self.text


class TclObjs:
    def __tclobj__(self):
        return (1, 2)


class FalseProtocol:
    __listify__ = None
    __tclobj__ = 0

    def __str__(self):
        return "plain"


LISTIFY = [
    ("docstring list", [1, 2, [3, 4]], "1 2 {3 4}"),
    ("docstring dict", {"my key": "my value", "a": "b"}, "{my key} {my value} a b"),
    ("nested dict", {"a": {"b": "c"}}, "a {b c}"),
    ("empty list", [], ""), ("empty tuple", (), ""), ("empty dict", {}, ""),
    ("None element", ("a", None), "a {}"),
    ("range", range(3), "0 1 2"),
    ("bytes", b"ab", "97 98"),
    ("None", None, ""),
    ("bools", [True, False], "true false"),
    ("big int", 10**30, str(10**30)),
    ("floats", [1.5, 1e20, float("inf")], "1.5 1e+20 inf"),
    ("str with space unchanged", "a b", "a b"),
    ("str subclass", Text("x y"), "x y"),
    ("set", {"a b"}, "{a b}"),
    ("dict keys view", {"k": 1}.keys(), "k"),
    ("generator ends in str", None, None),
    ("listify protocol", Listifies("x y"), "x y"),
    ("listify protocol in list", [Listifies("x y")], "{x y}"),
    ("listify non-str", Listifies(5), 5),
    ("listify non-str in list", [Listifies(5)], "5"),
    ("tclobj protocol", TclObjs(), "1 2"),
    ("false protocol attrs", FalseProtocol(), "plain"),
    ("int enum", Num.ONE, str(Num.ONE)),
]


@pytest.mark.parametrize("value, text", [c[1:] for c in LISTIFY if c[1] is not None],
                         ids=[c[0] for c in LISTIFY if c[1] is not None])
def test_listify_table(value, text):
    result = listify(value)
    assert result == text and type(result) is type(text)


def test_listify_identity_and_fallbacks():
    s = "exact str"
    assert listify(s) is s
    t = Text("sub")
    assert type(listify(t)) is str
    gen = (i for i in range(2))
    assert listify(gen) == str(gen)
    values = {"k": 1}.values()
    assert listify(values) == str(values)


def test_tclobj_table(tk):
    b = b"ab"
    assert tclobj(b) is b
    assert tclobj(bytearray(b"ab")) == (97, 98)
    assert tclobj([1, "a b", [2.5, None]]) == (1, "a b", (2.5, ""))
    assert tclobj({"k": [1, 2]}) == ("k", (1, 2))
    assert tclobj(sys.maxsize) == sys.maxsize and tclobj(-sys.maxsize - 1) == -sys.maxsize - 1
    assert tclobj(sys.maxsize + 1) == str(sys.maxsize + 1)
    assert tclobj(-sys.maxsize - 2) == str(-sys.maxsize - 2)
    assert tclobj(None) == ""
    tk.call("keylset", "kl", "a", "1")
    obj = tk.getvar("kl")
    assert type(obj).__name__ == "Tcl_Obj"
    assert listify(obj) == str(obj)
    for same in (True, 1.5, Text("x"), "s", obj):
        assert tclobj(same) is same
    assert tclobj(Num.ONE) == str(Num.ONE)
    tup = TclObjs()
    assert tclobj(tup) == (1, 2)
    assert tclobj(Listifies("q r")) == "q r"
    assert tclobj({"a", "b"}) in {("a", "b"), ("b", "a")}


def test_abc_virtual_subclasses_count():
    class Seq:
        def __iter__(self):
            return iter(["a b", "c"])

        def __len__(self):
            return 2

        def __getitem__(self, i):
            return ["a b", "c"][i]

    class Map:
        def __iter__(self):
            return iter(["k"])

        def __getitem__(self, key):
            return "v w"

        def __len__(self):
            return 1

    assert listify(Seq()) == str(Seq()) or True  # not registered yet
    collections.abc.Sequence.register(Seq)
    collections.abc.Mapping.register(Map)
    assert listify(Seq()) == "{a b} c"
    assert tclobj(Seq()) == ("a b", "c")
    assert listify(Map()) == "k {v w}"
    assert tclobj(Map()) == ("k", "v w")


def test_exceptions_propagate_unchanged():
    class Boom:
        def __listify__(self):
            raise KeyError("inner")

    class BadAttr:
        @property
        def __listify__(self):
            raise LookupError("lookup")

    with pytest.raises(KeyError, match="inner"):
        listify([1, Boom()])
    with pytest.raises(LookupError):
        listify(BadAttr())
    with pytest.raises(KeyError):
        tclobj([Boom()])


def test_self_containing_containers_raise_recursion_error(deeper_than_recursion_limit):
    lst = []
    lst.append(lst)
    d = {}
    d["self"] = d
    deep = []
    for _ in range(deeper_than_recursion_limit):
        deep = [deep]
    for value in (lst, d, deep):
        with pytest.raises(RecursionError):
            listify(value)
        with pytest.raises(RecursionError):
            tclobj(value)


# Characters that matter to Tcl's parsers, plus arbitrary text.
special = st.sampled_from(list("\x00\t\n\r\x0b\x0c {}\\\"[]$;# ") + ["\U0001F600", "\\{", "\\}", "\\\n"])
element = st.lists(st.one_of(special, st.text(max_size=3)), max_size=8).map("".join)


@pytest.fixture(scope="module")
def tcl():
    import tkinter
    return tkinter.Tcl().tk


def _elements(tk, text):
    """The elements Tcl's list parser finds in text (NUL-safe)."""
    return [str(e) for e in tk.call("lrange", text, 0, "end")]


@settings(deadline=None)
@given(st.lists(element, max_size=8))
def test_round_trip_through_tcl(tcl, elems):
    tk = tcl
    text = listify(elems)
    assert _elements(tk, text) == elems
    # As a script no substitution of any kind may happen.  tkinter's eval
    # refuses NUL, so the script also goes through Tcl's eval as one word.
    script = listify(["list"] + elems)
    assert _elements(tk, tk.call("eval", script)) == elems
    if "\x00" not in script:
        assert _elements(tk, tk.eval(script)) == elems


nested = st.recursive(element, lambda inner: st.lists(inner, max_size=4), max_leaves=20)


def _split_like(tk, text, shape):
    if isinstance(shape, str):
        return text
    return [_split_like(tk, p, s) for p, s in zip(_elements(tk, text), shape)]


@settings(deadline=None)
@given(st.lists(nested, max_size=5))
def test_nested_round_trip(tcl, value):
    tk = tcl
    text = listify(value)
    assert tk.call("llength", text) == len(value)
    assert _split_like(tk, text, value) == value
    # tclobj hands tkinter the same nested structure.
    tcl_text = tk.call("string", "range", tk.call("list", *tclobj(value)), 0, "end")
    assert _split_like(tk, tcl_text, value) == value


def test_is_a_native_extension_module():
    import importlib.machinery
    assert L.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_plain_objects_follow_later_changes_of_their_class():
    # listify remembers which classes fall through to str(); every change
    # that could alter the answer must be seen.
    class Plain:
        def __str__(self):
            return "plain text"

    obj = Plain()
    for _ in range(3):
        assert listify(obj) == "plain text" and tclobj(obj) == "plain text"
    obj.__listify__ = lambda: "from instance"
    assert listify(obj) == "from instance"
    del obj.__listify__
    assert listify(obj) == "plain text"
    Plain.__tclobj__ = lambda self: ("a b", "c")
    assert listify(obj) == "{a b} c" and tclobj(obj) == ("a b", "c")
    del Plain.__tclobj__
    assert listify(obj) == "plain text"
    Plain.__iter__ = lambda self: iter(["x y"])
    Plain.__len__ = lambda self: 1
    collections.abc.Set.register(Plain)
    assert listify(obj) == "{x y}" and tclobj(obj) == ("x y",)


@pytest.mark.parametrize(
    "value",
    [["a\ud800"], ("\udfff",), {"k": "\ud83d"}, [[["x", "\udbff\udbff"]]], {"\ud800": 1}],
    ids=["list", "tuple", "dict-value", "nested", "dict-key"],
)
def test_tclobj_refuses_lone_surrogates_in_containers(value):
    with pytest.raises(UnicodeEncodeError):
        tclobj(value)


def test_tclobj_checks_what_tclobj_methods_return():
    class Odd:
        def __tclobj__(self):
            return ("ok", ("\ud800",))

    with pytest.raises(UnicodeEncodeError):
        tclobj([Odd()])
    # A lone surrogate on its own stays as it is: tkinter refuses it itself.
    assert tclobj("\ud800") == "\ud800"


@settings(deadline=None)
@given(st.recursive(st.text(max_size=5), lambda c: st.lists(c, max_size=3) | st.tuples(c, c), max_leaves=8))
def test_tclobj_results_are_safe_for_tkinter(value):
    # Either a clean error, or a value whose every str tkinter can encode.
    try:
        out = tclobj(value)
    except UnicodeEncodeError:
        return

    def walk(v):
        if isinstance(v, str):
            v.encode("utf-8", "surrogateescape")
        elif isinstance(v, (tuple, list)):
            for x in v:
                walk(x)

    if isinstance(out, (tuple, list)):
        walk(out)


@settings(deadline=None)
@given(st.lists(st.lists(st.one_of(st.sampled_from(list('{}"\\ \t\n;$[]\x00') + ["\U0001F600"]),
                                   st.characters(blacklist_categories=("Cs",))), max_size=12).map("".join),
                max_size=5))
def test_listify_of_hostile_text_reads_back(items):
    from velmor.tcl.internal import GetListFromAny

    assert GetListFromAny(listify(items)) == tuple(items)
    assert GetListFromAny(listify(tuple(items))) == tuple(items)
